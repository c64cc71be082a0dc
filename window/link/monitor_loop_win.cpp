// The window's monitor thread: the portable MonitorCore over the D2XX link,
// the wall clock and the main window's controls. This file is glue only: the
// port adapter (the link and the four notice events), and the view that turns
// the core's calls into control updates through RunOnUiThread, so the loop
// never waits for a busy user-interface thread.
#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <cstdarg>
#include <cwchar>
#include <string>
#include <vector>

#include "core/link/link_port_win.h"
#include "core/link/monitor_core.h"
#include "core/link/tester_link_win.h"
#include "window/resources/resource_ids.h"
#include "window/shell/app_tester_win.h"
#include "window/shell/app_win.h"
#include "core/base/stop_signal.h"
#include "window/shell/ui_post_win.h"

namespace {

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

class WindowView : public MonitorView {
 public:
  void ProfileName(const wchar_t* name) override { SetText(IDC_PROFILE_TYPE, name); }

  void RatedAndCeiling(uint16_t ratedMa, uint16_t ceilingMa) override {
    SetTextF(IDC_RATED_CURRENT, L"%dmA", static_cast<int>(ratedMa));
    SetTextF(IDC_LOAD_MAX_LABEL, L"%dmA", static_cast<int>(ceilingMa));
    SetSlider(IDC_LOAD_SLIDER, 0, ceilingMa, -1, 0, true);
  }

  void ProfileRows(const std::vector<std::wstring>& rows) override {
    RunOnUiThread([rows] {
      HWND list = GetDlgItem(mainWindow, IDC_VOLTAGE_LIST);
      SendMessageW(list, CB_RESETCONTENT, 0, 0);
      for (const std::wstring& row : rows) SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row.c_str()));
      EnableWindow(list, rows.empty() ? FALSE : TRUE);
    });
  }

  void SelectRow(int row) override {
    RunOnUiThread([row] { SendMessageW(GetDlgItem(mainWindow, IDC_VOLTAGE_LIST), CB_SETCURSEL, row, 0); });
  }

  void VoltageControls(const PdoEntry* entry, uint16_t voltageMv) override {
    if (entry) {
      SetTextF(IDC_VOLTAGE_MIN_LABEL, L"%dmV", static_cast<int>(entry->minMv));
      SetTextF(IDC_VOLTAGE_MAX_LABEL, L"%dmV", static_cast<int>(entry->maxMv));
      SetSlider(IDC_VOLTAGE_SLIDER, entry->minMv, entry->maxMv, (entry->maxMv - entry->minMv) / 200, voltageMv, true);
    } else {
      SetText(IDC_VOLTAGE_MIN_LABEL, L"");
      SetText(IDC_VOLTAGE_MAX_LABEL, L"");
    }
    for (int id : {IDC_SET_VOLTAGE_EDIT, IDC_SET_VOLTAGE_BUTTON, IDC_VOLTAGE_SLIDER}) Enable(id, entry != nullptr);
  }

  void SourceControls(bool attached) override {
    for (int id : {IDC_SET_LOAD_EDIT, IDC_SET_LOAD_BUTTON, IDC_LOAD_SLIDER}) Enable(id, attached);
    if (!attached) {
      for (int id : {IDC_VOLTAGE_LIST, IDC_SET_VOLTAGE_EDIT, IDC_SET_VOLTAGE_BUTTON, IDC_VOLTAGE_SLIDER}) {
        Enable(id, false);
      }
    }
  }

  void FollowVoltage(uint16_t voltageMv) override {
    SetSlider(IDC_VOLTAGE_SLIDER, 0, 0, -1, voltageMv, false);
    SetTextF(IDC_SET_VOLTAGE_EDIT, L"%d", static_cast<int>(voltageMv));
  }

  void FollowSetPoint(uint16_t setpointMa) override {
    SetSlider(IDC_LOAD_SLIDER, 0, 0, -1, setpointMa, false);
    SetTextF(IDC_SET_LOAD_EDIT, L"%d", static_cast<int>(setpointMa));
  }

  void Statistics(const Reading& r, double capacityMah, double capacityMwh) override {
    const float volts = r.Volts();
    SetTextF(IDC_VBUS, L"%.2f V", static_cast<double>(volts));
    SetTextF(IDC_CURRENT, L"%d mA", static_cast<int>(r.currentMa));
    SetTextF(IDC_LOOPBACK_CURRENT, L"%d mA", static_cast<int>(r.loopbackMa));
    SetTextF(IDC_POWER, L"%.2f W", static_cast<double>(r.currentMa * volts / 1000.0f));
    SetTextF(IDC_TEMPERATURE, L"%d C", static_cast<int>(r.temperatureC));
    ShowCapacity(capacityMah, capacityMwh);
  }

  void NoSource() override {
    SetText(IDC_PROFILE_TYPE, L"");
    SetText(IDC_RATED_CURRENT, L"");
    SetText(IDC_VBUS, L" ");
    SetText(IDC_CURRENT, L" ");
    SetText(IDC_POWER, L" ");
    SetText(IDC_TEMPERATURE, L" ");
    SetText(IDC_SET_LOAD_EDIT, L"0");
    SetText(IDC_LOOPBACK_CURRENT, L"0 mA");
    ShowCapacity(live.capacityMah, live.capacityMwh);
  }

  void LogTimer(bool run) override {
    const uint8_t seconds = config.logIntervalSec;
    if (run && seconds != 0) {
      RunOnUiThread([seconds] { SetTimer(mainWindow, kLogLineTimerId, seconds * 1000u, nullptr); });
    } else if (!run) {
      RunOnUiThread([] { KillTimer(mainWindow, kLogLineTimerId); });
    }
  }

 private:
  static void ShowCapacity(double mah, double mwh) {
    SetTextF(IDC_CAPACITY, L"%lu\r\n%lu", static_cast<unsigned long>(static_cast<uint32_t>(mah)),
             static_cast<unsigned long>(static_cast<uint32_t>(mwh)));
  }
};

// The notices live in the events the link's callback sets.
HANDLE NoticeEvent(int n) {
  switch (n) {
    case 1: return portAttachedNotice;
    case 2: return portDetachedNotice;
    case 3: return newProfileNotice;
    case 4: return capabilityChangedNotice;
    default: return nullptr;
  }
}

int PendingNoticeEvent() {
  for (int n = 1; n <= 4; ++n) {
    HANDLE e = NoticeEvent(n);
    if (e && WaitForSingleObject(e, 0) == WAIT_OBJECT_0) return n;
  }
  return 0;
}

void ClearNoticeEvent(int n) {
  if (HANDLE e = NoticeEvent(n)) ResetEvent(e);
}

// The wall clock, stopped by the program's stop request at exit.
constexpr uint32_t kShortPauseMs = 20;
class WindowClock : public MonitorClock {
 public:
  int64_t NowUs() override {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
  }
  bool Sleep(uint32_t ms) override {
    // Short pauses (the real-time graph's 1 ms) keep the system timer's
    // resolution; a stop waits for them at most that long.
    if (ms <= kShortPauseMs) {
      ::Sleep(ms);
      return !StopRequested();
    }
    return PauseUnlessStopped(ms);
  }
  void Stop() override { RequestStop(); }
  void Restart() override {}
  bool Stopped() const override { return StopRequested(); }
};

struct WindowMonitor {
  WindowClock clock;
  WindowView view;
  LinkPort port{testerLink, PendingNoticeEvent, ClearNoticeEvent};
  MonitorCore core{appTester, port, clock, view};
};

WindowMonitor& TheMonitor() {
  static WindowMonitor monitor;
  return monitor;
}

}  // namespace

MonitorCore& Monitor() { return TheMonitor().core; }

void StopMonitorLoop() { TheMonitor().clock.Stop(); }

DWORD WINAPI MonitorLoop(LPVOID) {
  TheMonitor().core.RunUntilStopped();
  return 0;
}
