#include "tests/ui/harness/config_helpers.h"

#include "tests/ui/harness/live_helpers.h"

namespace ui {

HWND OpenConfigDialog(const LoadpostApp& app, int timeoutMs) {
  if (!app.Click(1078)) return nullptr;
  return app.WaitForDialog(L"Test configuration", timeoutMs);
}

HWND WaitForDanger(const LoadpostApp& app, int timeoutMs) { return app.WaitForDialog(L"Danger", timeoutMs); }

bool IsChecked(HWND dialog, int id) {
  DWORD_PTR state = 0;
  SendMessageTimeoutW(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &state);
  return state == BST_CHECKED;
}

bool IsShown(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control && IsWindowVisible(control);
}

bool WaitForCheck(HWND dialog, int id, bool checked, int timeoutMs) {
  return WaitUntil([&] { return IsChecked(dialog, id) == checked; }, timeoutMs);
}

bool CloseDialog(const LoadpostApp& app, HWND dialog, int buttonId, int timeoutMs) {
  if (!app.Click(dialog, buttonId)) return false;
  return WaitUntil([dialog] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, timeoutMs);
}

int CountSettingsWrites(const LoadpostApp& app) {
  return app.CountFrames("RX", FrameHex(0xE0, {0x00, 0x00})) + app.CountFrames("RX", FrameHex(0xE0, {0x00, 0x01}));
}

}  // namespace ui
