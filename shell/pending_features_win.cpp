// Operations of subsystems that are still being built. Each definition here is
// removed when its subsystem's own file provides it.
#include <windows.h>

#include "shell/app_win.h"
#include "shell/shared_state.h"

// Instance registry and device notifications.
void OpenInstanceRegistry() {}
bool ClaimTester(const wchar_t*) { return false; }
void ReleaseInstanceRegistry() {}
void RegisterUsbNotifications(HWND) {}
void OnDeviceChange(HWND, WPARAM, LPARAM) {}

// Log export, About and Help.
void SaveLog(HWND) {}
void ShowAboutBox(HWND) {}
void OpenUserGuide(HWND) {}

// Tester link and monitoring.
INT_PTR CALLBACK CalibrationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) EndDialog(dialog, 0);
  return message == WM_INITDIALOG;
}

// Graphs.
INT_PTR CALLBACK GraphWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) EndDialog(dialog, 0);
  return message == WM_INITDIALOG;
}

// Configuration.
INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) EndDialog(dialog, 0);
  return message == WM_INITDIALOG;
}
