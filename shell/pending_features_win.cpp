// Operations of subsystems that are still being built. Each definition here is
// removed when its subsystem's own file provides it.
#include <windows.h>

#include "shell/app_win.h"
#include "shell/shared_state.h"

// Tester list and selection.
void ScanTesters(HWND) {}
void SelectTester(HWND) {}
void UpdateTesterList(HWND, int, const wchar_t*) {}
void OnTesterNotice(int) {}

// Instance registry and device notifications.
void OpenInstanceRegistry() {}
void ReleaseInstanceRegistry() {}
void RegisterUsbNotifications(HWND) {}
void OnDeviceChange(HWND, WPARAM, LPARAM) {}

// Log export, About and Help.
void SaveLog(HWND) {}
void ShowAboutBox(HWND) {}
void OpenUserGuide(HWND) {}

// Tester link and monitoring.
DWORD WINAPI MonitorLoop(LPVOID) {
  for (;;) Sleep(100);
}
void CloseTesterLink() {}
uint8_t TesterHardwareRevision() { return 0; }
void OnVoltageListSelect(HWND) {}
void OnSetVoltage(HWND) {}
void OnSetLoad(HWND) {}
void OnSliderScroll(HWND, WPARAM, LPARAM) {}
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
