// The tester through the monitor core (cli_session.h), for every command that
// changes the tester (load, watch, ripple, sweep, report): waits that run the
// core's passes, loads under the limit mode's ceiling, profile and voltage
// changes that wait for the source, and the one safe end (cli_end.h) every
// such command owes the tester, run by Finish or, on any other way out (an
// early return, an exception), by the destructor.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "cli/cli_commands.h"
#include "core/graphs/graph_run.h"
#include "core/link/monitor_core.h"

class CoreSession {
 public:
  CoreSession() = default;
  CoreSession(const CoreSession&) = delete;
  CoreSession& operator=(const CoreSession&) = delete;
  // Runs the safe end if Finish was not called, and says what it could not do.
  ~CoreSession();

  // Connects to the tester (messages and exit codes as the other commands),
  // sets the limit mode, the window's current and time step, and waits until
  // the core has read the attached source and written the tester's settings.
  // 0 when ready, else the exit code (the reason printed).
  // `sourceRead`, when given, runs once the source was read and before the
  // tester is sent any setting (see AwaitSource).
  int Open(const CliOptions& options, const LimitOptions& limits, uint16_t currentStepMa, uint16_t timeStepMs,
           const std::function<int()>& sourceRead = {});
  // Connects to the tester alone, with or without a source (for clearing it
  // with the safe end). 0 when connected, else the exit code.
  int OpenTester(const CliOptions& options);

  // Checks `ma` against the ceiling of the limit mode `modeName` with the
  // source's rating and sets the load. 0 when set, else the exit code (the
  // reason printed).
  int SetLoad(long long ma, const std::string& modeName);

  // Runs the core's passes until `done` holds after a pass that left no
  // notice pending, or `ms` passed, or Broken. True when `done`.
  bool PassUntil(uint32_t ms, const std::function<bool()>& done);
  // Why the source or tester can no longer be used: a stop (in the words of
  // its cause), a lost link, a detach, re-advertised capabilities; or empty.
  std::string Broken() const;
  // The source re-advertised its capabilities since Open.
  bool SourceChanged() const;
  // Why a graph run ended early, in the user's words (with the stop's cause
  // and a capability change told as what they were).
  std::string EndText(RunEnd end) const;

  // Asks for list row `row` (and then `voltageMv` on it, when not 0) and
  // waits until the source supplies it. Empty on success, else why not.
  std::string Switch(int row, uint16_t voltageMv, uint16_t toleranceMv);

  // The end goes back to the first row rather than the one found at Open.
  void EndOnFirstRow() { firstRowAtEnd_ = true; }
  // The safe end (EndSafely): 0 mA, enforced limits, the profile back (the
  // first row, or the row found at Open when Switch changed it). Empty on
  // success, else what could not be done.
  std::string Finish();

  MonitorCore& Core() { return *session_.core; }
  TesterState& State() { return session_.state; }
  const TesterState& State() const { return session_.state; }
  TesterPort& Port() { return session_.link->Port(); }
  Session& Tester() { return session_; }
  bool UserStopped() const;

 private:
  MonitorClock& Clock() { return session_.link->Clock(); }

  Session session_;
  bool limitsChanged_ = false;
  bool finished_ = true;
  bool sourceSeen_ = false;  // a source was attached: losing it is a detach
  bool firstRowAtEnd_ = false;
  bool profileChanged_ = false;
  int startRow_ = 0;
  uint16_t startMv_ = 0;
  uint32_t capabilityChanges_ = 0;  // the core's count at Open
};
