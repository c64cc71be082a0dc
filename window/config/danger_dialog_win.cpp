// The "Danger" confirmation: the user has to type the word before a relaxed
// current limit is taken.
#include <windows.h>

#include "window/config/config_dialog_win.h"
#include "core/config/config_rules.h"
#include "window/resources/resource_ids.h"
#include "window/shell/app_win.h"

INT_PTR CALLBACK DangerDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      CenterWindowOver(dialog, mainWindow);
      SetFocus(GetDlgItem(dialog, IDC_DANGER_WORD));
      return FALSE;  // the focus was set here

    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK: {
          wchar_t word[kConfirmationChars + 1] = L"";
          GetDlgItemTextW(dialog, IDC_DANGER_WORD, word, kConfirmationChars + 1);
          if (IsConfirmationWord(word)) {
            EndDialog(dialog, 1);
          } else {
            MessageBoxW(dialog, kConfirmationRefusedText, kConfirmationRefusedCaption, MB_OK);
          }
          return TRUE;
        }
        case IDCANCEL:
          // Escape while typing the word must not dismiss the warning; a click
          // on Cancel moves the focus to the button first and so closes it.
          if (GetFocus() == GetDlgItem(dialog, IDC_DANGER_WORD)) return TRUE;
          EndDialog(dialog, 0);
          return TRUE;
        default:
          return FALSE;
      }

    case WM_CLOSE:
      // The close box and Alt+F4 decline, wherever the focus is.
      EndDialog(dialog, 0);
      return TRUE;

    default:
      return FALSE;
  }
}

bool ConfirmDanger(HWND owner) {
  const INT_PTR result = DialogBoxParamW(appInstance, L"WARNINGBOX", owner, DangerDialogProc, 0);
  // -1 (the dialog could not be created) declines like Cancel.
  return result == 1;
}
