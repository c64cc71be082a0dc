// The simulated tester as a link for the monitor core: a TesterPort and its
// MonitorClock over one TesterModel, in process. Like the program's own links,
// it asks the USB bridge for low latency whenever it opens the tester
// (link/low_latency.h); a refusal is one Diagnostics record.
//
// Simulated time (tests): the clock jumps; a sleep runs the model on to its
// end, receiving notices and late replies meanwhile. Real time (a command
// line's --sim): the same, but every step waits for the wall clock, so the
// model answers with its wire timing as a tester on a serial port would.
//
//   sim::TesterModel tester(scenario.devices[0], nullptr);
//   sim::SimLink link(tester);                 // or SimLink::Time::Real
//   MonitorCore core(state, link, link, view); // the link is also the clock
//   core.Connect();
#pragma once

#include <condition_variable>
#include <mutex>

#include "core/link/clocked_link.h"
#include "core/link/tester_port.h"
#include "sim/sim_tester.h"

namespace sim {

class SimLink : public TesterPort, public MonitorClock {
 public:
  enum class Time { Simulated, Real };
  explicit SimLink(TesterModel& tester, Time time = Time::Simulated);

  // TesterPort. The port is open until Close, and while the model is on the bus.
  const CommandChannel& Channel() override { return channel_; }
  bool IsOpen() const override;
  void Close() override;
  // Opens the port again (the model must be plugged in).
  void Reopen();
  int PendingNotice() override;
  void ClearNotice(int n) override;
  uint32_t DroppedFrames() const override { return link_.receiver.droppedFrames; }

  // MonitorClock: the link's own time.
  int64_t NowUs() override;
  bool Sleep(uint32_t ms) override;
  void Stop() override;
  void Restart() override;
  bool Stopped() const override;

  // The next `count` requests with this command byte (-1: all of them) are
  // damaged on their way, so the tester rejects them: never carried out, never
  // answered, as with line noise on the request.
  void LoseRequests(uint8_t command, int count) {
    loseCommand_ = command;
    loseCount_ = count;
  }

  TesterModel& Tester() { return tester_; }
  ClockedLink& Link() { return link_; }

 private:
  ClockedPipe Pipe();
  void AskForLowLatency();
  void WaitUntil(int64_t simUs);
  void CatchUp();

  TesterModel& tester_;
  const Time time_;
  ClockedLink link_;
  CommandChannel channel_;
  bool open_ = true;
  bool notices_[5] = {};
  int64_t wallStartUs_ = 0;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  bool stopped_ = false;
  uint8_t loseCommand_ = 0;
  int loseCount_ = 0;
};

}  // namespace sim
