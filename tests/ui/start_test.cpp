// Starting the program and connecting a tester: the Device list, the tester
// chosen and what the log records of it (read back through Save Log), testers
// that are refused, ending the program at any moment, and the log view.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/ui/harness/calibration_helpers.h"
#include "tests/ui/harness/live_helpers.h"
#include "tests/ui/harness/save_dialog_helpers.h"
#include "tests/ui/harness/ui_harness.h"

namespace {

const std::wstring kSaveLogTitle = L"Select a log file name";

int Count(const std::vector<std::string>& texts, const std::string& part) {
  return static_cast<int>(
      std::count_if(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(part) != std::string::npos; }));
}

TEST(StartAndConnect, TestersListedChosenLoggedAndTheLogSaved) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"two-testers")));
  EXPECT_EQ(ui::WindowText(app.Main()), L"Trevane(TM) Loadpost");
  ASSERT_TRUE(ui::WaitUntil([&] { return app.ComboItems(app.Main(), IDC_VOLTAGE_LIST).size() == 5; }, 15000));
  EXPECT_EQ(app.ComboItems(app.Main(), IDC_DEVICE_LIST), (std::vector<std::wstring>{L"VXPD0001", L"VXPD0002"}));
  EXPECT_EQ(app.ComboSelection(app.Main(), IDC_DEVICE_LIST), 0);
  app.SimCommand("detach");
  ASSERT_TRUE(ui::WaitUntil([&] { return app.Text(IDC_PROFILE_TYPE).empty(); }));
  app.SimCommand("attach");
  ASSERT_TRUE(ui::WaitUntil([&] { return app.Text(IDC_PROFILE_TYPE) == L"PD-FIX"; }, 15000));
  Sleep(1500);

  // Save Log through the real dialog: the default folder and name are offered;
  // saved elsewhere, the file holds the whole log, capabilities once per attach.
  ASSERT_TRUE(app.Click(IDC_SAVE_LOG));
  HWND dialog = app.WaitForDialog(kSaveLogTitle);
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(ui::FolderExists(ui::DefaultSaveFolder()));
  const std::wstring offered = ui::SaveDialogFileName(dialog);
  EXPECT_TRUE(offered == L"LoadpostLog.txt" || offered == ui::DefaultSaveFolder() + L"\\LoadpostLog.txt");
  const std::wstring path = ui::ScratchFolder() + L"\\run log.txt";
  ASSERT_TRUE(ui::SaveDialogSaveAs(app, dialog, path));
  ASSERT_TRUE(ui::WaitUntil([&] { return ui::FileExists(path); }));
  Sleep(300);
  const std::vector<std::string> lines = ui::SplitCrLf(ui::ReadFileBytes(path));
  ASSERT_GE(lines.size(), 10u);
  EXPECT_EQ(lines[0], "TREVANE Loadpost tester Log file");
  EXPECT_EQ(lines[2], "Number of records logged: " + std::to_string(lines.size() - 4));
  std::vector<std::string> texts;
  for (size_t i = 4; i < lines.size(); ++i) texts.push_back(lines[i].substr(std::min(lines[i].size(), size_t{39})));
  EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 6),
            (std::vector<std::string>{"Trevane Loadpost tester V1.1 1013", "VXPD0001 added to list",
                                      "VXPD0002 added to list", "Device VXPD0001 selected",
                                      "Hardware Revision: 2.0", "Firmware Version: 3.0"}));
  EXPECT_EQ(Count(texts, "Port detected capabilities:"), 2);
  EXPECT_EQ(Count(texts, "PD-APDO Voltage:3.30V-21.00V Max Current:3000mA"), 2);
  EXPECT_EQ(Count(texts, "Port detached"), 1);

  // The next Save Log offers that name; Cancel writes nothing and says nothing.
  ASSERT_TRUE(app.Click(IDC_SAVE_LOG));
  dialog = app.WaitForDialog(kSaveLogTitle);
  ASSERT_NE(dialog, nullptr);
  const std::wstring next = ui::SaveDialogFileName(dialog);
  EXPECT_TRUE(next == L"run log.txt" || next == ui::DefaultSaveFolder() + L"\\run log.txt") << ui::Narrow(next);
  ASSERT_TRUE(ui::SaveDialogCancel(app, dialog));
  EXPECT_TRUE(ui::NoBoxAppears(app, L"Loadpost: Error", 500));

  // A file another program holds open is reported.
  const std::wstring lockedPath = ui::ScratchFolder() + L"\\locked.txt";
  HANDLE locked = CreateFileW(lockedPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(app.Click(IDC_SAVE_LOG));
  dialog = app.WaitForDialog(kSaveLogTitle);
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(ui::SaveDialogEnter(app, dialog, lockedPath));
  HWND replace = ui::WaitForReplaceQuestion(app, kSaveLogTitle);
  ASSERT_NE(replace, nullptr);
  app.Answer(replace, IDYES);
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error").rfind(L"Unable to create the log file ", 0), 0u);
  CloseHandle(locked);

  // After Clear Log only the banner is saved.
  ASSERT_TRUE(app.Click(IDC_CLEAR_LOG));
  texts = ui::SavedLogTexts(app, ui::ScratchFolder() + L"\\cleared.txt");
  EXPECT_EQ(texts, std::vector<std::string>{"Trevane Loadpost tester V1.1 1013"});

  // Choosing the second tester connects it instead.
  const int versionsBefore = app.CountFrames("RX", ui::FrameHex(0x01));
  app.ChooseComboRow(app.Main(), IDC_DEVICE_LIST, 1);
  EXPECT_TRUE(ui::WaitUntil([&] { return app.CountFrames("RX", ui::FrameHex(0x01)) > versionsBefore; }, 15000));
  EXPECT_EQ(app.ComboSelection(app.Main(), IDC_DEVICE_LIST), 1);

  // Escape and Enter do not end the program; the close box does, with code 0.
  PostMessageW(app.Main(), WM_COMMAND, IDCANCEL, 0);
  PostMessageW(app.Main(), WM_COMMAND, IDOK, 0);
  Sleep(500);
  EXPECT_TRUE(app.Running());
  PostMessageW(app.Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
  ASSERT_EQ(WaitForSingleObject(app.Process(), 10000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(app.Process(), &code);
  EXPECT_EQ(code, 0u);
}

TEST(StartAndConnect, TestersThatCannotBeUsedAreRefused) {
  const struct {
    const wchar_t* scenario;
    const wchar_t* message;
  } cases[] = {
      {L"kt40-fw26", L"Please update the device firmware"},
      {L"hw21", L"Please update the test application"},
      {L"no-devices", L"No Trevane Loadpost device detected.\nYou may need to plug in (or install) USB devices.\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ui::Narrow(c.scenario));
    ui::LoadpostApp app;
    ASSERT_TRUE(app.Start(ui::Scenario(c.scenario)));
    EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), c.message);
    Sleep(500);
    EXPECT_EQ(app.Text(IDC_PROFILE_TYPE), L"");  // not connected: nothing is read
    for (int button : {IDC_CONFIGURE, IDC_CALIBRATION}) {
      ASSERT_TRUE(app.Click(button));
      EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), L"No Loadpost device selected.");
    }
    EXPECT_EQ(app.Exit(), 0);
  }
}

// Each round asks for something the monitor loop or a worker thread is busy
// with, then ends the program within a second: it must end cleanly every time.
TEST(StartAndConnect, ExitRightAfterARequestEndsCleanly) {
  enum Request { ChooseTester, ChooseProfile, SetLoad };
  const struct {
    Request request;
    DWORD exitAfterMs;
  } rounds[] = {{ChooseTester, 0}, {ChooseProfile, 300}, {SetLoad, 600}, {ChooseTester, 900}, {ChooseProfile, 0}};
  for (const auto& round : rounds) {
    SCOPED_TRACE(testing::Message() << "request " << round.request << ", exit after " << round.exitAfterMs << " ms");
    ui::LoadpostApp app;
    ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
    ASSERT_TRUE(ui::WaitForLiveVbus(app));
    switch (round.request) {
      case ChooseTester: {
        // Reopening the tester pauses and waits off the window thread: the
        // Device list waits, the window answers at once.
        app.ChooseComboRow(app.Main(), IDC_DEVICE_LIST, 0);
        EXPECT_TRUE(ui::WaitUntil([&] { return !IsWindowEnabled(app.Control(IDC_DEVICE_LIST)); }, 500, 5));
        DWORD_PTR result = 0;
        EXPECT_NE(SendMessageTimeoutW(app.Main(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 300, &result), 0);
        EXPECT_FALSE(IsWindowEnabled(app.Control(IDC_DEVICE_LIST)));
        break;
      }
      case ChooseProfile:
        app.ChooseComboRow(app.Main(), IDC_VOLTAGE_LIST, 1);
        break;
      case SetLoad:
        app.SetText(app.Main(), IDC_SET_LOAD_EDIT, L"1000");
        ASSERT_TRUE(app.Click(IDC_SET_LOAD_BUTTON));
        break;
    }
    Sleep(round.exitAfterMs);
    EXPECT_EQ(app.Exit(8000), 0);
  }
}

TEST(StartAndConnect, ALogScrolledUpStaysWhereTheUserPutIt) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(ui::WaitForLiveVbus(app));
  HWND bar = app.Control(IDC_LOG_SCROLL);
  EXPECT_FALSE(IsWindowVisible(bar));  // hidden while every record fits
  auto position = [&] { return static_cast<int>(SendMessageW(bar, SBM_GETPOS, 0, 0)); };
  auto scroll = [&](WORD request) { SendMessageW(app.Main(), WM_VSCROLL, MAKEWPARAM(request, 0), 0); };
  // Each detach and attach adds records ("Port detached", the capabilities).
  auto detachAndAttach = [&] {
    app.SimCommand("detach");
    ASSERT_TRUE(ui::WaitUntil([&] { return app.Text(IDC_PROFILE_TYPE).empty(); }));
    app.SimCommand("attach");
    ASSERT_TRUE(ui::WaitUntil([&] { return !app.Text(IDC_PROFILE_TYPE).empty(); }, 15000));
    Sleep(1500);
  };
  for (int i = 0; i < 5 && !IsWindowVisible(bar); ++i) ASSERT_NO_FATAL_FAILURE(detachAndAttach());
  ASSERT_TRUE(IsWindowVisible(bar));

  scroll(SB_TOP);
  ASSERT_EQ(position(), 0);
  ASSERT_NO_FATAL_FAILURE(detachAndAttach());
  EXPECT_EQ(position(), 0);  // new records leave the view where it was

  // At the end again, the view follows the newest records.
  scroll(SB_BOTTOM);
  const int bottom = position();
  EXPECT_GT(bottom, 0);
  ASSERT_NO_FATAL_FAILURE(detachAndAttach());
  EXPECT_GT(position(), bottom);
  EXPECT_EQ(app.Exit(), 0);
}

TEST(StartAndConnect, DefaultSavePathTooLongForTheDialogIsRefused) {
  // A Documents folder so deep that the default path no longer fits the 260
  // characters the dialog is given (the user's shell folder, restored after).
  std::wstring deep = ui::ScratchFolder();
  for (wchar_t c = L'a'; deep.size() < 240; ++c) {
    deep += L"\\" + std::wstring(std::min<size_t>(70, 240 - deep.size()), c);
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  }
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", 0,
                  nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
  wchar_t saved[1024] = L"";
  DWORD size = sizeof(saved), type = REG_SZ;
  const bool hadValue =
      RegQueryValueExW(key, L"Personal", nullptr, &type, reinterpret_cast<BYTE*>(saved), &size) == ERROR_SUCCESS;
  auto set = [&](const wchar_t* value, DWORD valueType) {
    RegSetValueExW(key, L"Personal", 0, valueType, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  };
  set(deep.c_str(), REG_SZ);
  ASSERT_EQ(ui::DocumentsFolder(), deep);
  {
    ui::LoadpostApp app;
    ASSERT_TRUE(app.Start(ui::Scenario(L"no-source")));
    ASSERT_TRUE(app.Click(IDC_SAVE_LOG));
    EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error").rfind(L"The file path is too long", 0), 0u);
    EXPECT_TRUE(ui::NoBoxAppears(app, kSaveLogTitle, 500));
    EXPECT_EQ(app.Exit(), 0);
  }
  if (hadValue) {
    set(saved, type);
  } else {
    RegDeleteValueW(key, L"Personal");
  }
  RegCloseKey(key);
}

}  // namespace
