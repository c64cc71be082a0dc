// UI test harness: starts the real Loadpost.exe with the simulated tester's ftd2xx.dll beside it, reads and clicks its
// controls as a user could, answers its boxes and Save As dialogs, reads pixels and what reached the tester.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "window/resources/resource_ids.h"

namespace ui {

std::wstring Scenario(const std::wstring& name);  // a shipped scenario: "default", "two-testers", ...
std::wstring ScratchFolder();                      // this test's own folder
std::wstring WriteScenario(const std::wstring& name, const std::string& text);
std::wstring DefaultSaveFolder();                  // Documents\Trevane\Loadpost tester

inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000, int pollMs = 50) {
  for (const DWORD start = GetTickCount(); !condition(); Sleep(static_cast<DWORD>(pollMs))) {
    if (static_cast<int>(GetTickCount() - start) >= timeoutMs) return condition();
  }
  return true;
}
inline std::wstring WindowText(HWND window) {
  wchar_t text[4096] = L"";
  DWORD_PTR result = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &result);
  return text;
}
// The leading number of "4.98 V"; NaN when none.
inline double Number(const std::wstring& text) {
  wchar_t* end = nullptr;
  const double value = std::wcstod(text.c_str(), &end);
  return end == text.c_str() ? NAN : value;
}
inline bool IsChecked(HWND dialog, int id) {
  DWORD_PTR state = 0;
  SendMessageTimeoutW(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &state);
  return state == BST_CHECKED;
}
// A window's rectangle on the screen, or in `parent`'s client coordinates.
inline RECT Rect(HWND window, HWND parent = nullptr) {
  RECT r{};
  GetWindowRect(window, &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}
// Presses and releases a key in the control that has the focus in `window`'s thread.
void PressKey(HWND window, WPARAM key);
// Visible top-level windows of a process (0: any) of a class and a title (null: any).
std::vector<HWND> TopWindows(DWORD processId, const wchar_t* windowClass, const wchar_t* title);
HWND WaitForWindow(DWORD processId, const wchar_t* windowClass, const wchar_t* title, int timeoutMs);
// A dialog or message box (class #32770) with this title.
inline HWND WaitForDialog(DWORD processId, const std::wstring& title, int timeoutMs = 10000) {
  return WaitForWindow(processId, L"#32770", title.c_str(), timeoutMs);
}

// A file's bytes once no program holds it open for writing ("" when missing).
std::string ReadClosedFile(const std::wstring& path);
// Lines ended by CR LF; `bare` counts lone CR or LF characters.
std::vector<std::string> CrLfLines(const std::string& bytes, int* bare = nullptr);
// A frame as the simulated tester's record shows it: "02 03 10 E8 03 F9 03".
std::string FrameHex(uint8_t command, const std::vector<uint8_t>& data = {});
inline std::string LoadFrame(int milliamps) {  // SetLoadCurrent
  return FrameHex(0x10, {static_cast<uint8_t>(milliamps & 0xFF), static_cast<uint8_t>((milliamps >> 8) & 0xFF)});
}
// Serials claimed in the registry the running copies share.
std::vector<std::wstring> ClaimedSerials();

// Pixels, 0x00RRGGBB, top row first.
struct Capture {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;
  // Pixels in `area` that pass `test`.
  int Count(bool (*test)(int r, int g, int b), RECT area = {0, 0, 1 << 30, 1 << 30}) const {
    int n = 0;
    for (int y = std::max<int>(0, area.top); y < std::min<int>(height, area.bottom); ++y) {
      for (int x = std::max<int>(0, area.left); x < std::min<int>(width, area.right); ++x) {
        const uint32_t p = pixels[static_cast<size_t>(y) * width + x];
        n += test((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
      }
    }
    return n;
  }
};
Capture CaptureWindow(HWND window);  // as the screen shows it, its window raised above all others
Capture LoadPng(const std::wstring& path);
inline bool Reddish(int r, int g, int b) { return r > g + 40 && r > b + 40; }
inline bool Greenish(int r, int g, int b) { return g > r + 40 && g > b + 40; }
inline bool Dark(int r, int g, int b) { return r < 80 && g < 80 && b < 80; }
// The translucent grey of the "Permissible shut down region" over white.
inline bool ShutDownGrey(int r, int g, int b) { return abs(r - g) <= 3 && abs(g - b) <= 3 && r >= 210 && r <= 222; }

class App {
 public:
  App() = default;
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;
  // Starts the program on a scenario and waits for its main window. `copy`
  // names a sub-folder for another copy's simulated-tester files.
  bool Start(const std::wstring& scenarioFile, const std::wstring& copy = L"", int timeoutMs = 20000);
  bool WaitMain(int timeoutMs = 20000) {
    return (main_ = WaitForWindow(ProcessId(), L"LOADPOST", nullptr, timeoutMs)) != nullptr;
  }
  HWND Main() const { return main_; }
  DWORD ProcessId() const { return info_.dwProcessId; }
  bool Running() const { return info_.hProcess && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }

  std::wstring Text(int id) const { return Text(main_, id); }
  std::wstring Text(HWND dialog, int id) const { return WindowText(GetDlgItem(dialog, id)); }
  void SetText(HWND dialog, int id, const std::wstring& text) const {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                        5000, &result);
  }
  bool WaitForText(HWND dialog, int id, const std::wstring& text, int timeoutMs = 10000) const {
    return WaitUntil([&] { return Text(dialog, id) == text; }, timeoutMs);
  }
  bool IsEnabled(HWND dialog, int id) const {
    return GetDlgItem(dialog, id) && IsWindowEnabled(GetDlgItem(dialog, id)) && IsWindowEnabled(dialog);
  }
  // A posted click, only when the control and its window are enabled.
  bool Click(int id) const { return Click(main_, id); }
  bool Click(HWND dialog, int id) const {
    return IsEnabled(dialog, id) && PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
  }
  // Clicks a button of a dialog and waits until the dialog has gone.
  bool Close(HWND dialog, int id, int timeoutMs = 10000) const {
    return Click(dialog, id) && WaitUntil([=] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, timeoutMs);
  }
  std::vector<std::wstring> Items(HWND dialog, int id) const;  // combo box rows
  int Selection(HWND dialog, int id) const {
    return static_cast<int>(SendMessageW(GetDlgItem(dialog, id), CB_GETCURSEL, 0, 0));
  }
  void Choose(HWND dialog, int id, int row) const;  // as a user's choice of a row
  std::pair<int, int> SliderRange(HWND dialog, int id) const;
  // VBUS shown: a tester connected, a source attached.
  bool WaitLive(int timeoutMs = 20000) const {
    return WaitUntil([&] { return Text(IDC_VBUS).find(L" V") != std::wstring::npos; }, timeoutMs);
  }

  HWND WaitForDialog(const std::wstring& title, int timeoutMs = 10000) const {
    return ui::WaitForDialog(ProcessId(), title, timeoutMs);
  }
  static std::wstring MessageText(HWND box) { return WindowText(GetDlgItem(box, 0xFFFF)); }
  void Answer(HWND box, int buttonId) const {
    PostMessageW(GetDlgItem(box, buttonId), BM_CLICK, 0, 0);
    WaitUntil([=] { return !IsWindow(box) || !IsWindowVisible(box); }, 5000);
  }
  // The text of the box with this caption, answered; "" when none came.
  std::wstring TakeBox(const std::wstring& caption, int answer = IDOK, int timeoutMs = 10000) const;
  bool NoBox(const std::wstring& caption, int waitMs) const { return !WaitForDialog(caption, waitMs); }
  // Clicks `button` of `owner`, saves as `path` through the Save As dialog titled `title` (Yes to a replace question)
  // or cancels it when `path` is empty, and waits for the dialog to go. `offered`: the name it offered.
  bool SaveAs(HWND owner, int button, const std::wstring& title, const std::wstring& path,
              std::wstring* offered = nullptr) const;
  // The log's record texts through Save Log (after "<time>: <label>- ").
  std::vector<std::string> SavedLog(const std::wstring& path, std::wstring* offered = nullptr) const;
  // The graph window, moved and narrowed to fit the screen.
  HWND OpenGraph(bool sweep) const;
  // The test has ended: Close enabled, Stop reads "Repeat".
  bool WaitGraphEnd(HWND graph, int timeoutMs) const {
    return WaitUntil([&] { return IsEnabled(graph, IDOK) && Text(graph, IDC_GRAPH_STOP) == L"Repeat"; }, timeoutMs);
  }

  void Screenshot(const std::wstring& name, HWND window = nullptr) const;

  void Sim(const std::string& command) const;  // a control command for the simulated tester
  std::string FrameRecord() const;
  int CountSent(const std::string& hex) const;  // frames the program sent that contain `hex`
  bool WaitSent(const std::string& hex, int atLeast = 1, int timeoutMs = 10000) const {
    return WaitUntil([&] { return CountSent(hex) >= atLeast; }, timeoutMs);
  }

  int Exit(int timeoutMs = 10000);  // Exit button (or WM_CLOSE); the exit code, -1 when killed
  void Kill() {
    if (Running() && TerminateProcess(info_.hProcess, 99)) WaitForSingleObject(info_.hProcess, 5000);
  }

 private:
  PROCESS_INFORMATION info_{};
  HWND main_ = nullptr;
  std::wstring controlFile_, recordFile_;
};

}  // namespace ui
