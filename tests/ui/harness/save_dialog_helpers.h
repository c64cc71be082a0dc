// Helpers for the standard Save As dialog as the program shows it, and for the
// files it writes: the default save folder and the log file read back as lines.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/ui/harness/ui_harness.h"

namespace ui {

// The Documents folder of the test's Wine prefix (the program's is the same).
std::wstring DocumentsFolder();
// Documents\Trevane\Loadpost tester.
std::wstring DefaultSaveFolder();
bool FolderExists(const std::wstring& path);
bool FileExists(const std::wstring& path);

// The edit that holds the file name in a Save As dialog: control 0x480 of the
// classic dialog, or the Edit inside the file-name combo 0x47C of the
// explorer-style one. Null when neither is found.
HWND SaveDialogNameEdit(HWND dialog);
// Text of the file-name field.
std::wstring SaveDialogFileName(HWND dialog);
// Types `path` into the file-name field and presses Save (IDOK) without
// waiting; false when the field or the button was not found or not enabled.
bool SaveDialogEnter(const LoadpostApp& app, HWND dialog, const std::wstring& path);
// The same, then waits until the dialog closed; true when it did.
bool SaveDialogSaveAs(const LoadpostApp& app, HWND dialog, const std::wstring& path, int timeoutMs = 10000);
// The question the dialog asks before replacing an existing file: a message
// box with the dialog's own title. Null when none came.
HWND WaitForReplaceQuestion(const LoadpostApp& app, const std::wstring& dialogTitle, int timeoutMs = 5000);
// Presses Cancel; true when the dialog closed.
bool SaveDialogCancel(const LoadpostApp& app, HWND dialog, int timeoutMs = 10000);

// Clicks Save Log, saves through the dialog under `path` and waits until the
// file exists. Returns the file's bytes (empty on failure).
std::string SaveLogAs(const LoadpostApp& app, const std::wstring& path, int timeoutMs = 15000);

// Lines of the log as Save Log writes them, text part only (after "- ").
std::vector<std::string> SavedLogTexts(const LoadpostApp& app, const std::wstring& path);

// The bytes of a file split at CR LF; `bareLineFeeds` counts LF characters not
// preceded by CR (and CR not followed by LF).
std::vector<std::string> SplitCrLf(const std::string& bytes, int* bareLineFeeds = nullptr);

}  // namespace ui
