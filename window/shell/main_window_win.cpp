// The main window: start-up work, the message table and the shared dialog helpers.
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>
#include <gdiplus.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "window/resources/resource_ids.h"
#include "window/shell/app_tester_win.h"
#include "window/shell/app_win.h"
#include "core/base/log_event.h"
#include "core/base/logger.h"
#include "core/base/stop_signal.h"
#include "window/shell/ui_jobs_win.h"
#include "window/shell/ui_post_win.h"

HINSTANCE appInstance = nullptr;
HWND mainWindow = nullptr;
DWORD uiThreadId = 0;
CRITICAL_SECTION selectLock;
wchar_t selectedSerial[32] = L"";

HBRUSH whiteBrush = nullptr;
HFONT logTextFont = nullptr;
HFONT headerFont = nullptr;
int logRowHeight = 14;

HMODULE gradientLibrary = nullptr;
GradientFillFn gradientFill = nullptr;

HANDLE portAttachedNotice = nullptr;
HANDLE portDetachedNotice = nullptr;
HANDLE newProfileNotice = nullptr;
HANDLE capabilityChangedNotice = nullptr;

namespace {

ULONG_PTR gdiplusToken = 0;
bool gdiplusStarted = false;
HANDLE monitorThread = nullptr;
bool workersStopped = true;

// At exit each worker thread is asked to stop and waited for, each within its
// own bound (a monitor pass may be in the middle of a command and its pauses).
constexpr DWORD kMonitorStopWaitMs = 4000;
constexpr DWORD kJobsStopWaitMs = 4000;

bool StopWorkerThreads() {
  RequestStop();
  StopMonitorLoop();
  bool stopped = StopGraphTestForExit();
  if (monitorThread) {
    if (WaitForSingleObject(monitorThread, kMonitorStopWaitMs) == WAIT_OBJECT_0) {
      CloseHandle(monitorThread);
      monitorThread = nullptr;
    } else {
      stopped = false;
    }
  }
  return JoinOffUiThreadJobs(kJobsStopWaitMs) && stopped;
}

HFONT MakeFont(int height, int weight, bool italic) {
  LOGFONTW font = {};
  font.lfHeight = height;
  font.lfWeight = weight;
  font.lfItalic = italic ? TRUE : FALSE;
  std::wcscpy(font.lfFaceName, L"Tahoma");
  return CreateFontIndirectW(&font);
}

// Layout step: the controls keep their places; only the log window's rectangle
// is remembered for painting.
void LayoutStep(HWND window) {
  HWND log = GetDlgItem(window, IDC_LOG_WINDOW);
  HWND scroll = GetDlgItem(window, IDC_LOG_SCROLL);
  if (!log || !scroll) return;
  RECT rect;
  GetClientRect(log, &rect);
  SetLogWindowRect(rect);
  if (eventLog) UpdateLogScrollRange();
}

void ShowError(HWND owner, const wchar_t* text) { MessageBoxW(owner, text, L"Loadpost: Error", MB_OK); }

}  // namespace

void LogMeasurementLine() {
  wchar_t line[256];
  std::swprintf(line, 256, L"V=%.2fV, I=%dmA, I Loopback=%dmA", static_cast<double>(live.vbusVolts.load()),
                static_cast<int>(live.measuredCurrentMa.load()), static_cast<int>(live.loopbackCurrentMa.load()));
  LogEvent(line, LogDiagnostics);
}

void InitMainWindow(HWND window) {
  Gdiplus::GdiplusStartupInput input;
  if (!gdiplusStarted) {
    if (Gdiplus::GdiplusStartup(&gdiplusToken, &input, nullptr) != Gdiplus::Ok) {
      // Without the graphics library the graphs cannot be drawn; the main window
      // and the log still work, so the user is told and start-up goes on.
      MessageBoxW(window, L"The graphics library could not be started. Graphs and images will not be drawn.",
                  L"Loadpost: Error", MB_OK);
    } else {
      gdiplusStarted = true;
    }
  }

  whiteBrush = CreateSolidBrush(RGB(255, 255, 255));
  eventLog = new Logger();
  logTextFont = MakeFont(14, 700, false);
  headerFont = MakeFont(16, 700, true);
  logRowHeight = 14;

  LayoutStep(window);

  std::wcscpy(selectedSerial, L"No Serial");
  ClearLog(window);

  // The events exist before the first tester is opened, so that a notice it
  // sends while it is being connected is not lost.
  portAttachedNotice = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  portDetachedNotice = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  newProfileNotice = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  capabilityChangedNotice = CreateEventW(nullptr, TRUE, FALSE, nullptr);

  ScanTesters(window);

  SetDlgItemTextW(window, IDC_PROFILE_TYPE, L"");
  SetDlgItemTextW(window, IDC_RATED_CURRENT, L"");
  SetDlgItemTextW(window, IDC_VBUS, L" ");
  SetDlgItemTextW(window, IDC_CURRENT, L" ");
  SetDlgItemTextW(window, IDC_POWER, L" ");
  SetDlgItemTextW(window, IDC_TEMPERATURE, L" ");
  SetDlgItemTextW(window, IDC_SET_LOAD_EDIT, L"0");

  HWND voltageSlider = GetDlgItem(window, IDC_VOLTAGE_SLIDER);
  SendMessageW(voltageSlider, TBM_SETRANGE, TRUE, MAKELPARAM(0, 5000));
  SendMessageW(voltageSlider, TBM_SETLINESIZE, 0, 200);
  SendMessageW(voltageSlider, TBM_SETPOS, TRUE, 0);
  HWND loadSlider = GetDlgItem(window, IDC_LOAD_SLIDER);
  SendMessageW(loadSlider, TBM_SETRANGE, TRUE, MAKELPARAM(0, 5000));
  SendMessageW(loadSlider, TBM_SETLINESIZE, 0, 25);
  SendMessageW(loadSlider, TBM_SETPOS, TRUE, 0);

  // 2048 bytes of initial stack; the system rounds it up and reserves the
  // program's default stack size.
  monitorThread = CreateThread(nullptr, 2048, MonitorLoop, window, 0, nullptr);
}

bool WorkerThreadsStopped() { return workersStopped; }

void OpenGraphWindow(HWND window) {
  if (!live.portReady) {
    ShowError(mainWindow, L"No Device Under Test detected.");
    return;
  }
  DialogBoxShellFont(appInstance, IDD_GRAPH_WINDOW, mainWindow, GraphWindowProc, 65536);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      break;
    case WM_SIZE:
      LayoutStep(window);
      break;
    case WM_PAINT: {
      HWND log = GetDlgItem(window, IDC_LOG_WINDOW);
      if (log) UpdateWindow(log);
      LRESULT result = DefWindowProcW(window, message, wParam, lParam);
      PaintLogWindow(true);
      return result;
    }
    case WM_SHOWWINDOW:
      return 0;
    case WM_SETCURSOR:
      if (ConnectingTester()) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_DESTROY:
      KillTimer(window, kLogLineTimerId);
      // Nothing a worker thread uses is freed before it has ended. One that
      // does not end in time keeps it all, and the program ends without
      // freeing (WorkerThreadsStopped).
      workersStopped = StopWorkerThreads();
      if (workersStopped) {
        CloseTesterLink();
        SetLogChangedHook(nullptr);
        Logger* log = eventLog;
        eventLog = nullptr;
        delete log;
      }
      DeleteObject(whiteBrush);
      DeleteObject(logTextFont);
      DeleteObject(headerFont);
      whiteBrush = nullptr;
      logTextFont = headerFont = nullptr;
      if (gradientLibrary) {
        gradientFill = nullptr;
        FreeLibrary(gradientLibrary);
        gradientLibrary = nullptr;
      }
      PostQuitMessage(0);
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      switch (id) {
        case IDC_EXIT:
          DestroyWindow(window);
          return 0;
        case IDC_SWEEP_GRAPH:
          graph.graphMode = Sweep;
          OpenGraphWindow(window);
          return 0;
        case IDC_REALTIME_GRAPH:
          graph.graphMode = RealTime;
          OpenGraphWindow(window);
          return 0;
        case IDC_ABOUT:
          ShowAboutBox(window);
          return 0;
        case IDC_SAVE_LOG:
          SaveLog(window);
          return 0;
        case IDC_HELP_BUTTON:
          OpenUserGuide(window);
          return 0;
        case IDC_DEVICE_LIST:
          if (code == CBN_SELENDOK) SelectTester(window);
          return 0;
        case IDC_VOLTAGE_LIST:
          if (code == CBN_SELENDOK) OnVoltageListSelect(window);
          return 0;
        case IDC_SET_LOAD_BUTTON:
          OnSetLoad(window);
          return 0;
        case IDC_SET_VOLTAGE_BUTTON:
          OnSetVoltage(window);
          return 0;
        case IDC_RESET_CAPACITY:
          live.capacityMah = 0.0;
          live.capacityMwh = 0.0;
          return 0;
        case IDC_CLEAR_LOG:
          ClearLog(window);
          return 0;
        case IDC_CONFIGURE:
          if (live.testerConnected) {
            DialogBoxParamW(appInstance, L"CONFBOX", window, ConfigDialogProc, 0);
          } else {
            ShowError(window, L"No Loadpost device selected.");
          }
          return 0;
        case IDC_CALIBRATION:
          if (!live.testerConnected) {
            ShowError(window, L"No Loadpost device selected.");
          } else if (TesterHardwareRevision() == 20) {
            DialogBoxParamW(appInstance, L"CALIBBOX", window, CalibrationDialogProc, 0);
          } else {
            ShowError(window, L"Calibration only works on KT-60 testers.");
          }
          return 0;
        default:
          return 0;
      }
    }
    case WM_TIMER:
      if (wParam == kLogLineTimerId) LogMeasurementLine();
      break;
    case WM_HSCROLL: {
      HWND from = reinterpret_cast<HWND>(lParam);
      if (from == GetDlgItem(window, IDC_LOAD_SLIDER) || from == GetDlgItem(window, IDC_VOLTAGE_SLIDER)) {
        OnSliderScroll(window, wParam, lParam);
      }
      break;
    }
    case WM_VSCROLL:
      ScrollLog(wParam);
      return 0;
    case WM_POWERBROADCAST:
      if (wParam == PBT_APMSUSPEND) LogEvent(L"Suspend", LogError);
      break;
    case WM_DEVICECHANGE:
      if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) OnDeviceChange(window, wParam, lParam);
      break;
    case kMsgLogChanged:
      RefreshLogWindow();
      return 0;
    case kMsgRunUiActions:
      RunQueuedUiActions();
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void CenterWindowOver(HWND window, HWND reference) {
  RECT own, ref;
  GetWindowRect(window, &own);
  GetWindowRect(reference, &ref);
  const int w = own.right - own.left;
  const int h = own.bottom - own.top;
  HDC dc = GetDC(window);
  const int screenW = GetDeviceCaps(dc, HORZRES);
  const int screenH = GetDeviceCaps(dc, VERTRES);
  ReleaseDC(window, dc);
  int x = ref.left + ((ref.right - ref.left) - w) / 2;
  int y = ref.top + ((ref.bottom - ref.top) - h) / 2;
  if (x + w > screenW) x = screenW - w;
  if (y + h > screenH) y = screenH - h;
  // A window larger than the screen keeps its top-left corner (and with it the
  // title bar) on the screen.
  if (x < 0) x = 0;
  if (y < 0) y = 0;
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::wstring DialogItemText(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  const int length = control ? GetWindowTextLengthW(control) : 0;
  if (length <= 0) return std::wstring();
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), length + 1)));
  return text;
}

INT_PTR DialogBoxShellFont(HINSTANCE instance, int templateId, HWND owner, DLGPROC procedure, LPARAM parameter) {
  HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(templateId), reinterpret_cast<LPCWSTR>(RT_DIALOG));
  if (!resource) return -1;
  HGLOBAL loaded = LoadResource(instance, resource);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data) return -2;
  const DWORD size = SizeofResource(instance, resource);
  std::vector<unsigned char> copy;
  if (size < 16) return -3;
  copy.assign(static_cast<const unsigned char*>(data), static_cast<const unsigned char*>(data) + size);
  // An extended template starts with dlgVer 1 and signature 0xFFFF; its style
  // word follows the help ID and the extended style.
  // (A classic template has no room for the font block, so it is left alone.)
  WORD* words = reinterpret_cast<WORD*>(copy.data());
  if (words[0] == 1 && words[1] == 0xFFFF) {
    DWORD style;
    std::memcpy(&style, copy.data() + 12, sizeof(style));
    style |= DS_SETFONT | DS_FIXEDSYS;
    std::memcpy(copy.data() + 12, &style, sizeof(style));
  }
  return DialogBoxIndirectParamW(instance, reinterpret_cast<LPCDLGTEMPLATEW>(copy.data()), owner, procedure,
                                 parameter);
}
