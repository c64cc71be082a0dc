// Operations of subsystems that are still being built. Each definition here is
// removed when its subsystem's own file provides it.
#include <windows.h>

#include "shell/app_win.h"
#include "shell/shared_state.h"

// Log export, About and Help.
void SaveLog(HWND) {}

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
