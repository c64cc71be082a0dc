// The About box (name, version and legal notice over the product picture) and
// the Help button, which opens the user guide on Trevane's web site in Edge.
#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "window/resources/resource_ids.h"
#include "window/shell/app_win.h"
#include "core/base/version.h"

namespace {

constexpr const wchar_t* kLegalNotice = L"(C) 2026 Trevane. All rights reserved.";

// Where the user guide lives; the same document is kept in the source tree as
// docs/user-guide.md.
constexpr const wchar_t* kUserGuideAddress = L"https://www.trevane.example/loadpost/Loadpost-User-Guide.pdf";
constexpr size_t kUserGuideCommandChars = 200;

INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: {
      CenterWindowOver(dialog, mainWindow);
      SetDlgItemTextW(dialog, IDC_ABOUT_LEGAL, kLegalNotice);
      wchar_t version[64];
      std::swprintf(version, 64, L"%ls %ls (%ls)", kProgramName, kProgramVersion, kProgramBuild);
      SetDlgItemTextW(dialog, IDC_ABOUT_VERSION, version);
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, 0);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

void ShowAboutBox(HWND window) { DialogBoxParamW(appInstance, L"ABOUTBOX", window, AboutBoxProc, 0); }

void OpenUserGuide(HWND window) {
  wchar_t command[kUserGuideCommandChars];
  std::swprintf(command, kUserGuideCommandChars, L"microsoft-edge:%ls", kUserGuideAddress);
  command[kUserGuideCommandChars - 1] = 0;
  // Without the browser's protocol the shell call fails; there is nothing more
  // the program can do about it, so its result is not looked at.
  ShellExecuteW(window, L"open", command, nullptr, nullptr, SW_SHOWNORMAL);
}
