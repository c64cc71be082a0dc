// The tester through the monitor core, for the commands that run the graph
// window's tests (ripple, sweep, report): the command line's link as the
// core's TesterPort, time as its MonitorClock (sleeps that receive notices
// and end at Ctrl-C), and the clean end every such command owes the source:
// load back to 0 mA, the source back to its first profile (report), the
// tester back to enforced limits.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "cli/cli_commands.h"
#include "link/monitor_core.h"

// The command line's link as the monitor core sees it.
class CliPort : public TesterPort {
 public:
  explicit CliPort(CliLink& link);
  const CommandChannel& Channel() override { return open_ ? channel_ : closed_; }
  bool IsOpen() const override { return open_ && !link_.Gone(); }
  void Close() override { open_ = false; }
  int PendingNotice() override;
  void ClearNotice(int n) override;
  uint32_t DroppedFrames() const override { return 0; }

 private:
  CliLink& link_;
  CommandChannel channel_;
  CommandChannel closed_;
  bool open_ = true;
  unsigned pending_ = 0;
};

// Wall-clock time whose sleeps keep receiving from the tester and end at once
// when the user stops the command (or Stop is called).
class CliClock : public MonitorClock {
 public:
  explicit CliClock(CliLink& link) : link_(link) {}
  int64_t NowUs() override;
  bool Sleep(uint32_t ms) override;
  void Stop() override { stopped_ = true; }
  void Restart() override { stopped_ = false; }
  bool Stopped() const override;

 private:
  CliLink& link_;
  bool stopped_ = false;
};

class CoreSession {
 public:
  CoreSession() = default;
  CoreSession(const CoreSession&) = delete;
  CoreSession& operator=(const CoreSession&) = delete;
  // Puts the source back if Finish was not called.
  ~CoreSession();

  // Connects to the tester (messages and exit codes as the other commands),
  // sets the limit mode, the window's current and time step, and waits until
  // the core has read the attached source and written the tester's settings.
  // 0 when ready, else the exit code (the reason printed).
  int Open(const CliOptions& options, const LimitOptions& limits, uint16_t currentStepMa, uint16_t timeStepMs);

  // Runs the core's passes until `done` holds after a pass that left no
  // notice pending, or `ms` passed, the user stopped, the source went away or
  // the link was lost. True when `done`.
  bool PassUntil(uint32_t ms, const std::function<bool()>& done);
  // The reason the source or tester can no longer be used, or empty.
  std::string Broken() const;

  // Asks for list row `row` (and then `voltageMv` on it, when not 0) and
  // waits until the source supplies it. Empty on success, else why not.
  std::string Switch(int row, uint16_t voltageMv, uint16_t toleranceMv);

  // The clean end: 0 mA at the tester (also without a source), the first
  // profile back when `firstProfile` and a source is there, the enforced
  // limits back when others were set. Empty on success, else what failed.
  std::string Finish(bool firstProfile);

  MonitorCore& Core() { return *core_; }
  TesterPort& Port() { return *port_; }
  Session& Tester() { return session_; }
  bool UserStopped() const;

 private:
  Session session_;
  std::unique_ptr<CliPort> port_;
  std::unique_ptr<CliClock> clock_;
  MonitorView view_;
  std::unique_ptr<MonitorCore> core_;
  bool limitsChanged_ = false;
  bool finished_ = true;
  bool sourceSeen_ = false;  // a source was attached: losing it is a detach
  bool finishing_ = false;   // the clean end runs even after Ctrl-C
};
