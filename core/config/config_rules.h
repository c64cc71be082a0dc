// Rules of the test configuration dialog and the danger confirmation, apart
// from their windows: the checks made at OK with
// their messages and the value put back into the edit, the fixed lists, and the
// confirmation word.
#pragma once

#include <cstddef>
#include <cstdint>

// --- OK checks of the configuration dialog -----------------------------------

constexpr int32_t kMinCurrentStepMa = 5;
constexpr int32_t kMaxCurrentStepMa = 500;
constexpr int32_t kMaxTimeStepMs = 60000;
constexpr int32_t kMaxCableResistanceMohm = 1000;

enum class ConfigCheck {
  Ok,
  CurrentStepTooSmall,       // "Minimum value for Current Intervals is 5mA", edit "5"
  CurrentStepTooLarge,       // "Maximum value for Current Intervals is 500mA", edit "500"
  TimeStepTooSmall,          // names the current step and the suggested time, edit = suggestion
  TimeStepTooLarge,          // "Maximum value for Time Intervals is 60000 mSec", edit "60000"
  CableResistanceTooLarge,   // "Maximum value for Cable Resistance is 1000 milliohms", edit "0"
};

struct ConfigCheckResult {
  ConfigCheck check = ConfigCheck::Ok;
  int32_t editValue = 0;    // when not Ok: the number to write back into the edit ("%d")
  int32_t currentStepMa = 0;  // TimeStepTooSmall: the current step the message names
};

// The current step as read from its edit: 5..500 mA.
ConfigCheckResult CheckCurrentStep(int64_t currentStepMa);

// Lower bound of the time step for a current step: currentStepMa x 4 / 3
// (integer division), and the time step suggested when it is not met: the next
// multiple of 50 above the bound, (bound / 50 + 1) x 50.
int32_t MinTimeStepMs(int32_t currentStepMa);
int32_t SuggestedTimeStepMs(int32_t currentStepMa);

// The time step for a (valid) current step: at least MinTimeStepMs, at most 60000.
ConfigCheckResult CheckTimeStep(int64_t timeStepMs, int32_t currentStepMa);

// The cable resistance as read from its edit: 0..1000 milliohms. Any number
// outside that range is refused, including negative ones and those that would
// wrap into range in 16 bits (65541 is not 5); the edit is then reset to 0.
ConfigCheckResult CheckCableResistance(int64_t cableMohm);

// The message of a failed check; an empty text for Ok. Returns false for Ok.
bool FormatConfigMessage(const ConfigCheckResult& result, wchar_t* out, size_t outChars);

constexpr const wchar_t* kConfigErrorCaption = L"Loadpost Error";

// --- Fixed lists ---------------------------------------------------------------

constexpr int kForceLimitCount = 9;
extern const wchar_t* const kForceLimitTexts[kForceLimitCount];  // "1A" .. "5A"
// Ceiling of force-limit entry i: (i + 2) x 500 mA; 0 for an index outside the list.
uint16_t ForceLimitCeilingMa(int index);
// True for an index of the list (a combo without selection gives -1).
bool IsForceLimitIndex(int index);

constexpr int kStandardPortCount = 2;
extern const wchar_t* const kStandardPortTexts[kStandardPortCount];  // "500mA", "900mA"
// 500 for selection 0, 900 for any other selection.
uint16_t StandardPortLimitFromSelection(int selection);
// Entry to select for a limit: 0 for 500 mA, else 1.
int StandardPortSelection(uint16_t limitMa);

constexpr int kLogIntervalCount = 5;
extern const wchar_t* const kLogIntervalTexts[kLogIntervalCount];  // "Disabled", "1", "10", "30", "60"
extern const uint8_t kLogIntervalValues[kLogIntervalCount];        // 0, 1, 10, 30, 60 s
// Entry of an interval, or -1 when the value is not in the list.
int LogIntervalSelection(uint8_t seconds);
// Interval of an entry; `previous` for a selection outside the list (none selected).
uint8_t LogIntervalFromSelection(int selection, uint8_t previous);

// --- Danger confirmation -------------------------------------------------------

constexpr int kConfirmationChars = 63;  // the edit is read into 64 wide characters
constexpr const wchar_t* kConfirmationRefusedText =
    L"Type the word 'confirm' and then click on the 'I accept the risk' button";
constexpr const wchar_t* kConfirmationRefusedCaption = L"Loadpost";

// True when the text (its first 63 characters, as read from the edit) is exactly
// "confirm", "Confirm" or "CONFIRM": case-sensitive, whole text, no trimming.
bool IsConfirmationWord(const wchar_t* text);
