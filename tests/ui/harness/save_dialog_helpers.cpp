#include "tests/ui/harness/save_dialog_helpers.h"

#include <shlobj.h>

namespace ui {

namespace {

constexpr int kClassicNameEdit = 0x480;
constexpr int kNameCombo = 0x47C;

HWND FindEditBelow(HWND parent) {
  struct Search {
    HWND found;
  } search{nullptr};
  EnumChildWindows(
      parent,
      [](HWND child, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        if (ClassName(child) == L"Edit") {
          s->found = child;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

std::wstring DocumentsFolder() {
  wchar_t path[MAX_PATH] = L"";
  if (SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return L"";
  return path;
}

std::wstring DefaultSaveFolder() { return DocumentsFolder() + L"\\Trevane\\Loadpost tester"; }

bool FolderExists(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

HWND SaveDialogNameEdit(HWND dialog) {
  if (!dialog) return nullptr;
  HWND classic = GetDlgItem(dialog, kClassicNameEdit);
  if (classic && ClassName(classic) == L"Edit" && IsWindowVisible(classic)) return classic;
  HWND combo = GetDlgItem(dialog, kNameCombo);
  if (combo) {
    if (HWND edit = FindEditBelow(combo)) return edit;
  }
  return classic;
}

std::wstring SaveDialogFileName(HWND dialog) { return WindowText(SaveDialogNameEdit(dialog)); }

bool SaveDialogEnter(const LoadpostApp& app, HWND dialog, const std::wstring& path) {
  HWND edit = SaveDialogNameEdit(dialog);
  if (!edit) return false;
  DWORD_PTR result = 0;
  SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()), SMTO_ABORTIFHUNG, 5000, &result);
  return app.Click(dialog, IDOK);
}

bool SaveDialogSaveAs(const LoadpostApp& app, HWND dialog, const std::wstring& path, int timeoutMs) {
  if (!SaveDialogEnter(app, dialog, path)) return false;
  return WaitUntil([dialog] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, timeoutMs);
}

HWND WaitForReplaceQuestion(const LoadpostApp& app, const std::wstring& dialogTitle, int timeoutMs) {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        for (HWND w : app.TopWindows()) {
          if (ClassName(w) == L"#32770" && WindowText(w) == dialogTitle && !LoadpostApp::MessageText(w).empty()) {
            found = w;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  return found;
}

bool SaveDialogCancel(const LoadpostApp& app, HWND dialog, int timeoutMs) {
  if (!app.Click(dialog, IDCANCEL)) return false;
  return WaitUntil([dialog] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, timeoutMs);
}

std::string SaveLogAs(const LoadpostApp& app, const std::wstring& path, int timeoutMs) {
  DeleteFileW(path.c_str());
  if (!app.Click(1018)) return "";
  HWND dialog = app.WaitForDialog(L"Select a log file name", timeoutMs);
  if (!dialog || !SaveDialogSaveAs(app, dialog, path, timeoutMs)) return "";
  // The file is complete once the program has closed it: until then it holds
  // it open for writing, and an open that shares only reading fails.
  return WaitForClosedFile(path, timeoutMs) ? ReadFileBytes(path) : "";
}

std::vector<std::string> SavedLogTexts(const LoadpostApp& app, const std::wstring& path) {
  std::vector<std::string> texts;
  const std::vector<std::string> lines = SplitCrLf(SaveLogAs(app, path));
  for (size_t i = 4; i < lines.size(); ++i) {
    // "<24-character time stamp>: <11-character label>- <text>"
    const size_t mark = lines[i].find("- ", 26);
    texts.push_back(mark == std::string::npos ? lines[i] : lines[i].substr(mark + 2));
  }
  return texts;
}

std::vector<std::string> SplitCrLf(const std::string& bytes, int* bareLineFeeds) {
  std::vector<std::string> lines;
  int bare = 0;
  std::string line;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      lines.push_back(line);
      line.clear();
      ++i;
    } else {
      if (c == '\r' || c == '\n') ++bare;
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  if (bareLineFeeds) *bareLineFeeds = bare;
  return lines;
}

}  // namespace ui
