#include "core/link/profile_text.h"

#include <cwchar>

namespace {

double Volts(uint16_t mv) { return static_cast<double>(static_cast<float>(mv) / 1000.0f); }

void Terminate(wchar_t* out, size_t outChars) { out[outChars - 1] = 0; }

}  // namespace

void FormatProfileListText(const PdoEntry& entry, int hardwareRevision, wchar_t* out, size_t outChars) {
  if (!out || outChars == 0) return;
  const wchar_t* name = ProfileNameW(entry.Kind(), entry.SubKind());
  if (entry.IsProgrammable()) {
    if (hardwareRevision >= 20)
      std::swprintf(out, outChars, L"%ls %.2fV-%.2fV", name, Volts(entry.minMv), Volts(entry.maxMv));
    else
      std::swprintf(out, outChars, L"Unknown profile");
  } else {
    std::swprintf(out, outChars, L"%ls %.2fV", name, Volts(entry.minMv));
  }
  Terminate(out, outChars);
}

void FormatProfileDetailText(const PdoEntry& entry, int hardwareRevision, wchar_t* out, size_t outChars) {
  if (!out || outChars == 0) return;
  const wchar_t* name = ProfileNameW(entry.Kind(), entry.SubKind());
  if (entry.IsProgrammable()) {
    if (hardwareRevision >= 20)
      std::swprintf(out, outChars, L"%ls Voltage:%.2fV-%.2fV Max Current:%dmA", name, Volts(entry.minMv),
                    Volts(entry.maxMv), static_cast<int>(entry.maxCurrentMa));
    else
      std::swprintf(out, outChars, L"Unknown profile");
  } else {
    std::swprintf(out, outChars, L"%ls Voltage:%.2fV Max Current:%dmA", name, Volts(entry.minMv),
                  static_cast<int>(entry.maxCurrentMa));
  }
  Terminate(out, outChars);
}

void FormatActiveEntryText(const PdoEntry& entry, bool activeProgrammable, wchar_t* out, size_t outChars) {
  if (!out || outChars == 0) return;
  if (activeProgrammable)
    std::swprintf(out, outChars, L"Voltage:%.2fV-%.2fV Max Current:%dmA", Volts(entry.minMv), Volts(entry.maxMv),
                  static_cast<int>(entry.maxCurrentMa));
  else
    std::swprintf(out, outChars, L"Voltage:%.2fV Max Current:%dmA", Volts(entry.minMv),
                  static_cast<int>(entry.maxCurrentMa));
  Terminate(out, outChars);
}

const wchar_t* TesterVersionMessage(int hardwareRevision, int firmwareVersion) {
  if (hardwareRevision == 10) return firmwareVersion >= 27 ? nullptr : L"Please update the device firmware";
  if (hardwareRevision == 20) return firmwareVersion >= 30 ? nullptr : L"Please update the device firmware";
  if (hardwareRevision > 20) return L"Please update the test application";
  return nullptr;
}

bool ProfileRequestFor(const PdoList& list, int row, uint32_t activeKind, uint32_t activeSubKind,
                       int hardwareRevision, uint8_t* objectPosition, uint16_t* voltageMv) {
  const int count = list.count > kMaxPdoEntries ? kMaxPdoEntries : list.count;
  if (row < 0 || row >= count) return false;
  const PdoEntry& entry = list.entries[row];
  uint16_t mv = entry.maxMv;
  if (activeKind == 5 && (activeSubKind == 0 || (activeSubKind == 3 && hardwareRevision >= 20))) mv = 5000;
  if (objectPosition) *objectPosition = static_cast<uint8_t>(entry.ObjectPosition());
  if (voltageMv) *voltageMv = mv;
  return true;
}

const wchar_t* ProfileRowRefusal(const PdoList& list, int row, int hardwareRevision) {
  if (hardwareRevision != 10 || row < 0 || row >= kMaxPdoEntries) return nullptr;
  const PdoEntry& entry = list.entries[row];
  return entry.Kind() == 5 && entry.SubKind() == 3 ? L"PPS profiles are not supported by KT-40." : nullptr;
}

bool VoltageInEntryRange(const PdoEntry& entry, long long mv, wchar_t* message, size_t messageChars) {
  if (entry.minMv <= mv && mv <= entry.maxMv) return true;
  FormatBoundsMessage(entry.minMv, entry.maxMv, message, messageChars);
  return false;
}

void FormatBoundsMessage(int minimum, int maximum, wchar_t* message, size_t messageChars) {
  if (!message || messageChars == 0) return;
  std::swprintf(message, messageChars, L"Please enter a number between %d-%d", minimum, maximum);
  Terminate(message, messageChars);
}

const char* TesterModelName(int hardwareRevision) {
  if (hardwareRevision == 10) return "KT-40";
  if (hardwareRevision == 20) return "KT-60";
  return "unknown model";
}
