// Helpers for the tests of the Calibration dialog, the About box and the
// sharing of testers between copies of the program: message boxes left open
// for inspection, keys, a second copy with its own simulated-tester files, and
// device-change broadcasts sent to the program as the system sends them.
#pragma once

#include <windows.h>

#include <string>

#include "tests/ui/harness/ui_harness.h"

namespace ui {

// Waits for the message box (or dialog) with this caption and returns it
// without answering it; null when none came.
HWND WaitForBox(const LoadpostApp& app, const std::wstring& caption, int timeoutMs = 10000);

// Waits for a visible top-level dialog or message box with this caption in any
// process (for boxes a program shows before its main window exists).
HWND WaitForTopWindow(const std::wstring& caption, int timeoutMs = 10000);

// True when no window with this caption appeared within the time given.
bool NoBoxAppears(const LoadpostApp& app, const std::wstring& caption, int waitMs);

// Waits until a control of `dialog` shows `text`.
bool WaitForControlText(const LoadpostApp& app, HWND dialog, int id, const std::wstring& text,
                        int timeoutMs = 10000);

// Waits until the main window shows a live VBUS reading ("4.98 V"): a tester
// is connected and a source attached.
bool WaitForLiveVbus(const LoadpostApp& app, int timeoutMs = 20000);

// Presses and releases a key in the control that has the keyboard focus in
// `window`'s thread (as typing it would), e.g. VK_ESCAPE.
void PressKey(HWND window, WPARAM key);

// Starts another copy of Loadpost.exe beside `first`'s, with its own control
// and record files for the simulated tester (in a sub-folder named `label` of
// the test's scratch folder). Each copy loads its own simulated tester.
bool StartAnotherCopy(LoadpostApp& copy, const std::wstring& scenarioFile, const std::wstring& label);

// Sends WM_DEVICECHANGE with a device-interface broadcast for `path` to the
// program's main window, as the system does when a USB device arrives
// (DBT_DEVICEARRIVAL) or is removed (DBT_DEVICEREMOVECOMPLETE).
bool SendDeviceInterfaceChange(HWND mainWindow, WPARAM event, const std::wstring& path);

}  // namespace ui
