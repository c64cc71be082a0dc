// What the test configuration dialog does to the settings, apart from its
// window: the dialog edits a copy of the settings (the limit-mode buttons with
// their once-per-run danger confirmation change only the copy), and OK checks
// every value in order and stores the whole copy only when all of them pass.
// Cancel, or an OK that a check refuses, leaves the settings as they were.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "core/config/config_rules.h"
#include "core/base/tester_state.h"

// Set once the danger confirmation has been passed for "Allow 20% over limit"
// (resp. "Force Limit") during this run; they only ever go from 0 to 1.
extern uint32_t overLimitRiskAccepted;
extern uint32_t forceLimitRiskAccepted;

// The settings as plain values: the copy an open dialog edits.
struct ConfigDraft {
  uint16_t currentStepMa = 25;
  uint16_t timeStepMs = 500;
  uint32_t limitMode = EnforceLimits;
  uint16_t forcedLimitIndex = 0;
  uint16_t maxLoadCurrentMa = 0;
  uint16_t standardPortLimitMa = 500;
  uint32_t loopbackEnabled = 0;
  uint32_t estimateUpstream = 0;
  uint16_t cableResistanceMohm = 80;
  uint8_t logIntervalSec = 0;
};

ConfigDraft DraftOf(const TestConfiguration& settings);
void StoreDraft(TestConfiguration& settings, const ConfigDraft& draft);

// A click on one of the three limit-mode buttons (EnforceLimits,
// AllowOverLimit, ForceLimit). Clicking the mode already chosen changes
// nothing. A dangerous mode not yet confirmed in this run calls `confirm`,
// which shows the danger confirmation and answers whether the risk was
// accepted; the mode is only taken once it was. A decline falls back to
// EnforceLimits. Returns the mode now in `draft.limitMode`.
uint32_t ChooseLimitMode(ConfigDraft& draft, uint32_t clickedMode, const std::function<bool()>& confirm);

// The dialog's edits (their whole texts) and lists as they stand when OK is pressed.
struct ConfigDialogValues {
  std::wstring_view currentStepText;
  std::wstring_view timeStepText;
  std::wstring_view cableResistanceText;
  int forceLimitSelection = -1;   // force-limit list, -1 for none
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

// OK, in order: in ForceLimit mode the force-limit selection (ignored when
// nothing is selected) and the load ceiling for the mode and `ratedCurrentMa`;
// the current step and the time step; port limit, loopback and estimate flags;
// the cable resistance; the log interval. The first failed check stops and
// nothing is stored anywhere. When all pass, `draft` takes the values and is
// stored whole in `settings`.
ConfigApplyResult ConfirmConfig(TestConfiguration& settings, ConfigDraft& draft, const ConfigDialogValues& values,
                                uint16_t ratedCurrentMa);

// After a stored OK: what becomes of the periodic log-line timer.
enum class LogTimerAction { Stop, Start, Keep };
// Stop for interval 0; Start (period seconds x 1000 ms) while no graph test
// runs; Keep while one does.
LogTimerAction LogTimerAfterOk(uint8_t intervalSec, bool testStopped);

// The load set-point the main window's Set Load controls show for a tester:
// the user's request while the monitor loop has not sent it yet, else what the
// tester reports applying.
uint16_t ShownLoadSetpointMa(const TesterState& state);
