// The log window: the main window's control 1040, painted row by row with each
// record's category colour, and its scroll bar 1042.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <cwchar>

#include "window/resources/resource_ids.h"
#include "window/shell/app_win.h"
#include "core/base/log_event.h"
#include "core/base/log_view.h"
#include "core/base/logger.h"
#include "core/base/version.h"

namespace {

RECT logRect = {0, 0, 0, 0};
LogView view;
WNDPROC previousLogProc = nullptr;
std::atomic<bool> refreshPosted{false};

HWND LogControl() { return mainWindow ? GetDlgItem(mainWindow, IDC_LOG_WINDOW) : nullptr; }
HWND ScrollControl() { return mainWindow ? GetDlgItem(mainWindow, IDC_LOG_SCROLL) : nullptr; }

void FillOutlined(HDC dc, const RECT& r, COLORREF colour) {
  HBRUSH brush = CreateSolidBrush(colour);
  HGDIOBJ oldBrush = SelectObject(dc, brush);
  Rectangle(dc, r.left, r.top, r.right, r.bottom);
  SelectObject(dc, oldBrush);
  DeleteObject(brush);
}

void PaintHeader(HDC dc) {
  const RECT band = {0, 1, logRect.right, 25};
  if (gradientFill) {
    TRIVERTEX vertices[2] = {};
    vertices[0].x = band.left;
    vertices[0].y = band.top;
    vertices[0].Red = 96 << 8;
    vertices[0].Green = 96 << 8;
    vertices[0].Blue = 96 << 8;
    vertices[1].x = band.right;
    vertices[1].y = band.bottom;
    vertices[1].Red = 192 << 8;
    vertices[1].Green = 192 << 8;
    vertices[1].Blue = 192 << 8;
    GRADIENT_RECT gradient = {0, 1};
    gradientFill(dc, vertices, 2, &gradient, 1, GRADIENT_FILL_RECT_H);
  } else {
    FillOutlined(dc, band, RGB(192, 192, 192));
  }
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));
  HGDIOBJ oldFont = SelectObject(dc, headerFont);
  TextOutW(dc, 5, 4, L"Log Window", 10);
  SelectObject(dc, oldFont);
}

void PaintRecords(HDC dc) {
  view.visibleRows = LogView::RowsFor(logRect.bottom - logRect.top, logRowHeight);
  const int count = eventLog->RecordCount();
  const int n = view.visibleRows < count ? view.visibleRows : count;
  int y = kLogHeaderHeight;
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 0));
  HGDIOBJ oldFont = SelectObject(dc, logTextFont);
  RECT clip = logRect;
  clip.right -= 1;
  wchar_t text[kLogTextChars];
  for (int i = 0; i < n; ++i) {
    int32_t category = 0;
    if (!eventLog->GetRecord(view.topIndex + i, text, &category, nullptr)) continue;
    const RECT row = {0, y, logRect.right, y + logRowHeight};
    FillOutlined(dc, row, LogCategoryColour(category));
    ExtTextOutW(dc, 5, y, ETO_CLIPPED, &clip, text, static_cast<UINT>(wcslen(text)), nullptr);
    y += logRowHeight;
  }
  SelectObject(dc, oldFont);
  HGDIOBJ oldBrush = SelectObject(dc, whiteBrush);
  Rectangle(dc, logRect.left, y, logRect.right, logRect.bottom);
  SelectObject(dc, oldBrush);
}

// Paints into a memory bitmap first so that a busy log does not flicker.
void PaintInto(HDC target, bool withHeader) {
  const int w = logRect.right - logRect.left;
  const int h = logRect.bottom - logRect.top;
  if (w <= 0 || h <= 0) return;
  HDC memory = CreateCompatibleDC(target);
  HBITMAP bitmap = CreateCompatibleBitmap(target, w, h);
  HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
  if (withHeader) {
    RECT all = {0, 0, w, h};
    FillRect(memory, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    PaintHeader(memory);
  }
  PaintRecords(memory);
  // Without the header only the record area below it is copied to the window.
  const int top = withHeader ? 0 : kLogHeaderHeight;
  BitBlt(target, 0, top, w, h - top, memory, 0, top, SRCCOPY);
  SelectObject(memory, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(memory);
}

void MoveThumb() {
  HWND scroll = ScrollControl();
  if (!scroll) return;
  SCROLLINFO info = {sizeof(info), SIF_POS};
  info.nPos = view.topIndex;
  SetScrollInfo(scroll, SB_CTL, &info, TRUE);
}

LRESULT CALLBACK LogControlProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      if (eventLog) PaintInto(dc, true);
      EndPaint(window, &paint);
      return 0;
    }
    default:
      return CallWindowProcW(previousLogProc, window, message, wParam, lParam);
  }
}

// Called after every add or clear, from any thread.
void OnLogChanged() {
  if (!mainWindow) return;
  if (GetCurrentThreadId() == uiThreadId) {
    RefreshLogWindow();
  } else if (!refreshPosted.exchange(true)) {
    PostMessageW(mainWindow, kMsgLogChanged, 0, 0);
  }
}

}  // namespace

void SetLogWindowRect(const RECT& rect) {
  logRect = rect;
  // The row count follows the stored rectangle from the start, so the first
  // record (the banner) is in view before the log window was ever painted.
  view.rowHeight = logRowHeight;
  view.visibleRows = LogView::RowsFor(logRect.bottom - logRect.top, logRowHeight);
  HWND log = LogControl();
  if (log && !previousLogProc) {
    previousLogProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(log, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(LogControlProc)));
  }
  SetLogChangedHook(OnLogChanged);
}

void PaintLogWindow(bool withHeader) {
  if (!eventLog) return;
  HWND log = LogControl();
  if (!log) return;
  HDC dc = GetDC(log);
  PaintInto(dc, withHeader);
  ReleaseDC(log, dc);
}

void UpdateLogScrollRange() {
  if (!eventLog) return;
  view.visibleRows = LogView::RowsFor(logRect.bottom - logRect.top, logRowHeight);
  const LogScrollBar bar = view.UpdateRange(eventLog->RecordCount(), eventLog->DroppedCount());
  HWND scroll = ScrollControl();
  if (!scroll) return;
  if (bar.visible) {
    ShowWindow(scroll, SW_SHOW);
    SCROLLINFO info = {sizeof(info), SIF_RANGE | SIF_PAGE | SIF_POS};
    info.nMin = 0;
    info.nMax = bar.rangeMax;
    info.nPage = static_cast<UINT>(bar.page);
    info.nPos = bar.position;
    SetScrollInfo(scroll, SB_CTL, &info, TRUE);
  } else {
    ShowWindow(scroll, SW_HIDE);
  }
}

void RefreshLogWindow() {
  refreshPosted = false;
  if (!eventLog) return;
  UpdateLogScrollRange();
  PaintLogWindow(false);
}

void ScrollLog(WPARAM request) {
  LogScroll kind = LogScroll::Other;
  switch (LOWORD(request)) {
    case SB_LINEUP: kind = LogScroll::LineUp; break;
    case SB_LINEDOWN: kind = LogScroll::LineDown; break;
    case SB_PAGEUP: kind = LogScroll::PageUp; break;
    case SB_PAGEDOWN: kind = LogScroll::PageDown; break;
    case SB_THUMBTRACK: kind = LogScroll::ThumbTrack; break;
    case SB_TOP: kind = LogScroll::Top; break;
    case SB_BOTTOM: kind = LogScroll::Bottom; break;
    default: break;
  }
  // The 16-bit position in the message cannot carry a range past 65,535
  // records: the scroll bar's own 32-bit tracking position can.
  int thumb = 0;
  if (kind == LogScroll::ThumbTrack) {
    SCROLLINFO info = {sizeof(info), SIF_TRACKPOS};
    HWND scroll = ScrollControl();
    if (scroll && GetScrollInfo(scroll, SB_CTL, &info)) thumb = info.nTrackPos;
  }
  view.Scroll(kind, thumb);
  MoveThumb();
  PaintLogWindow(false);
}

void ClearLog(HWND window) {
  if (!eventLog) return;
  eventLog->Clear();
  view.topIndex = 0;
  UpdateLogScrollRange();
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
  wchar_t banner[kLogTextChars];
  std::swprintf(banner, kLogTextChars, L"%ls %ls %ls %ls", kMakerName, kProgramName, kProgramVersion, kProgramBuild);
  LogEvent(banner, LogInformation);
}

// For tests of the window: the current view.
int LogTopIndexForTest() { return view.topIndex; }
