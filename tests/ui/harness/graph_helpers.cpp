#include "tests/ui/harness/graph_helpers.h"

#include <objidl.h>
#include <gdiplus.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "resources/resource_ids.h"
#include "tests/ui/harness/live_helpers.h"
#include "tests/ui/harness/save_dialog_helpers.h"

namespace ui {

namespace {

// A question box (Yes/No) owned by `owner`, or null.
HWND QuestionOver(const LoadpostApp& app, HWND owner) {
  for (HWND w : app.TopWindows()) {
    if (w == owner || ClassName(w) != L"#32770") continue;
    if (GetWindow(w, GW_OWNER) == owner && GetDlgItem(w, IDYES)) return w;
  }
  return nullptr;
}

}  // namespace

bool WaitForPortReady(const LoadpostApp& app, int timeoutMs) {
  return WaitUntil([&] { return !app.ComboItems(app.Main(), IDC_VOLTAGE_LIST).empty(); }, timeoutMs) &&
         WaitUntil([&] { return app.Text(IDC_VBUS).find(L" V") != std::wstring::npos; }, timeoutMs);
}

bool ConfigureSweepSteps(const LoadpostApp& app, int currentStepMa, int timeStepMs, bool allowOverLimit) {
  if (!app.Click(IDC_CONFIGURE)) return false;
  HWND dialog = app.WaitForDialog(L"Test configuration");
  if (!dialog) return false;
  if (allowOverLimit) {
    if (!app.Click(dialog, IDC_CONF_OVER_LIMIT)) return false;
    HWND danger = app.WaitForDialog(L"Danger");
    if (!danger) return false;
    app.SetText(danger, 1097, L"confirm");
    if (!app.Click(danger, IDOK)) return false;
    if (!WaitUntil([danger] { return !IsWindow(danger); }, 10000)) return false;
  }
  app.SetText(dialog, IDC_CONF_CURRENT_STEP, std::to_wstring(currentStepMa));
  app.SetText(dialog, IDC_CONF_TIME_STEP, std::to_wstring(timeStepMs));
  if (!app.Click(dialog, IDOK)) return false;
  return WaitUntil([dialog] { return !IsWindow(dialog); }, 10000);
}

HWND OpenGraph(const LoadpostApp& app, GraphKind kind, int timeoutMs) {
  const bool sweep = kind == GraphKind::Sweep;
  if (!app.Click(sweep ? IDC_SWEEP_GRAPH : IDC_REALTIME_GRAPH)) return nullptr;
  HWND graph = app.WaitForDialog(sweep ? L"Graph - Voltage vs. Current sweep" : L"Graph - Real time voltage & ripple",
                                 timeoutMs);
  if (!graph) return nullptr;
  RECT r;
  GetWindowRect(graph, &r);
  const int screenW = GetSystemMetrics(SM_CXSCREEN);
  const int width = r.right - r.left < screenW ? r.right - r.left : screenW - 40;
  SetWindowPos(graph, nullptr, 0, 0, width, r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
  return graph;
}

bool WaitForGraphEnd(const LoadpostApp& app, HWND graph, int timeoutMs) {
  return WaitUntil(
      [&] { return app.IsEnabled(graph, IDOK) && app.Text(graph, IDC_GRAPH_STOP) == L"Repeat"; }, timeoutMs);
}

bool CloseGraph(const LoadpostApp& app, HWND graph, int timeoutMs) {
  if (!app.Click(graph, IDOK)) return false;
  return WaitUntil([graph] { return !IsWindow(graph); }, timeoutMs);
}

bool SaveThrough(const LoadpostApp& app, HWND owner, int buttonId, const std::wstring& title,
                 const std::wstring& path, std::wstring* offeredName, int timeoutMs) {
  if (!app.Click(owner, buttonId)) return false;
  HWND dialog = app.WaitForDialog(title, timeoutMs);
  if (!dialog) return false;
  HWND edit = SaveDialogNameEdit(dialog);
  if (!edit) return false;
  if (offeredName) *offeredName = WindowText(edit);
  DWORD_PTR result = 0;
  SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_ABORTIFHUNG, 5000, &result);
  if (!app.Click(dialog, IDOK)) return false;
  return WaitUntil(
      [&] {
        if (!IsWindow(dialog) || !IsWindowVisible(dialog)) return true;
        if (HWND question = QuestionOver(app, dialog)) app.Answer(question, IDYES);
        return false;
      },
      timeoutMs, 100);
}

namespace {

// Keeps a top-level window above all others while it lives.
class RaisedWindow {
 public:
  explicit RaisedWindow(HWND window) : root_(GetAncestor(window, GA_ROOT)) {
    SetWindowPos(root_, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    Sleep(200);  // the graph repaints every 10 ms; other windows uncover it
  }
  ~RaisedWindow() { SetWindowPos(root_, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); }

 private:
  HWND root_;
};

}  // namespace

Capture CaptureOnTop(HWND window) {
  RaisedWindow raised(window);
  return CaptureWindow(window);
}

std::wstring ScreenshotOnTop(const LoadpostApp& app, const std::wstring& name, HWND window) {
  RaisedWindow raised(window);
  return app.Screenshot(name, window);
}

Capture LoadPng(const std::wstring& path) {
  EnsureGdiplus();
  Capture out;
  Gdiplus::Bitmap image(path.c_str());
  if (image.GetLastStatus() != Gdiplus::Ok) return out;
  const int w = static_cast<int>(image.GetWidth());
  const int h = static_cast<int>(image.GetHeight());
  if (w <= 0 || h <= 0) return out;
  Gdiplus::Rect all(0, 0, w, h);
  Gdiplus::BitmapData data;
  if (image.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) != Gdiplus::Ok) return out;
  out.width = w;
  out.height = h;
  out.pixels.resize(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y) {
    const auto* row = reinterpret_cast<const uint32_t*>(static_cast<const uint8_t*>(data.Scan0) + y * data.Stride);
    for (int x = 0; x < w; ++x) {
      const uint32_t p = row[x];
      out.pixels[static_cast<size_t>(y) * w + x] = RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
    }
  }
  image.UnlockBits(&data);
  return out;
}

Capture Crop(const Capture& image, RECT area) {
  Capture out;
  if (area.left < 0) area.left = 0;
  if (area.top < 0) area.top = 0;
  if (area.right > image.width) area.right = image.width;
  if (area.bottom > image.height) area.bottom = image.height;
  if (area.right <= area.left || area.bottom <= area.top) return out;
  out.width = area.right - area.left;
  out.height = area.bottom - area.top;
  out.pixels.reserve(static_cast<size_t>(out.width) * out.height);
  for (int y = area.top; y < area.bottom; ++y) {
    for (int x = area.left; x < area.right; ++x) out.pixels.push_back(image.At(x, y));
  }
  return out;
}

bool IsReddish(COLORREF c) {
  const int r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
  return r > g + 40 && r > b + 40;
}

bool IsGreenish(COLORREF c) {
  const int r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
  return g > r + 40 && g > b + 40;
}

bool IsShutDownGrey(COLORREF c) {
  // RGB(100, 100, 100) at alpha 0x40 over white: about 216 in each channel.
  const int r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
  return std::abs(r - g) <= 3 && std::abs(g - b) <= 3 && r >= 210 && r <= 222;
}

bool IsDark(COLORREF c) { return GetRValue(c) < 80 && GetGValue(c) < 80 && GetBValue(c) < 80; }

int CountPixels(const Capture& image, bool (*test)(COLORREF)) {
  int n = 0;
  for (COLORREF c : image.pixels) n += test(c) ? 1 : 0;
  return n;
}

int ThreadCount(DWORD processId) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  int n = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == processId) ++n;
  }
  CloseHandle(snapshot);
  return n;
}

bool Responds(HWND window, int timeoutMs) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, static_cast<UINT>(timeoutMs), &result) != 0;
}

std::vector<SweepCsvRow> SweepCsvRows(const std::vector<std::string>& lines) {
  std::vector<SweepCsvRow> rows;
  for (size_t i = 1; i < lines.size(); ++i) {
    SweepCsvRow row{};
    if (std::sscanf(lines[i].c_str(), "%lf,%d,%lf", &row.volts, &row.currentMa, &row.watts) == 3) rows.push_back(row);
  }
  return rows;
}

std::string LoadFrameHex(int currentMa) {
  const auto ma = static_cast<uint16_t>(currentMa);
  return FrameHex(0x10, {Lo(ma), Hi(ma)});
}

}  // namespace ui
