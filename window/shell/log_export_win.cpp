// Save Log: the whole event log as a text file, named in the standard Save As
// dialog that opens in the default save folder under Documents.
#include <windows.h>
#include <commdlg.h>
#include <shlobj.h>

#include <cstring>
#include <cwchar>

#include "window/shell/app_win.h"
#include "core/base/log_event.h"
#include "core/base/log_file.h"
#include "core/base/logger.h"
#include "window/shell/save_dialog_win.h"

wchar_t savePath[kSavePathChars] = L"";
wchar_t saveFileTitle[kSaveFileTitleChars] = L"\\LoadpostLog.txt";

namespace {

constexpr const wchar_t* kMainErrorCaption = L"Loadpost: Error";
constexpr const wchar_t kLogFilter[] = L"TXT Files (*.TXT)\0*.txt\0";

// Set up afresh for every dialog.
OPENFILENAMEW saveDialog;

void ShowMessage(HWND owner, const wchar_t* caption, const wchar_t* format, const wchar_t* path) {
  wchar_t text[kSavePathChars + 160];
  std::swprintf(text, sizeof text / sizeof text[0], format, path ? path : L"");
  MessageBoxW(owner, text, caption, MB_OK);
}

}  // namespace

bool MakeDefaultSaveFolder(wchar_t* path, size_t capacity) {
  if (!path || capacity == 0) return false;
  path[0] = 0;
  wchar_t documents[MAX_PATH] = L"";
  if (SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents) != S_OK) documents[0] = 0;
  documents[MAX_PATH - 1] = 0;
  if (!CopyPathText(path, capacity, documents) || !AppendPathText(path, capacity, L"\\Trevane")) {
    path[0] = 0;
    return false;
  }
  CreateDirectoryW(path, nullptr);
  if (!AppendPathText(path, capacity, L"\\Loadpost tester")) {
    path[0] = 0;
    return false;
  }
  CreateDirectoryW(path, nullptr);
  return true;
}

bool MakeDefaultSavePath(HWND owner, const wchar_t* errorCaption) {
  saveFileTitle[kSaveFileTitleChars - 1] = 0;
  if (!MakeDefaultSaveFolder(savePath, kSavePathChars) || !AppendPathText(savePath, kSavePathChars, saveFileTitle)) {
    savePath[0] = 0;
    MessageBoxW(owner, L"The path of the default save folder is too long.", errorCaption, MB_OK);
    return false;
  }
  return true;
}

bool PromptSaveFile(HWND owner, wchar_t* path, wchar_t* fileTitle, const wchar_t* filter,
                    const wchar_t* defaultExtension, const wchar_t* dialogTitle, const wchar_t* errorCaption) {
  if (!path || !fileTitle) return false;
  path[kSavePathChars - 1] = 0;
  fileTitle[kSaveFileTitleChars - 1] = 0;
  // The dialog is told it may use kSaveDialogPathChars of the path buffer; an
  // offered path that does not fit would be cut, so it is refused.
  if (std::wcslen(path) >= kSaveDialogPathChars) {
    ShowMessage(owner, errorCaption, L"The file path is too long (at most 259 characters):\n%ls", path);
    return false;
  }

  std::memset(&saveDialog, 0, sizeof saveDialog);
  // The record size of this platform's pre-Windows-2000 layout: the dialog
  // refuses sizes that do not belong to the platform.
  saveDialog.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
  saveDialog.hwndOwner = owner;
  saveDialog.lpstrFilter = filter;
  saveDialog.lpstrFile = path;
  saveDialog.nMaxFile = static_cast<DWORD>(kSaveDialogPathChars);
  saveDialog.lpstrFileTitle = fileTitle + 1;  // after the separator
  saveDialog.nMaxFileTitle = static_cast<DWORD>(kSaveFileTitleChars - 1);
  saveDialog.lpstrTitle = dialogTitle;
  saveDialog.lpstrDefExt = defaultExtension;
  saveDialog.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY;

  const BOOL chosen = GetSaveFileNameW(&saveDialog);
  fileTitle[0] = L'\\';
  fileTitle[kSaveFileTitleChars - 1] = 0;
  path[kSavePathChars - 1] = 0;
  if (chosen) return true;

  const DWORD error = CommDlgExtendedError();
  if (error == 0) return false;  // cancelled
  // After a failure the buffer may hold a size instead of a path.
  path[0] = 0;
  if (error == FNERR_BUFFERTOOSMALL) {
    MessageBoxW(owner, L"The chosen file path is too long (at most 259 characters).", errorCaption, MB_OK);
  } else {
    wchar_t text[96];
    std::swprintf(text, 96, L"The Save As dialog could not be shown (error 0x%lX).", static_cast<unsigned long>(error));
    MessageBoxW(owner, text, errorCaption, MB_OK);
  }
  return false;
}

void SaveLog(HWND window) {
  if (!MakeDefaultSavePath(window, kMainErrorCaption)) return;
  if (!PromptSaveFile(window, savePath, saveFileTitle, kLogFilter, L"txt", L"Select a log file name",
                      kMainErrorCaption)) {
    return;
  }
  if (!eventLog) return;
  switch (SaveLogFile(*eventLog, savePath)) {
    case FileWriteResult::Ok:
      break;
    case FileWriteResult::OpenFailed:
      ShowMessage(window, kMainErrorCaption, L"Unable to create the log file %ls", savePath);
      break;
    case FileWriteResult::WriteFailed:
      ShowMessage(window, kMainErrorCaption, L"Unable to write the whole log file %ls", savePath);
      break;
  }
}
