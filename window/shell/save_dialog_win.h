// The default save folder, the standard Save As dialog and the buffers they
// share. The log export and the graph window's CSV and image exports all offer
// their files here, so the name last chosen in any of them is offered next.
#pragma once

#include <windows.h>

#include <cstddef>

#include "core/base/log_file.h"

// Full path offered to and returned by the save dialog (kSavePathChars).
extern wchar_t savePath[kSavePathChars];
// "\" followed by the name (without folder) of the file last chosen; starts as
// "\LoadpostLog.txt". The dialog writes the chosen name after the separator.
extern wchar_t saveFileTitle[kSaveFileTitleChars];

// Fills `path` with Documents\Trevane\Loadpost tester (no trailing separator)
// and creates both folders (an existing folder is fine). Without a Documents
// folder the path starts with the separator, at the root of the current drive.
// Returns false, with `path` empty, only when the folder does not fit `capacity`.
bool MakeDefaultSaveFolder(wchar_t* path, size_t capacity = kSavePathChars);

// savePath = default save folder + saveFileTitle. When the result would not
// fit, the user is told (message box owned by `owner`, with `errorCaption`)
// and false is returned.
bool MakeDefaultSavePath(HWND owner, const wchar_t* errorCaption);

// Shows the standard Save As dialog. `path` (kSavePathChars, the dialog may use
// kSaveDialogPathChars of it) holds the path to offer; `fileTitle` is a
// saveFileTitle-style buffer (kSaveFileTitleChars, separator first) whose name
// part receives the chosen file's name. `filter` is a double-zero-terminated
// filter list. Returns true when the user chose a file (`path` then holds its
// full path); false when the dialog was cancelled. A dialog that fails (a path
// too long for it, for one) is reported with a message box owned by `owner`
// with `errorCaption`, and false is returned.
bool PromptSaveFile(HWND owner, wchar_t* path, wchar_t* fileTitle, const wchar_t* filter,
                    const wchar_t* defaultExtension, const wchar_t* dialogTitle,
                    const wchar_t* errorCaption = L"Loadpost: Error");
