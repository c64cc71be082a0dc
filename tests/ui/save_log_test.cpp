// Save Log through the real Save As dialog: the default folder and name, the
// file's layout read back, the remembered name, and files that cannot be written.
#include <gtest/gtest.h>

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
  Sleep(2000);
  for (HWND w : app.TopWindows()) fprintf(stderr, "DBG window '%s' class '%s' msg '%s'\n", ui::Narrow(ui::WindowText(w)).c_str(), ui::Narrow(ui::ClassName(w)).c_str(), ui::Narrow(app.MessageText(w)).c_str());
  // The file exists, so the dialog asks before replacing it.
  HWND confirm = app.WaitForDialog(L"Confirm Save As", 5000);
  if (confirm) app.Answer(confirm, IDYES);
  const std::wstring message = app.TakeMessageBox(L"Loadpost: Error");
  EXPECT_EQ(message.rfind(L"Unable to create the log file ", 0), 0u) << ui::Narrow(message);
  EXPECT_NE(message.find(L"locked.txt"), std::wstring::npos);
  CloseHandle(locked);
  EXPECT_TRUE(app.Running());
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
