// Save Log through the real Save As dialog: the default folder and name, the
// file's layout read back, the remembered name, and files that cannot be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/ui/harness/calibration_helpers.h"
#include "tests/ui/harness/save_dialog_helpers.h"
#include "tests/ui/harness/ui_harness.h"

namespace {

const char* const kBanner = "Trevane Loadpost tester V1.1 1013";
const std::wstring kDialogTitle = L"Select a log file name";

const std::regex& RecordLine() {
  static const std::regex line(
      "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{2} "
      "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}: "
      "(Information|Loopback   |Benchmark  |ERROR      |Diagnostics|File op\\.   |Results    |Minor Error|PASS       )"
      "- .*");
  return line;
}

// Checks the four header lines and that every further line is a record line;
// returns the record lines.
std::vector<std::string> CheckLogFile(const std::string& bytes) {
  int bare = 0;
  std::vector<std::string> lines = ui::SplitCrLf(bytes, &bare);
  EXPECT_EQ(bare, 0) << "every line ends in CR LF";
  EXPECT_TRUE(bytes.size() >= 2 && bytes.substr(bytes.size() - 2) == "\r\n");
  if (lines.size() < 4) {
    ADD_FAILURE() << "header missing: " << bytes;
    return {};
  }
  EXPECT_EQ(lines[0], "TREVANE Loadpost tester Log file");
  EXPECT_EQ(lines[1], std::string(43, '='));
  EXPECT_EQ(lines[3], "");
  std::vector<std::string> records(lines.begin() + 4, lines.end());
  EXPECT_EQ(lines[2], "Number of records logged: " + std::to_string(records.size()));
  for (const std::string& r : records) EXPECT_TRUE(std::regex_match(r, RecordLine())) << r;
  return records;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(SaveLog, DialogOffersTheDefaultFolderAndTheFileHoldsTheWholeLog) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(ui::WaitForLiveVbus(app));

  ASSERT_TRUE(app.Click(IDC_SAVE_LOG));
  HWND dialog = app.WaitForDialog(kDialogTitle);
  ASSERT_NE(dialog, nullptr) << "the Save As dialog did not appear";
  Sleep(700);  // let it finish painting
  app.Screenshot(L"save_log_dialog", dialog);
  // The default folder exists now, and the dialog offers the default name in it.
  EXPECT_TRUE(ui::FolderExists(ui::DefaultSaveFolder()));
  const std::wstring offered = ui::SaveDialogFileName(dialog);
  EXPECT_TRUE(offered == L"LoadpostLog.txt" || offered == ui::DefaultSaveFolder() + L"\\LoadpostLog.txt")
      << ui::Narrow(offered);

  // Saved under another name in another folder.
  const std::wstring path = ui::ScratchFolder() + L"\\run log.txt";
  ASSERT_TRUE(ui::SaveDialogSaveAs(app, dialog, path));
  ASSERT_TRUE(ui::WaitUntil([&] { return ui::FileExists(path); }));
  Sleep(300);
  const std::vector<std::string> records = CheckLogFile(ui::ReadFileBytes(path));
  ASSERT_GE(records.size(), 3u);
  EXPECT_TRUE(EndsWith(records[0], std::string("Information- ") + kBanner)) << records[0];
  // Every text starts in the same column, after the 11-character label.
  for (const std::string& r : records) EXPECT_EQ(r.compare(24, 2, ": "), 0) << r;
  for (const std::string& r : records) EXPECT_EQ(r.compare(37, 2, "- "), 0) << r;

  // The next Save Log offers that name, in the default folder again; Cancel
  // writes nothing and says nothing.
  ASSERT_TRUE(app.Click(IDC_SAVE_LOG));
  dialog = app.WaitForDialog(kDialogTitle);
  ASSERT_NE(dialog, nullptr);
  const std::wstring next = ui::SaveDialogFileName(dialog);
  EXPECT_TRUE(next == L"run log.txt" || next == ui::DefaultSaveFolder() + L"\\run log.txt") << ui::Narrow(next);
  ASSERT_TRUE(ui::SaveDialogCancel(app, dialog));
  EXPECT_TRUE(ui::NoBoxAppears(app, L"Loadpost: Error", 500));
  EXPECT_FALSE(ui::FileExists(ui::DefaultSaveFolder() + L"\\run log.txt"));
  EXPECT_EQ(app.Exit(), 0);
}

TEST(SaveLog, RightAfterClearLogOnlyTheBannerIsSaved) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(ui::WaitForLiveVbus(app));
  Sleep(1000);  // let the start-up records settle
  ASSERT_TRUE(app.Click(IDC_CLEAR_LOG));
  const std::string bytes = ui::SaveLogAs(app, ui::DefaultSaveFolder() + L"\\cleared.txt");
  ASSERT_FALSE(bytes.empty());
  const std::vector<std::string> records = CheckLogFile(bytes);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(EndsWith(records[0], std::string(": Information- ") + kBanner)) << records[0];
  EXPECT_EQ(app.Exit(), 0);
}

TEST(SaveLog, FileThatCannotBeWrittenIsReported) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"no-source")));
  // A file that another program holds open without sharing.
  const std::wstring path = ui::ScratchFolder() + L"\\locked.txt";
  HANDLE locked = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);

  ASSERT_TRUE(app.Click(IDC_SAVE_LOG));
  HWND dialog = app.WaitForDialog(kDialogTitle);
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(ui::SaveDialogEnter(app, dialog, path));
  // The file exists, so the dialog asks before replacing it.
  HWND replace = ui::WaitForReplaceQuestion(app, kDialogTitle);
  ASSERT_NE(replace, nullptr);
  EXPECT_NE(app.MessageText(replace).find(L"replace"), std::wstring::npos);
  app.Answer(replace, IDYES);
  const std::wstring message = app.TakeMessageBox(L"Loadpost: Error");
  EXPECT_EQ(message.rfind(L"Unable to create the log file ", 0), 0u) << ui::Narrow(message);
  EXPECT_NE(message.find(L"locked.txt"), std::wstring::npos);
  CloseHandle(locked);
  EXPECT_TRUE(app.Running());
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace

namespace {

// Points the user's Documents folder somewhere else for as long as it lives.
class DocumentsRedirect {
 public:
  explicit DocumentsRedirect(const std::wstring& folder) {
    RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key_, nullptr);
    DWORD size = sizeof(saved_);
    DWORD type = 0;
    hadValue_ = RegQueryValueExW(key_, L"Personal", nullptr, &type, reinterpret_cast<BYTE*>(saved_), &size) ==
                ERROR_SUCCESS;
    savedType_ = type;
    Set(folder.c_str(), REG_SZ);
  }
  ~DocumentsRedirect() {
    if (hadValue_) {
      RegSetValueExW(key_, L"Personal", 0, savedType_, reinterpret_cast<const BYTE*>(saved_),
                     static_cast<DWORD>((wcslen(saved_) + 1) * sizeof(wchar_t)));
    } else {
      RegDeleteValueW(key_, L"Personal");
    }
    RegCloseKey(key_);
  }

 private:
  void Set(const wchar_t* value, DWORD type) {
    RegSetValueExW(key_, L"Personal", 0, type, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  }
  static constexpr const wchar_t* kKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
  HKEY key_ = nullptr;
  wchar_t saved_[1024] = L"";
  bool hadValue_ = false;
  DWORD savedType_ = REG_SZ;
};

TEST(SaveLog, DefaultPathTooLongForTheDialogIsRefusedWithAMessage) {
  // A Documents folder so deep that the default path no longer fits the 260
  // characters the dialog is given.
  std::wstring deep = ui::ScratchFolder();
  for (wchar_t c = L'a'; deep.size() < 240; ++c) {
    deep += L"\\" + std::wstring(std::min<size_t>(70, 240 - deep.size()), c);
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  }
  ASSERT_GT(deep.size() + std::wstring(L"\\Trevane\\Loadpost tester\\LoadpostLog.txt").size(), 259u);
  ASSERT_LT(deep.size(), static_cast<size_t>(MAX_PATH));
  DocumentsRedirect redirect(deep);
  ASSERT_EQ(ui::DocumentsFolder(), deep);

  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"no-source")));
  ASSERT_TRUE(app.Click(IDC_SAVE_LOG));
  const std::wstring message = app.TakeMessageBox(L"Loadpost: Error");
  EXPECT_EQ(message.rfind(L"The file path is too long", 0), 0u) << ui::Narrow(message);
  EXPECT_TRUE(ui::NoBoxAppears(app, kDialogTitle, 500));
  EXPECT_TRUE(app.Running());
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
