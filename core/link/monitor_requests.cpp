// The monitor's requests: the settings write, the load, profile and voltage
// requests left in `requests`, and the same steps called directly.
//
// A request flag is cleared for good only when its command succeeded: a failed
// command is sent again on the next passes and, after kRequestAttempts
// failures, reported with an ERROR record. Until the tester has confirmed the
// program's settings, no load above the stricter of the old and the new
// ceiling is sent: such a load waits.
#include <cwchar>

#include "core/link/monitor_core.h"
#include "core/link/profile_text.h"
#include "core/base/log_event.h"
#include "core/base/logger.h"
#include "core/base/tester_state.h"

namespace {

std::wstring Text(const wchar_t* format, int a, int b = 0) {
  wchar_t text[kLogTextChars];
  std::swprintf(text, kLogTextChars, format, a, b);
  text[kLogTextChars - 1] = 0;
  return text;
}

constexpr const wchar_t* kLoadFailedFormat = L"The load could not be set to %d mA";
constexpr const wchar_t* kProfileFailedText = L"The profile request could not be sent";
constexpr const wchar_t* kVoltageFailedFormat = L"The voltage request of %d mV could not be sent";
constexpr const wchar_t* kLoadHeldFormat = L"A load of %d mA waits until the tester has confirmed its settings";
constexpr const wchar_t* kNotProgrammableText = L"The active profile is not programmable";
constexpr const wchar_t* kNoRowText = L"There is no such profile";
constexpr uint32_t kProfilePauseMs = 500;

// After a failed send: raises the flag again for another attempt, or after the
// last attempt reports the failure. Returns true when it was reported.
bool Retry(Shared<uint32_t>& pending, int& failures, const std::wstring& report) {
  if (pending) return false;  // a newer request replaced it
  if (++failures < kRequestAttempts) {
    pending = 1;
    return false;
  }
  failures = 0;
  LogEvent(report.c_str(), LogError);
  return true;
}

}  // namespace

uint16_t MonitorCore::LoadLimitMa() const {
  if (!settingsOwed_) return 0xFFFF;  // the tester applies its own, confirmed ceiling
  uint16_t limit = state_.config.maxLoadCurrentMa;
  if (confirmed_) {
    const uint16_t old = CeilingOfSettings(*confirmed_, state_.live.ratedCurrentMa);
    if (old < limit) limit = old;
  }
  return limit;
}

void MonitorCore::WriteSettings() {
  if (state_.requests.configPending.exchange(0)) settingsOwed_ = true;
  if (!settingsOwed_ || clock_.NowUs() < nextSettingsTryUs_) return;
  const TesterSettings wanted = SettingsFromConfig(state_);
  if (commands::WriteTesterSettings(channel_, wanted)) {
    confirmed_ = wanted;
    settingsOwed_ = state_.requests.configPending != 0;
    settingsFailures_ = 0;
    nextSettingsTryUs_ = 0;
    return;
  }
  ++settingsFailures_;
  if (settingsFailures_ == kRequestAttempts) LogEvent(kSettingsNotWrittenText, LogError);
  if (settingsFailures_ >= kRequestAttempts) {
    nextSettingsTryUs_ = clock_.NowUs() + static_cast<int64_t>(kSettingsRetryMs) * 1000;
  }
}

void MonitorCore::RequestStage() {
  WriteSettings();
  if (state_.requests.loadRequestPending) {
    state_.requests.loadRequestPending = 0;
    const uint16_t ma = state_.requests.requestedLoadMa;
    if (ma > LoadLimitMa()) {
      state_.requests.loadRequestPending = 1;  // waits for the settings
    } else if (commands::SetLoadCurrent(channel_, ma)) {
      loadFailures_ = 0;
    } else {
      Retry(state_.requests.loadRequestPending, loadFailures_, Text(kLoadFailedFormat, ma));
    }
  }
  if (state_.requests.profileRequestPending) {
    state_.requests.profileRequestPending = 0;
    uint8_t position = 0;
    uint16_t voltage = 0;
    const PdoList list = state_.GetPdoList();
    if (ProfileRequestFor(list, state_.requests.requestedProfileRow, state_.live.profileKind,
                          state_.live.profileSubKind, hardwareRevision_, &position, &voltage)) {
      if (commands::RequestProfile(channel_, position, voltage)) {
        profileFailures_ = 0;
      } else {
        Retry(state_.requests.profileRequestPending, profileFailures_, kProfileFailedText);
      }
    }
    clock_.Sleep(kProfilePauseMs);
  }
  if (state_.requests.voltageRequestPending) {
    state_.requests.voltageRequestPending = 0;
    const PdoList list = state_.GetPdoList();
    const uint16_t mv = state_.requests.requestedVoltageMv;
    const PdoEntry& entry = list.EntryAt(state_.live.activePdoIndex);
    if (commands::RequestProfile(channel_, static_cast<uint8_t>(entry.ObjectPosition()), mv)) {
      voltageFailures_ = 0;
    } else {
      Retry(state_.requests.voltageRequestPending, voltageFailures_, Text(kVoltageFailedFormat, mv));
    }
    clock_.Sleep(kProfilePauseMs);
  }
}

// --- Single steps for a command line ------------------------------------------------

namespace {

std::optional<CommandResult> NotReady(const TesterState& state) {
  if (!state.live.testerConnected) return CommandResult::Fail(kNotConnectedText);
  if (!state.live.portReady) return CommandResult::Fail(kNoSourceText);
  return std::nullopt;
}

}  // namespace

CommandResult MonitorCore::SetLoad(uint16_t currentMa) {
  if (auto refused = NotReady(state_)) return *refused;
  if (currentMa > LoadLimitMa()) return CommandResult::Fail(Text(kLoadHeldFormat, currentMa));
  // Whatever the window or an earlier step left waiting is replaced by this.
  state_.requests.requestedLoadMa = currentMa;
  state_.requests.loadRequestPending = 0;
  if (!commands::SetLoadCurrent(channel_, currentMa)) return CommandResult::Fail(Text(kLoadFailedFormat, currentMa));
  return CommandResult::Ok();
}

CommandResult MonitorCore::RequestProfileRow(int row) {
  if (auto refused = NotReady(state_)) return *refused;
  const PdoList list = state_.GetPdoList();
  if (row < 0 || row >= list.count) return CommandResult::Fail(kNoRowText);
  if (const wchar_t* refusal = ProfileRowRefusal(list, row, hardwareRevision_)) return CommandResult::Fail(refusal);
  uint8_t position = 0;
  uint16_t voltage = 0;
  if (!ProfileRequestFor(list, row, state_.live.profileKind, state_.live.profileSubKind, hardwareRevision_, &position,
                         &voltage)) {
    return CommandResult::Fail(kNoRowText);
  }
  state_.requests.profileRequestPending = 0;
  if (!commands::RequestProfile(channel_, position, voltage)) return CommandResult::Fail(kProfileFailedText);
  return CommandResult::Ok();
}

CommandResult MonitorCore::RequestVoltage(long long voltageMv) {
  if (auto refused = NotReady(state_)) return *refused;
  if (!IsProgrammableProfile(state_.live.profileKind, state_.live.profileSubKind)) {
    return CommandResult::Fail(kNotProgrammableText);
  }
  const PdoList list = state_.GetPdoList();
  const PdoEntry& entry = list.EntryAt(state_.live.activePdoIndex);
  wchar_t range[kProfileTextChars];
  if (!VoltageInEntryRange(entry, voltageMv, range, kProfileTextChars)) return CommandResult::Fail(range);
  const auto mv = static_cast<uint16_t>(voltageMv);
  state_.requests.voltageRequestPending = 0;
  if (!commands::RequestProfile(channel_, static_cast<uint8_t>(entry.ObjectPosition()), mv)) {
    return CommandResult::Fail(Text(kVoltageFailedFormat, mv));
  }
  return CommandResult::Ok();
}
