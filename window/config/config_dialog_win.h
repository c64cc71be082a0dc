// The test configuration dialog (CONFBOX, ConfigDialogProc in shell/app_win.h)
// and the danger confirmation (WARNINGBOX) that guards its dangerous modes.
#pragma once

#include <windows.h>

// Dialog procedure of the "Danger" confirmation: ends with 1 when the user
// typed one of the accepted words and pressed "I accept the risk", 0 when the
// dialog was cancelled or closed.
INT_PTR CALLBACK DangerDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Shows the danger confirmation modally over `owner`; true only when the risk
// was accepted. A dialog that cannot be shown counts as declined.
bool ConfirmDanger(HWND owner);
