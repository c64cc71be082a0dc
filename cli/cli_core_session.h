// The tester through the monitor core (cli_session.h), for the commands that
// run the graph window's tests (ripple, sweep, report): waits that run the
// core's passes, profile and voltage changes that wait for the source, and the
// clean end every such command owes the source: load back to 0 mA, the source
// back to its first profile (report), the tester back to enforced limits.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "cli/cli_commands.h"
#include "link/monitor_core.h"

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
  // Open connects to this tester rather than choosing one (several testers at once).
  void UsePlace(const TesterPlace& place) {
    session_.place = place;
    session_.placeGiven = true;
  }

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

  MonitorCore& Core() { return *session_.core; }
  TesterState& State() { return session_.state; }
  const TesterState& State() const { return session_.state; }
  TesterPort& Port() { return session_.link->Port(); }
  Session& Tester() { return session_; }
  bool UserStopped() const;

 private:
  MonitorClock& Clock() { return session_.link->Clock(); }
  // Asks for row 0 and waits until the source supplies it; empty on success.
  std::string BackToFirstRow();

  Session session_;
  bool limitsChanged_ = false;
  bool finished_ = true;
  bool sourceSeen_ = false;  // a source was attached: losing it is a detach
};
