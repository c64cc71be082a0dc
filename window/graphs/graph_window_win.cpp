// The graph window: a resizable modal dialog with one chart and one test
// thread, in real-time or sweep mode. The thread changes the chart and posts
// its status line and its end to the dialog; a 10 ms timer repaints the chart.
#include <windows.h>
#include <mmsystem.h>
#include <objidl.h>
#include <gdiplus.h>

#include <atomic>
#include <cwchar>

#include "core/graphs/graph_overlay.h"
#include "core/graphs/graph_run.h"
#include "window/graphs/graph_window_win.h"
#include "core/graphs/run_link.h"
#include "core/graphs/sweep_plan.h"
#include "core/graphs/voltage_window.h"
#include "window/resources/resource_ids.h"
#include "window/shell/app_tester_win.h"
#include "window/shell/app_win.h"
#include "core/base/log_event.h"
#include "core/base/shared_state.h"

using namespace Gdiplus::DllExports;

HWND graphWindow = nullptr;
HWND graphControl = nullptr;
GraphSession graphSession;
int lastClientWidth = 0;
int lastClientHeight = 0;

namespace {

WNDPROC previousControlProc = nullptr;
HANDLE testThread = nullptr;
// Each run has a number; messages of an earlier run are ignored.
std::atomic<WPARAM> currentRun{0};
bool windowReady = false;

// The thread's newest status text, taken by the window thread on kMsgGraphStatus.
struct StatusMailbox {
  StatusMailbox() { InitializeCriticalSection(&lock); }
  CRITICAL_SECTION lock;
  wchar_t text[kGraphStatusChars] = L"";
};
StatusMailbox& Status() {
  static StatusMailbox mailbox;
  return mailbox;
}

void PutStatus(const wchar_t* text) {
  StatusMailbox& m = Status();
  EnterCriticalSection(&m.lock);
  std::wcsncpy(m.text, text ? text : L"", kGraphStatusChars - 1);
  m.text[kGraphStatusChars - 1] = 0;
  LeaveCriticalSection(&m.lock);
}

void TakeStatus(wchar_t* out) {
  StatusMailbox& m = Status();
  EnterCriticalSection(&m.lock);
  std::wcscpy(out, m.text);
  LeaveCriticalSection(&m.lock);
}

// --- The test thread's host -------------------------------------------------------

struct ThreadContext {
  HWND dialog = nullptr;
  WPARAM run = 0;
};

void BeginRun(void* context) {
  auto* c = static_cast<ThreadContext*>(context);
  // Invalidate only: the window thread paints it; the thread never waits for it.
  if (c->dialog) InvalidateRect(c->dialog, nullptr, TRUE);
}

void LogLine(void*, const wchar_t* text, int32_t category) { LogEvent(text, category); }

void ShowStatus(void* context, const wchar_t* text) {
  auto* c = static_cast<ThreadContext*>(context);
  PutStatus(text);
  if (c->dialog) PostMessageW(c->dialog, kMsgGraphStatus, c->run, 0);
}

// --- Drawing --------------------------------------------------------------------

HFONT MakeArialFont(float pixels) {
  LOGFONTW font = {};
  font.lfHeight = static_cast<LONG>(pixels * uiScale);
  font.lfCharSet = DEFAULT_CHARSET;
  std::wcscpy(font.lfFaceName, L"Arial");
  return CreateFontIndirectW(&font);
}

void FillSwatches(HDC dc, const Gdiplus::ARGB* colours, const int* xs, int count, int y) {
  Gdiplus::GpGraphics* graphics = nullptr;
  if (GdipCreateFromHDC(dc, &graphics) != Gdiplus::Ok || !graphics) return;
  for (int i = 0; i < count; ++i) {
    Gdiplus::GpSolidFill* brush = nullptr;
    if (GdipCreateSolidFill(colours[i], &brush) == Gdiplus::Ok && brush) {
      GdipFillRectangleI(graphics, brush, xs[i], y, 30, 20);
      GdipDeleteBrush(brush);
    }
  }
  GdipDeleteGraphics(graphics);
}

void WriteTexts(HDC dc, float fontPixels, const wchar_t* const* texts, const int* xs, int count, int y) {
  HFONT font = MakeArialFont(fontPixels);
  HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
  for (int i = 0; i < count; ++i) TextOutW(dc, xs[i], y, texts[i], static_cast<int>(std::wcslen(texts[i])));
  if (old) SelectObject(dc, old);
  if (font) DeleteObject(font);
}

// The legend of the run's mode: swatches, then their texts.
void DrawLegend(HDC dc, const LineChart& chart, uint32_t mode) {
  const GraphLegend& legend = LegendOf(mode);
  const int h = chart.height;
  Gdiplus::ARGB colours[3];
  int swatchXs[3], textXs[3];
  const wchar_t* texts[3];
  const int count = legend.count < 3 ? legend.count : 3;
  for (int i = 0; i < count; ++i) {
    colours[i] = legend.items[i].argb;
    swatchXs[i] = legend.items[i].swatchX;
    textXs[i] = legend.items[i].textX;
    texts[i] = legend.items[i].text;
  }
  FillSwatches(dc, colours, swatchXs, count, h + legend.swatchDy);
  WriteTexts(dc, legend.fontPixels, texts, textXs, count, h + legend.textDy);
}

void DrawRealtimeOverlay(HDC dc, LineChart& chart) {
  DrawLegend(dc, chart, RealTime);
  // The band of the run's profile at the load the tester reported; a profile
  // without a window shows none.
  const BandRange band = RunBand(graphSession);
  chart.SetSeriesBand(0, band.low, band.high);
}

void DrawSweepOverlay(HDC dc, LineChart& chart) {
  const SweepRegions regions = BuildSweepRegions(RunRegionInputs(graphSession));
  for (int i = 0; i < regions.count; ++i) {
    const ShadeShape& s = regions.shapes[i];
    if (s.kind == ShadeKind::Rect) {
      chart.ShadeRect(dc, s.currentsMa[0], s.volts[0], s.currentsMa[1], s.volts[1], s.colour.r, s.colour.g,
                      s.colour.b);
    } else {
      chart.ShadePolygon(dc, s.currentsMa, s.volts, s.count, s.colour.r, s.colour.g, s.colour.b);
    }
  }
  DrawLegend(dc, chart, Sweep);
}

// --- Window -----------------------------------------------------------------------

void EnableButton(HWND dialog, int id, bool enabled) { EnableWindow(GetDlgItem(dialog, id), enabled ? TRUE : FALSE); }

void MoveBy(HWND dialog, int id, int dx, int dy) {
  HWND control = GetDlgItem(dialog, id);
  if (!control) return;
  RECT r;
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  MoveWindow(control, r.left + dx, r.top + dy, r.right - r.left, r.bottom - r.top, FALSE);
}

void ApplyResize(HWND dialog, int width, int height) {
  const int dx = width - lastClientWidth;
  const int dy = height - lastClientHeight;
  HWND control = GetDlgItem(dialog, IDC_GRAPH);
  if (control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    const int w = r.right - r.left + dx;
    const int h = r.bottom - r.top + dy;
    MoveWindow(control, r.left, r.top, w, h, FALSE);
    RECT client;
    GetClientRect(control, &client);
    if (LineChart* chart = graphSession.chart) {
      chart->width = static_cast<int>(static_cast<float>(client.right) - 20.0f * uiScale);
      chart->height = static_cast<int>(static_cast<float>(client.bottom) - 30.0f * uiScale);
    }
  }
  MoveBy(dialog, IDC_GRAPH_SAVE, dx, dy);
  MoveBy(dialog, IDC_GRAPH_CSV, dx, dy);
  MoveBy(dialog, IDC_GRAPH_STOP, dx, dy);
  MoveBy(dialog, IDOK, dx, dy);
  MoveBy(dialog, IDC_GRAPH_STATUS, 0, dy);
  InvalidateRect(dialog, nullptr, TRUE);
  lastClientWidth = width;
  lastClientHeight = height;
}

void StartTestThread(HWND dialog) {
  currentRun = currentRun + 1;
  PutStatus(L"");
  testThread = CreateThread(nullptr, 2048, TestThread, dialog, 0, nullptr);
  if (!testThread) {
    // No thread: the run ends at once, as if it had been stopped.
    graph.testFinished = 1;
    graph.testStopped = 1;
    PostMessageW(dialog, kMsgGraphTestEnded, currentRun, 0);
  }
}

// Stops a running test and waits until its thread has finished its end steps.
// True when no thread is left running.
bool StopAndJoinTestThread() {
  if (!testThread) return true;
  if (WaitForSingleObject(testThread, 0) == WAIT_TIMEOUT) {
    graph.testFinished = 1;
    graph.testStopped = 1;
    Monitor().Feed().Stop();
  }
  // The thread never waits for this thread, so it ends within one step.
  if (WaitForSingleObject(testThread, 10000) == WAIT_TIMEOUT) return false;
  CloseHandle(testThread);
  testThread = nullptr;
  return true;
}

// Waits for a thread that has already been told to stop.
bool JoinTestThread() {
  if (!testThread) return true;
  if (WaitForSingleObject(testThread, 10000) == WAIT_TIMEOUT) {
    Monitor().Feed().Stop();
    if (WaitForSingleObject(testThread, 10000) == WAIT_TIMEOUT) return false;
  }
  CloseHandle(testThread);
  testThread = nullptr;
  return true;
}

}  // namespace

bool StopGraphTestForExit() { return StopAndJoinTestThread(); }

namespace {

// Ends the window's run: the thread is stopped and joined before the chart goes.
void ReleaseGraph(HWND dialog) {
  const bool joined = StopAndJoinTestThread();
  KillTimer(dialog, kGraphRefreshTimerId);
  windowReady = false;
  LineChart* chart = graphSession.chart;
  graphSession.chart = nullptr;
  // A thread that could not be joined keeps its chart (it is never freed under it).
  if (joined) delete chart;
  graphControl = nullptr;
  graphWindow = nullptr;
  currentRun = currentRun + 1;
}

void OnStopRepeat(HWND dialog) {
  if (!graph.testFinished) {
    graph.testFinished = 1;
    graph.testStopped = 1;
    SetDlgItemTextW(dialog, IDC_GRAPH_STOP, L"Repeat");
    Monitor().Feed().Stop();
    return;
  }
  // Repeat: the previous thread finishes its end steps first, so that they
  // cannot end the new run.
  if (!JoinTestThread()) return;
  graph.testFinished = 0;
  graph.testStopped = 0;
  SetDlgItemTextW(dialog, IDC_GRAPH_STOP, L"Stop");
  EnableButton(dialog, IDOK, false);
  EnableButton(dialog, IDC_GRAPH_SAVE, false);
  EnableButton(dialog, IDC_GRAPH_CSV, false);
  SetUpChart(dialog, graphSession.chart);
  StartTestThread(dialog);
}

void OnTestEnded(HWND dialog) {
  EnableButton(dialog, IDOK, true);
  EnableButton(dialog, IDC_GRAPH_SAVE, true);
  if (graphSession.mode == Sweep) EnableButton(dialog, IDC_GRAPH_CSV, true);
  SetDlgItemTextW(dialog, IDC_GRAPH_STOP, L"Repeat");
  graph.testFinished = 1;
  graph.testStopped = 1;
}

void InitGraphWindow(HWND dialog) {
  CenterWindowOver(dialog, mainWindow);
  HWND control = GetDlgItem(dialog, IDC_GRAPH);
  previousControlProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(GraphControlProc)));
  RECT client;
  GetClientRect(dialog, &client);
  lastClientWidth = client.right;
  lastClientHeight = client.bottom;
  SetWindowTextW(dialog, graph.graphMode == RealTime ? kRealtimeWindowTitle : kSweepWindowTitle);

  LineChart* chart = new LineChart();
  graphSession.chart = chart;
  SetUpChart(dialog, chart);
  graphWindow = dialog;
  EnableButton(dialog, IDC_GRAPH_SAVE, false);
  EnableButton(dialog, IDC_GRAPH_CSV, false);
  EnableButton(dialog, IDOK, false);
  graph.testStopped = 0;
  graph.testFinished = 0;
  StartTestThread(dialog);

  windowReady = true;
  ApplyResize(dialog, client.right, client.bottom);
  graphControl = control;
  SetTimer(dialog, kGraphRefreshTimerId, kGraphRefreshMs, nullptr);
}

}  // namespace

void SetUpChart(HWND dialog, LineChart* chart) {
  if (!chart) return;
  SetUpGraphChart(graphSession, *chart, CurrentGraphSetupInputs(appTester));
  SetDlgItemTextW(dialog, IDC_GRAPH_STATUS, L"");
}

void DrawGraphOnWhite(HDC dc, int width, int height) {
  HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(WHITE_BRUSH));
  HGDIOBJ oldPen = SelectObject(dc, GetStockObject(BLACK_PEN));
  Rectangle(dc, 0, 0, width, height);
  SelectObject(dc, oldPen);
  SelectObject(dc, oldBrush);
  DrawGraph(dc);
}

void DrawGraph(HDC dc) {
  LineChart* chart = graphSession.chart;
  if (!chart) return;
  chart->Draw(dc, 5, 5);
  if (graphSession.mode == RealTime) {
    DrawRealtimeOverlay(dc, *chart);
  } else {
    DrawSweepOverlay(dc, *chart);
  }
}

DWORD WINAPI TestThread(LPVOID dialog) {
  ThreadContext context;
  context.dialog = static_cast<HWND>(dialog);
  context.run = currentRun;
  GraphTestHost host;
  host.context = &context;
  host.begin = BeginRun;
  host.log = LogLine;
  host.showStatus = ShowStatus;
  ThreadedRunLink link(appTester, Monitor().Feed(), Monitor().Clock());

  // The real-time graph takes every reading: the system timer runs at 1 ms
  // while it does, so the monitor's 1 ms pauses are short.
  const bool realtime = graphSession.mode == RealTime;
  if (realtime) timeBeginPeriod(1);
  RunGraphTest(graphSession, host, link);
  if (realtime) timeEndPeriod(1);
  if (context.dialog) PostMessageW(context.dialog, kMsgGraphTestEnded, context.run, 0);
  return 0;
}

LRESULT CALLBACK GraphControlProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(control, &ps);
      RECT client;
      GetClientRect(control, &client);
      const int w = client.right;
      const int h = client.bottom;
      HDC memory = CreateCompatibleDC(dc);
      HBITMAP bitmap = memory && w > 0 && h > 0 ? CreateCompatibleBitmap(dc, w, h) : nullptr;
      if (memory && bitmap) {
        HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
        DrawGraphOnWhite(memory, w, h);
        BitBlt(dc, 0, 0, w, h, memory, 0, 0, SRCCOPY);
        SelectObject(memory, oldBitmap);
      }
      if (bitmap) DeleteObject(bitmap);
      if (memory) DeleteDC(memory);
      EndPaint(control, &ps);
      return 0;
    }
    default:
      break;
  }
  return previousControlProc ? CallWindowProcW(previousControlProc, control, message, wParam, lParam)
                             : DefWindowProcW(control, message, wParam, lParam);
}

INT_PTR CALLBACK GraphWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      InitGraphWindow(dialog);
      return TRUE;
    case WM_SIZE:
      if (windowReady) ApplyResize(dialog, LOWORD(lParam), HIWORD(lParam));
      return TRUE;
    case WM_GETMINMAXINFO: {
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize.x = static_cast<LONG>(630.0f * uiScale);
      info->ptMinTrackSize.y = static_cast<LONG>(400.0f * uiScale);
      return TRUE;
    }
    case WM_TIMER:
      if (wParam == kGraphRefreshTimerId && graphControl) {
        RedrawWindow(graphControl, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
      }
      return TRUE;
    case kMsgGraphStatus:
      if (wParam == currentRun) {
        wchar_t text[kGraphStatusChars];
        TakeStatus(text);
        SetDlgItemTextW(dialog, IDC_GRAPH_STATUS, text);
      }
      return TRUE;
    case kMsgGraphTestEnded:
      if (wParam == currentRun) OnTestEnded(dialog);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_GRAPH_STOP:
          OnStopRepeat(dialog);
          return TRUE;
        case IDC_GRAPH_SAVE:
          SaveGraphImage(dialog);
          return TRUE;
        case IDC_GRAPH_CSV:
          ExportSweepCsv(dialog);
          return TRUE;
        case IDOK:
        case IDCANCEL:
          ReleaseGraph(dialog);
          EndDialog(dialog, 0);
          return TRUE;
        default:
          return FALSE;
      }
    case WM_DESTROY:
      // Also reached when the owner goes away with the dialog open.
      if (graphWindow == dialog || graphSession.chart) ReleaseGraph(dialog);
      return FALSE;
    default:
      return FALSE;
  }
}
