// How a command that changed the tester ends: the words for what stopped it,
// and the one safe end every such command runs, however it ends (its own end,
// an error, a signal, an exception, a detach, a lost link).
#pragma once

#include <cstdint>
#include <string>

#include "cli/cli_platform.h"
#include "core/link/tester_port.h"
#include "core/base/tester_state.h"

// "stopped by the user", "the terminal was closed (SIGHUP)", ...; empty for None.
const char* StopCauseText(StopCause cause);
// True for a request to stop (Ctrl-C, SIGTERM, Ctrl-Break): the normal end of
// an unbounded load or watch. The session going away (SIGHUP, SIGQUIT, the
// console closed, a logoff, a shutdown) leaves every command incomplete.
bool StopIsRequest(StopCause cause);

// "enforce", "allow", "force" for the tester's limit modes 0, 1, 2.
const char* LimitModeName(uint32_t mode);

// What the end puts back besides the load and the limits.
struct EndPlan {
  bool limitsChanged = false;  // the command wrote other limits than enforced
  int profileRow = -1;         // the row the source goes back to; -1 leaves the profile as it is
  uint16_t profileMv = 0;      // a programmable row's voltage; 0: its lowest
  uint8_t hardwareRevision = 0;
};

// The safe end, sent straight over the port's command channel rather than
// through the monitor's passes (which a stop, a detach or a missing source
// skip): the load to 0 mA, sent again until the tester reports a set-point
// of 0 mA; the enforced limits, written when the command changed them or the
// tester reports others; then, when a source is attached, the profile of
// `plan.profileRow`. Empty when all of it was done and the tester confirmed
// it; else what could not be done and why, in the user's words.
std::string EndSafely(TesterState& S, TesterPort& port, const EndPlan& plan);
