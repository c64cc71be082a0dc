// Helpers for the tests of the Test configuration dialog and the Danger
// confirmation: opening them, button states and the settings frames that reach
// the simulated tester.
#pragma once

#include <windows.h>

#include <string>

#include "tests/ui/harness/ui_harness.h"

namespace ui {

// Clicks Configure and waits for the "Test configuration" dialog; null when it
// did not come.
HWND OpenConfigDialog(const LoadpostApp& app, int timeoutMs = 10000);
// Waits for the "Danger" confirmation; null when none came.
HWND WaitForDanger(const LoadpostApp& app, int timeoutMs = 5000);

// Check state of a button of another process's dialog.
bool IsChecked(HWND dialog, int id);
bool IsShown(HWND dialog, int id);
// Waits until a button's check state is `checked`.
bool WaitForCheck(HWND dialog, int id, bool checked, int timeoutMs = 5000);

// Presses OK (or Cancel) of a dialog and waits until it closed.
bool CloseDialog(const LoadpostApp& app, HWND dialog, int buttonId, int timeoutMs = 5000);

// Number of settings writes the simulated tester received: each write starts
// with the loopback frame (command 0xE0, sub-index 0).
int CountSettingsWrites(const LoadpostApp& app);

}  // namespace ui
