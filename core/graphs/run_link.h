// The two ways a graph run reaches the monitor core.
//
// ThreadedRunLink: the monitor runs its passes on its own thread (the window's
// monitor loop); the run waits on the core's feed in real time.
// SyncRunLink: nothing else runs the monitor; the run calls the core's passes
// itself while it waits (a command line on one thread, native tests in
// simulated time).
#pragma once

#include "core/graphs/graph_run.h"
#include "core/link/monitor_core.h"

// Load requests go through the tester's `requests`, as the window's controls do.
void RequestLoadFromMonitor(TesterState& state, uint16_t currentMa);

class ThreadedRunLink : public RunLink {
 public:
  // The monitor thread works on `state` and publishes into `feed`.
  ThreadedRunLink(TesterState& state, ReadingFeed& feed, MonitorClock& clock)
      : state_(state), feed_(feed), clock_(clock) {}
  TesterState& State() override { return state_; }
  int64_t NowUs() override { return clock_.NowUs(); }
  void Begin() override { mark_ = feed_.Mark(); }
  void RequestLoad(uint16_t currentMa) override { RequestLoadFromMonitor(state_, currentMa); }
  FeedEvent Hold(uint32_t ms) override;
  FeedEvent NextReading(uint32_t ms, Reading* out) override;

 private:
  TesterState& state_;
  ReadingFeed& feed_;
  MonitorClock& clock_;
  FeedMark mark_;
};

class SyncRunLink : public RunLink {
 public:
  explicit SyncRunLink(MonitorCore& core) : core_(core) {}
  TesterState& State() override { return core_.State(); }
  int64_t NowUs() override { return core_.Clock().NowUs(); }
  void Begin() override { mark_ = core_.Feed().Mark(); }
  void RequestLoad(uint16_t currentMa) override { RequestLoadFromMonitor(core_.State(), currentMa); }
  FeedEvent Hold(uint32_t ms) override;
  FeedEvent NextReading(uint32_t ms, Reading* out) override;

 private:
  // Runs passes until an event (or, with readingsToo, a reading) or the time is up.
  FeedEvent PassUntil(int64_t untilUs, Reading* out, bool readingsToo);

  MonitorCore& core_;
  FeedMark mark_;
};
