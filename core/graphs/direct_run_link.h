// A third way for a graph run to reach the monitor core, for a program that
// runs the core on the run's own thread and wants the tester's full pace (the
// command line): loads are sent the moment the run asks for them, a hold
// sleeps exactly its time, and a reading the run waits for is measured at
// once, instead of waiting for the next pass of the monitor loop and its
// pause. The core's full passes still run between (every kPassEveryUs, and at
// once when a notice waits, a measurement failed or the port went away), so
// detaches, a lost link and the status poll reach the run through the core's
// feed exactly as with SyncRunLink.
#pragma once

#include "core/graphs/graph_run.h"
#include "core/link/monitor_core.h"

class DirectRunLink : public RunLink {
 public:
  static constexpr int64_t kPassEveryUs = 250000;

  DirectRunLink(MonitorCore& core, TesterPort& port) : core_(core), port_(port) {}
  TesterState& State() override { return core_.State(); }
  int64_t NowUs() override { return core_.Clock().NowUs(); }
  void Begin() override { mark_ = core_.Feed().Mark(); }
  // Sent now when the core takes it (a source is there and the ceiling allows
  // it); otherwise left to the monitor's passes, which retry and report.
  void RequestLoad(uint16_t currentMa) override;
  FeedEvent Hold(uint32_t ms) override;
  FeedEvent NextReading(uint32_t ms, Reading* out) override;

 private:
  // A feed event after the mark (and, with readingsToo, a reading), Stop
  // when the clock is stopped, else None.
  FeedEvent Check(Reading* out, bool readingsToo);
  bool PassDue();
  void FullPass();

  MonitorCore& core_;
  TesterPort& port_;
  FeedMark mark_;
  int64_t passedUs_ = 0;
  bool measureFailed_ = false;
};
