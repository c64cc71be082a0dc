// The live monitor loop: polls the tester, shows the port statistics, follows
// the tester's notices, logs under- and over-voltage, and carries out the
// requests other threads leave in the shared request flags.
//
// Controls are updated through RunOnUiThread, so the loop never waits for a
// busy user-interface thread.
#include <windows.h>
#include <commctrl.h>

#include <cmath>
#include <cstdarg>
#include <cwchar>
#include <string>
#include <vector>

#include "graphs/voltage_window.h"
#include "link/profile_text.h"
#include "link/tester_link_win.h"
#include "resources/resource_ids.h"
#include "shell/app_win.h"
#include "shell/log_event.h"
#include "shell/logger.h"
#include "shell/shared_state.h"
#include "shell/stop_signal.h"
#include "shell/ui_post_win.h"

namespace {

struct LoopState {
  uint16_t shownVoltageMv = 0;
  uint16_t shownSetpointMa = 0;
  bool underVoltage = false;
  bool overVoltage = false;
  bool prevUnder = false;
  bool prevOver = false;
  uint32_t settingsWrittenFor = 0;  // connection whose settings were written
};

void SetText(int id, const wchar_t* text) { PostControlText(id, text); }

void SetTextF(int id, const wchar_t* format, ...) {
  wchar_t buffer[128];
  va_list args;
  va_start(args, format);
  std::vswprintf(buffer, 128, format, args);
  va_end(args);
  buffer[127] = 0;
  SetText(id, buffer);
}

void Enable(int id, bool enabled) {
  RunOnUiThread([id, enabled] { EnableWindow(GetDlgItem(mainWindow, id), enabled ? TRUE : FALSE); });
}

void SetSlider(int id, int minimum, int maximum, int lineSize, int position, bool setRange) {
  RunOnUiThread([=] {
    HWND slider = GetDlgItem(mainWindow, id);
    if (setRange) {
      SendMessageW(slider, TBM_SETRANGEMIN, FALSE, minimum);
      SendMessageW(slider, TBM_SETRANGEMAX, TRUE, maximum);
      if (lineSize >= 0) SendMessageW(slider, TBM_SETLINESIZE, 0, lineSize);
    }
    SendMessageW(slider, TBM_SETPOS, TRUE, position);
  });
}

void ClearVoltageList() {
  RunOnUiThread([] { SendMessageW(GetDlgItem(mainWindow, IDC_VOLTAGE_LIST), CB_RESETCONTENT, 0, 0); });
}

void AddVoltageRow(const wchar_t* text) {
  RunOnUiThread([copy = std::wstring(text)] {
    SendMessageW(GetDlgItem(mainWindow, IDC_VOLTAGE_LIST), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(copy.c_str()));
  });
}

void SelectVoltageRow(int row) {
  RunOnUiThread([row] { SendMessageW(GetDlgItem(mainWindow, IDC_VOLTAGE_LIST), CB_SETCURSEL, row, 0); });
}

void StartLogTimer() {
  const uint8_t seconds = config.logIntervalSec;
  if (!graph.testStopped || seconds == 0) return;
  RunOnUiThread([seconds] { SetTimer(mainWindow, kLogLineTimerId, seconds * 1000u, nullptr); });
}

void StopLogTimer() {
  RunOnUiThread([] { KillTimer(mainWindow, kLogLineTimerId); });
}

bool ActiveProgrammable() { return IsProgrammableProfile(live.profileKind, live.profileSubKind); }

int StatusPoll(uint32_t* attach) {
  uint8_t activeIndex = live.activePdoIndex;
  uint32_t kind = live.profileKind;
  uint8_t subKind = live.profileSubKind;
  uint16_t voltage = live.profileVoltageMv;
  uint16_t rated = live.ratedCurrentMa;
  uint32_t extra = 0;
  if (!testerLink.GetPortStatus(attach, &activeIndex, &kind, &subKind, &voltage, &rated, &extra)) return 0;
  live.activePdoIndex = activeIndex;
  live.profileKind = kind;
  live.profileSubKind = subKind;
  live.profileVoltageMv = voltage;
  live.ratedCurrentMa = rated;
  return 1;
}

void ShowProfileName() { SetText(IDC_PROFILE_TYPE, ProfileNameW(live.profileKind, live.profileSubKind)); }

void ShowRatedAndCeiling() {
  SetTextF(IDC_RATED_CURRENT, L"%dmA", static_cast<int>(live.ratedCurrentMa));
  SetTextF(IDC_LOAD_MAX_LABEL, L"%dmA", static_cast<int>(config.maxLoadCurrentMa));
  SetSlider(IDC_LOAD_SLIDER, 0, config.maxLoadCurrentMa, -1, 0, true);
}

// The Set Voltage controls follow the active profile: usable only while it is
// programmable, with the slider spanning the active entry.
void ShowVoltageControls(const PdoList& list) {
  const int active = live.activePdoIndex;
  if (ActiveProgrammable() && active < kMaxPdoEntries) {
    const PdoEntry& entry = list.entries[active];
    SetTextF(IDC_VOLTAGE_MIN_LABEL, L"%dmV", static_cast<int>(entry.minMv));
    SetTextF(IDC_VOLTAGE_MAX_LABEL, L"%dmV", static_cast<int>(entry.maxMv));
    Enable(IDC_SET_VOLTAGE_EDIT, true);
    Enable(IDC_SET_VOLTAGE_BUTTON, true);
    Enable(IDC_VOLTAGE_SLIDER, true);
    SetSlider(IDC_VOLTAGE_SLIDER, entry.minMv, entry.maxMv, (entry.maxMv - entry.minMv) / 200, live.profileVoltageMv,
              true);
  } else {
    SetText(IDC_VOLTAGE_MIN_LABEL, L"");
    SetText(IDC_VOLTAGE_MAX_LABEL, L"");
    Enable(IDC_SET_VOLTAGE_EDIT, false);
    Enable(IDC_SET_VOLTAGE_BUTTON, false);
    Enable(IDC_VOLTAGE_SLIDER, false);
  }
}

void AttachHandling() {
  uint32_t attach = 0;
  if (StatusPoll(&attach) && attach == 1) {
    ClearVoltageList();
    Enable(IDC_VOLTAGE_LIST, false);
    RecomputeMaxLoadCurrent();
    ShowProfileName();
    Sleep(1000);

    PdoList list;
    const int hw = testerLink.hardwareRevision;
    if (testerLink.GetSourceCapabilities(&list) && list.count > 0) {
      SetPdoList(list);
      ClearVoltageList();
      const bool logIt = live.capabilitiesLogged == 0;
      if (logIt) LogEvent(L"Port detected capabilities:", LogDiagnostics);
      wchar_t text[kProfileTextChars];
      for (int i = 0; i < list.count; ++i) {
        FormatProfileListText(list.entries[i], hw, text, kProfileTextChars);
        AddVoltageRow(text);
        Enable(IDC_VOLTAGE_LIST, true);
        if (logIt) {
          FormatProfileDetailText(list.entries[i], hw, text, kProfileTextChars);
          LogEvent(text, LogDiagnostics);
        }
      }
      live.portReady = 1;
    }
    live.capabilitiesLogged = 1;
    ShowRatedAndCeiling();
    SelectVoltageRow(live.activePdoIndex);
    ShowVoltageControls(GetPdoList());
  }
  Sleep(100);
  ResetEvent(portAttachedNotice);
  StartLogTimer();
}

void DetachHandling() {
  ResetEvent(portDetachedNotice);
  live.capabilitiesLogged = 0;
  live.portReady = 0;
  SetEvent(portDetachedEvent);
  SetText(IDC_PROFILE_TYPE, L"");
  SetText(IDC_RATED_CURRENT, L"");
  SetText(IDC_VBUS, L" ");
  SetText(IDC_CURRENT, L" ");
  SetText(IDC_POWER, L" ");
  SetText(IDC_TEMPERATURE, L" ");
  SetText(IDC_SET_LOAD_EDIT, L"0");
  LogEvent(L"Port detached", LogDiagnostics);
  StopLogTimer();
}

void NewProfileHandling() {
  ResetEvent(newProfileNotice);
  uint32_t attach = 0;
  if (!StatusPoll(&attach)) return;
  ShowProfileName();
  PdoList list;
  if (!testerLink.GetSourceCapabilities(&list)) return;
  RecomputeMaxLoadCurrent();
  ClearVoltageList();
  if (list.count > 0) {
    SetPdoList(list);
    LogEvent(L"New profile selected", LogDiagnostics);
    const int hw = testerLink.hardwareRevision;
    wchar_t text[kProfileTextChars];
    for (int i = 0; i < list.count; ++i) {
      FormatProfileListText(list.entries[i], hw, text, kProfileTextChars);
      AddVoltageRow(text);
    }
    SelectVoltageRow(live.activePdoIndex);
    ShowVoltageControls(list);
    FormatActiveEntryText(list.EntryAt(live.activePdoIndex), ActiveProgrammable(), text, kProfileTextChars);
    LogEvent(text, LogDiagnostics);
  }
  ShowRatedAndCeiling();
}

void CapabilityChangedHandling() {
  ResetEvent(capabilityChangedNotice);
  live.profileVoltageMv = 0;
  live.ratedCurrentMa = 0;
  SetText(IDC_RATED_CURRENT, L"0mA");
  SetText(IDC_LOAD_MAX_LABEL, L"0mA");
  SetSlider(IDC_LOAD_SLIDER, 0, 0, -1, 0, true);
  live.loadSetpointMa = 0;
  requests.requestedLoadMa = 0;
  LogEvent(L"Port capability changed", LogDiagnostics);
  LogEvent(L"Voltage:0.00V Max Current:0mA", LogDiagnostics);
  live.portReady = 0;
}

void ShowStatistics() {
  const float volts = live.vbusVolts;
  const int current = live.measuredCurrentMa;
  SetTextF(IDC_VBUS, L"%.2f V", static_cast<double>(volts));
  SetTextF(IDC_CURRENT, L"%d mA", current);
  SetTextF(IDC_LOOPBACK_CURRENT, L"%d mA", static_cast<int>(live.loopbackCurrentMa));
  SetTextF(IDC_POWER, L"%.2f W", static_cast<double>(current * volts / 1000.0f));
  SetTextF(IDC_TEMPERATURE, L"%d C", static_cast<int>(live.temperatureC));
  const unsigned long mah = static_cast<unsigned long>(static_cast<uint32_t>(live.capacityMah.load()));
  const unsigned long mwh = static_cast<unsigned long>(static_cast<uint32_t>(live.capacityMwh.load()));
  SetTextF(IDC_CAPACITY, L"%lu\r\n%lu", mah, mwh);
}

void VoltageCheck(LoopState& s) {
  const int current = live.measuredCurrentMa;
  const int setpoint = live.loadSetpointMa;
  if (current == 0 || std::abs(current - setpoint) >= 25) return;
  s.underVoltage = s.overVoltage = false;
  float low = 0.0f, high = 0.0f;
  const float volts = live.vbusVolts;
  // A profile without a voltage window gets no verdict at all. Below its low
  // bound the source fails only while the load is within the ceiling: past it,
  // sagging (or shutting down) is permitted.
  if (GetVoltageWindow(low, high)) {
    if (low > volts && current <= config.maxLoadCurrentMa) {
      s.underVoltage = true;
    } else if (volts > high) {
      s.overVoltage = true;
    }
  }
  const PdoList list = GetPdoList();
  const int active = live.activePdoIndex;
  if (live.profileKind == 5 && live.profileSubKind == 0 && active < kMaxPdoEntries &&
      list.entries[active].minMv != live.profileVoltageMv) {
    // A fixed-voltage change is under way.
    s.underVoltage = s.overVoltage = false;
  } else {
    wchar_t line[256];
    if (s.underVoltage && !s.prevUnder) {
      std::swprintf(line, 256, L"V=%.3fV, I=%dmA Capacity=%lumAh,%lumWh, Under voltage detected",
                    static_cast<double>(volts), current,
                    static_cast<unsigned long>(static_cast<uint32_t>(live.capacityMah.load())),
                    static_cast<unsigned long>(static_cast<uint32_t>(live.capacityMwh.load())));
      LogEvent(line, LogError);
    }
    if (s.overVoltage && !s.prevOver) {
      std::swprintf(line, 256, L"V=%.3fV, I=%dmA, Over voltage detected", static_cast<double>(volts), current);
      LogEvent(line, LogError);
    }
  }
  s.prevUnder = s.underVoltage;
  s.prevOver = s.overVoltage;
}

// While a sweep runs, the loop measures at least every 50 ms: the sweep reads
// VBUS one time step after asking for a new load, and a pause as long as the
// time step would now and then let that reading predate the new load.
constexpr DWORD kSweepRunningPauseMs = 50;

void Pause() {
  const bool running = graph.testStopped == 0;
  if (graph.graphMode == RealTime) {
    Sleep(running ? 1 : 250);
  } else {
    const DWORD step = config.timeStepMs;
    Sleep(running && step > kSweepRunningPauseMs ? kSweepRunningPauseMs : step);
  }
}

void MeasurementStage(LoopState& s) {
  uint8_t temperature = 0;
  uint16_t vbusMv = 0, setpoint = 0, current = 0, loopback = 0;
  if (!testerLink.GetMeasurements(&temperature, &vbusMv, &setpoint, &current, &loopback)) return;
  live.vbusVolts = vbusMv / 1000.0f;
  live.measuredCurrentMa = current;
  live.loopbackCurrentMa = loopback;
  live.temperatureC = temperature;
  live.loadSetpointMa = setpoint;

  // Keep the Set Voltage and Set Load controls on what the tester reports, but
  // leave them alone while the user's own request waits to be sent.
  const uint16_t voltage = live.profileVoltageMv;
  if (voltage != s.shownVoltageMv && !requests.voltageRequestPending) {
    SetSlider(IDC_VOLTAGE_SLIDER, 0, 0, -1, voltage, false);
    SetTextF(IDC_SET_VOLTAGE_EDIT, L"%d", static_cast<int>(voltage));
    s.shownVoltageMv = voltage;
  }
  if (setpoint != s.shownSetpointMa && !requests.loadRequestPending) {
    SetSlider(IDC_LOAD_SLIDER, 0, 0, -1, setpoint, false);
    SetTextF(IDC_SET_LOAD_EDIT, L"%d", static_cast<int>(setpoint));
    s.shownSetpointMa = setpoint;
  }
  ShowStatistics();
  if (graph.testStopped != 0 || graph.graphMode == RealTime) VoltageCheck(s);
  Pause();
}

void RequestStage(LoopState& s) {
  const uint32_t connection = live.connectionCount;
  if (requests.configPending || s.settingsWrittenFor != connection) {
    TesterSettings& settings = testerLink.settings;
    settings.standardPortLimitMa = config.standardPortLimitMa;
    settings.loopbackEnabled = config.loopbackEnabled ? 1 : 0;
    settings.estimateUpstream = config.estimateUpstream ? 1 : 0;
    settings.limitMode = config.limitMode;
    settings.maxLoadCurrentMa = config.maxLoadCurrentMa;
    settings.cableResistanceMohm = config.cableResistanceMohm;
    requests.configPending = 0;
    s.settingsWrittenFor = connection;
    testerLink.WriteTesterSettings();
  }
  if (requests.loadRequestPending) {
    requests.loadRequestPending = 0;
    testerLink.SetLoadCurrent(requests.requestedLoadMa);
  }
  if (requests.profileRequestPending) {
    uint8_t position = 0;
    uint16_t voltage = 0;
    const PdoList list = GetPdoList();
    if (ProfileRequestFor(list, requests.requestedProfileRow, live.profileKind, live.profileSubKind,
                          testerLink.hardwareRevision, &position, &voltage)) {
      testerLink.RequestProfile(position, voltage);
    }
    requests.profileRequestPending = 0;
    Sleep(500);
  }
  if (requests.voltageRequestPending) {
    const PdoList list = GetPdoList();
    testerLink.RequestProfile(static_cast<uint8_t>(list.EntryAt(live.activePdoIndex).ObjectPosition()),
                              requests.requestedVoltageMv);
    requests.voltageRequestPending = 0;
    Sleep(500);
  }
}

void NoticeStage() {
  HANDLE notices[4] = {portAttachedNotice, portDetachedNotice, newProfileNotice, capabilityChangedNotice};
  int notice = 0;
  for (int i = 0; i < 4; ++i) {
    if (notices[i] && WaitForSingleObject(notices[i], 0) == WAIT_OBJECT_0) {
      notice = i + 1;
      break;
    }
  }
  uint32_t attach = 0;
  if (StatusPoll(&attach) && !live.portReady && attach == 1) {
    AttachHandling();
    return;
  }
  switch (notice) {
    case 1: AttachHandling(); break;
    case 2: DetachHandling(); break;
    case 3: NewProfileHandling(); break;
    case 4: CapabilityChangedHandling(); break;
    default: break;
  }
}

}  // namespace

DWORD WINAPI MonitorLoop(LPVOID) {
  LoopState state;
  while (!StopRequested()) {
    if (!live.testerConnected) {
      live.capabilitiesLogged = 0;
      live.portReady = 0;
      Sleep(100);
      continue;
    }
    if (live.portReady) {
      MeasurementStage(state);
      if (!live.testerConnected) continue;
      RequestStage(state);
    }
    NoticeStage();
  }
  return 0;
}
