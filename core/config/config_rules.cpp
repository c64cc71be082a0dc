#include "core/config/config_rules.h"

#include <cwchar>

ConfigCheckResult CheckCurrentStep(int64_t currentStepMa) {
  ConfigCheckResult r;
  if (currentStepMa < kMinCurrentStepMa) {
    r.check = ConfigCheck::CurrentStepTooSmall;
    r.editValue = kMinCurrentStepMa;
  } else if (currentStepMa > kMaxCurrentStepMa) {
    r.check = ConfigCheck::CurrentStepTooLarge;
    r.editValue = kMaxCurrentStepMa;
  }
  return r;
}

int32_t MinTimeStepMs(int32_t currentStepMa) { return static_cast<int32_t>(static_cast<int64_t>(currentStepMa) * 4 / 3); }

int32_t SuggestedTimeStepMs(int32_t currentStepMa) { return (MinTimeStepMs(currentStepMa) / 50 + 1) * 50; }

ConfigCheckResult CheckTimeStep(int64_t timeStepMs, int32_t currentStepMa) {
  ConfigCheckResult r;
  if (timeStepMs < MinTimeStepMs(currentStepMa)) {
    r.check = ConfigCheck::TimeStepTooSmall;
    r.editValue = SuggestedTimeStepMs(currentStepMa);
    r.currentStepMa = currentStepMa;
  } else if (timeStepMs > kMaxTimeStepMs) {
    r.check = ConfigCheck::TimeStepTooLarge;
    r.editValue = kMaxTimeStepMs;
  }
  return r;
}

ConfigCheckResult CheckCableResistance(int64_t cableMohm) {
  ConfigCheckResult r;
  if (cableMohm < 0 || cableMohm > kMaxCableResistanceMohm) {
    r.check = ConfigCheck::CableResistanceTooLarge;
    r.editValue = 0;
  }
  return r;
}

bool FormatConfigMessage(const ConfigCheckResult& result, wchar_t* out, size_t outChars) {
  if (!out || outChars == 0) return result.check != ConfigCheck::Ok;
  out[0] = 0;
  switch (result.check) {
    case ConfigCheck::Ok:
      return false;
    case ConfigCheck::CurrentStepTooSmall:
      std::swprintf(out, outChars, L"Minimum value for Current Intervals is 5mA");
      break;
    case ConfigCheck::CurrentStepTooLarge:
      std::swprintf(out, outChars, L"Maximum value for Current Intervals is 500mA");
      break;
    case ConfigCheck::TimeStepTooSmall:
      std::swprintf(out, outChars, L"Time Intervals too short for Current Intervals of %dmA. Suggested value is %d mSec",
                    result.currentStepMa, result.editValue);
      break;
    case ConfigCheck::TimeStepTooLarge:
      std::swprintf(out, outChars, L"Maximum value for Time Intervals is 60000 mSec");
      break;
    case ConfigCheck::CableResistanceTooLarge:
      std::swprintf(out, outChars, L"Maximum value for Cable Resistance is 1000 milliohms");
      break;
  }
  out[outChars - 1] = 0;
  return true;
}

// --- Fixed lists ---------------------------------------------------------------

const wchar_t* const kForceLimitTexts[kForceLimitCount] = {L"1A",   L"1.5A", L"2A",   L"2.5A", L"3A",
                                                           L"3.5A", L"4A",   L"4.5A", L"5A"};

bool IsForceLimitIndex(int index) { return index >= 0 && index < kForceLimitCount; }

uint16_t ForceLimitCeilingMa(int index) {
  return IsForceLimitIndex(index) ? static_cast<uint16_t>((index + 2) * 500) : 0;
}

const wchar_t* const kStandardPortTexts[kStandardPortCount] = {L"500mA", L"900mA"};

uint16_t StandardPortLimitFromSelection(int selection) { return selection == 0 ? 500 : 900; }

int StandardPortSelection(uint16_t limitMa) { return limitMa == 500 ? 0 : 1; }

const wchar_t* const kLogIntervalTexts[kLogIntervalCount] = {L"Disabled", L"1", L"10", L"30", L"60"};
const uint8_t kLogIntervalValues[kLogIntervalCount] = {0, 1, 10, 30, 60};

int LogIntervalSelection(uint8_t seconds) {
  for (int i = 0; i < kLogIntervalCount; ++i)
    if (kLogIntervalValues[i] == seconds) return i;
  return -1;
}

uint8_t LogIntervalFromSelection(int selection, uint8_t previous) {
  return selection >= 0 && selection < kLogIntervalCount ? kLogIntervalValues[selection] : previous;
}

// --- Danger confirmation -------------------------------------------------------

bool IsConfirmationWord(const wchar_t* text) {
  if (!text) return false;
  static const wchar_t* const kWords[] = {L"confirm", L"Confirm", L"CONFIRM"};
  for (const wchar_t* word : kWords) {
    int i = 0;
    while (i < kConfirmationChars && word[i] != 0 && text[i] == word[i]) ++i;
    // Equal when the word ended exactly where the (63-character) text ends.
    if (word[i] == 0 && (i == kConfirmationChars || text[i] == 0)) return true;
  }
  return false;
}
