// UI test harness: starts the real Loadpost.exe (with the simulated tester's
// ftd2xx.dll beside it), finds its windows, reads and clicks controls, answers
// message boxes and dialogs, and saves screenshots.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace ui {

// Folder of the running test executable (where Loadpost.exe and ftd2xx.dll are).
std::wstring ExeFolder();
// Windows form of a path from the environment (Unix paths get the Z: drive).
std::wstring WindowsPath(const std::string& path);
// Scenario file of the simulated tester by name ("default", "two_testers", ...).
std::wstring Scenario(const std::wstring& name);
// Folder for this test's screenshots and artefacts (created).
std::wstring ArtifactFolder();
// A fresh scratch folder for this test.
std::wstring ScratchFolder();

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000, int pollMs = 50);

// Writes a scenario of the simulated tester into this test's scratch folder
// and returns its path (empty on failure).
std::wstring WriteScenario(const std::wstring& name, const std::string& text);
// Waits until no program holds `path` open for writing (a saved file is
// complete once the program has closed it).
bool WaitForClosedFile(const std::wstring& path, int timeoutMs = 10000);
// Starts GDI+ in the test process once (for reading and writing PNG files).
void EnsureGdiplus();

std::wstring WindowText(HWND window);
std::wstring ClassName(HWND window);
std::string Narrow(const std::wstring& text);

class LoadpostApp {
 public:
  LoadpostApp() = default;
  ~LoadpostApp();
  LoadpostApp(const LoadpostApp&) = delete;
  LoadpostApp& operator=(const LoadpostApp&) = delete;

  // Starts Loadpost.exe with the given scenario file (empty: the simulated
  // tester's default) and waits for its main window. Returns false on failure.
  bool Start(const std::wstring& scenarioFile = L"", int timeoutMs = 20000);

  HWND Main() const { return main_; }
  DWORD ProcessId() const { return processId_; }
  HANDLE Process() const { return process_; }
  bool Running() const;

  HWND Control(int id) const { return GetDlgItem(main_, id); }
  std::wstring Text(int id) const;
  std::wstring Text(HWND dialog, int id) const;
  void SetText(HWND dialog, int id, const std::wstring& text) const;
  bool IsEnabled(HWND dialog, int id) const;

  // Clicks a button the way a user can: only when it and its window are
  // enabled (returns false otherwise). The click is posted, not sent.
  bool Click(int id) const { return Click(main_, id); }
  bool Click(HWND dialog, int id) const;

  // Combo boxes.
  std::vector<std::wstring> ComboItems(HWND dialog, int id) const;
  int ComboSelection(HWND dialog, int id) const;
  // Selects a row and notifies the owner as a user's choice does.
  void ChooseComboRow(HWND dialog, int id, int row) const;

  // Trackbars.
  int SliderPos(HWND dialog, int id) const;
  std::pair<int, int> SliderRange(HWND dialog, int id) const;

  // Top-level windows of the program (dialogs and message boxes).
  std::vector<HWND> TopWindows() const;
  // Waits for a top-level dialog (class #32770) with this title.
  HWND WaitForDialog(const std::wstring& title, int timeoutMs = 10000) const;
  // Text of a message box (its static 0xFFFF).
  static std::wstring MessageText(HWND box);
  // Presses a button of a dialog or message box by ID (IDOK, IDYES, ...).
  void Answer(HWND box, int buttonId) const;
  // Waits for the message box with this caption and returns its text, then
  // answers it with OK. Empty when none came.
  std::wstring TakeMessageBox(const std::wstring& caption, int timeoutMs = 10000) const;

  // Saves a PNG of a window (the main window by default) into the artefact folder.
  std::wstring Screenshot(const std::wstring& name, HWND window = nullptr) const;

  // Commands for the simulated tester (see sim/README.md) and its frame record.
  void SimCommand(const std::string& line) const;
  std::string FrameRecord() const;
  // Record lines with the given direction ("RX" = sent by the program) that contain `hex`.
  int CountFrames(const std::string& direction, const std::string& hex) const;

  // Ends the program through its Exit button (or WM_CLOSE) and waits; kills it
  // after the time-out. Returns the exit code (or -1).
  int Exit(int timeoutMs = 10000);
  void Kill();

 private:
  PROCESS_INFORMATION info_{};
  HANDLE process_ = nullptr;
  DWORD processId_ = 0;
  HWND main_ = nullptr;
  std::wstring controlFile_;
  std::wstring recordFile_;
};

// Pixels of a window as the screen shows it.
struct Capture {
  int width = 0;
  int height = 0;
  std::vector<COLORREF> pixels;  // row-major, top row first
  COLORREF At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};
Capture CaptureWindow(HWND window);

// Log window contents are painted, not held in a control; tests read the log
// through Save Log or the program's own state. This helper reads a text file.
std::string ReadFileBytes(const std::wstring& path);

}  // namespace ui
