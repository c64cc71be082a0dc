// What the test configuration dialog does to the settings, apart from its
// window: the limit-mode buttons with their once-per-run danger confirmation,
// the ordered checks and stores of OK, and the periodic log-line timer that OK
// leaves behind.
#pragma once

#include <cstdint>
#include <functional>

#include "config/config_rules.h"
#include "shell/shared_state.h"

// Set once the danger confirmation has been passed for "Allow 20% over limit"
// (resp. "Force Limit") during this run; they only ever go from 0 to 1.
extern uint32_t overLimitRiskAccepted;
extern uint32_t forceLimitRiskAccepted;

// A click on one of the three limit-mode buttons (EnforceLimits,
// AllowOverLimit, ForceLimit). Clicking the mode already in force changes
// nothing. A dangerous mode not yet confirmed in this run calls `confirm`,
// which shows the danger confirmation and answers whether the risk was
// accepted; the mode is only taken once it was. A decline falls back to
// EnforceLimits. Returns the mode now in `settings.limitMode`.
uint32_t ChooseLimitMode(TestConfiguration& settings, uint32_t clickedMode, const std::function<bool()>& confirm);

// OK step 1: in ForceLimit mode the force-limit list's selection (ignored when
// nothing is selected) becomes forcedLimitIndex; then the load ceiling is
// recomputed from the mode (RecomputeMaxLoadCurrent, on the process-wide
// settings).
void ApplyForceLimitSelection(int selection);

// The dialog's edits and lists as they stand when OK is pressed.
struct ConfigDialogValues {
  const wchar_t* currentStepText = L"";
  const wchar_t* timeStepText = L"";
  const wchar_t* cableResistanceText = L"";
  int portLimitSelection = 0;     // standard port list, -1 for none
  bool loopbackEnabled = false;
  bool estimateUpstream = false;
  int logIntervalSelection = -1;  // log interval list, -1 for none
};

// The edit whose value a failed check refused.
enum class ConfigField { None, CurrentStep, TimeStep, CableResistance };

struct ConfigApplyResult {
  ConfigCheckResult check;                // Ok when every value was stored
  ConfigField field = ConfigField::None;  // the edit to set to check.editValue
};

// OK steps 3 to 7 and 9, in order: current step, time step (both stored only
// when both pass), port limit, loopback and estimate flags, cable resistance
// (a refused one is stored as 0), log interval. The first failed check stops;
// what earlier steps stored stays.
ConfigApplyResult ApplyConfigValues(TestConfiguration& settings, const ConfigDialogValues& values);

// OK step 10: what becomes of the periodic log-line timer.
enum class LogTimerAction { Stop, Start, Keep };
// Stop for interval 0; Start (period seconds x 1000 ms) while no graph test
// runs; Keep while one does.
LogTimerAction LogTimerAfterOk(uint8_t intervalSec, bool testStopped);

// The load set-point the main window's Set Load controls show: the user's
// request while the monitor loop has not sent it yet, else what the tester
// reports applying.
uint16_t ShownLoadSetpointMa();
