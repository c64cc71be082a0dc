// Starting the program and connecting a tester: the Device list, the tester chosen and what the log records of it
// (through Save Log), testers that cannot be used, and ending the program at any moment.
#include <algorithm>

#include "tests/ui/harness/ui_harness.h"

namespace {

TEST(StartAndConnect, ListChooseLogRefuseAndEndCleanly) {
  const std::wstring kError = L"Loadpost: Error", kLogTitle = L"Select a log file name";
  {
    ui::App app;
    ASSERT_TRUE(app.Start(ui::Scenario(L"two-testers")));
    ASSERT_TRUE(ui::WaitUntil([&] { return app.Items(app.Main(), IDC_VOLTAGE_LIST).size() == 5; }, 15000));
    EXPECT_EQ(app.Items(app.Main(), IDC_DEVICE_LIST), (std::vector<std::wstring>{L"VXPD0001", L"VXPD0002"}));
    EXPECT_EQ(app.Selection(app.Main(), IDC_DEVICE_LIST), 0);
    app.Sim("detach");
    ASSERT_TRUE(app.WaitForText(app.Main(), IDC_PROFILE_TYPE, L""));
    app.Sim("attach");
    ASSERT_TRUE(app.WaitForText(app.Main(), IDC_PROFILE_TYPE, L"PD-FIX", 15000));
    Sleep(1500);
    // Save Log offers the default folder and name; the file holds the whole log, with the capabilities once per attach.
    const std::wstring path = ui::ScratchFolder() + L"\\run log.txt";
    std::wstring offered;
    const std::vector<std::string> texts = app.SavedLog(path, &offered);
    EXPECT_TRUE(offered == L"LoadpostLog.txt" || offered == ui::DefaultSaveFolder() + L"\\LoadpostLog.txt");
    ASSERT_GE(texts.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 6),
              (std::vector<std::string>{"Trevane Loadpost tester V1.1 1013", "VXPD0001 added to list",
                                        "VXPD0002 added to list", "Device VXPD0001 selected",
                                        "Hardware Revision: 2.0", "Firmware Version: 3.0"}));
    auto count = [&](const std::string& part) {
      return std::count_if(texts.begin(), texts.end(), [&](auto& t) { return t.find(part) != std::string::npos; });
    };
    EXPECT_EQ(count("Port detected capabilities:"), 2);
    EXPECT_EQ(count("PD-APDO Voltage:3.30V-21.00V Max Current:3000mA"), 2);
    EXPECT_EQ(count("Port detached"), 1);
    // A file another program holds open is reported.
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(app.SaveAs(app.Main(), IDC_SAVE_LOG, kLogTitle, path));
    EXPECT_EQ(app.TakeBox(kError).rfind(L"Unable to create the log file ", 0), 0u);
    CloseHandle(held);
    // After Clear Log only the banner is saved.
    ASSERT_TRUE(app.Click(IDC_CLEAR_LOG));
    EXPECT_EQ(app.SavedLog(ui::ScratchFolder() + L"\\cleared.txt"),
              std::vector<std::string>{"Trevane Loadpost tester V1.1 1013"});
    // Choosing the second tester connects it.
    const int versions = app.CountSent(ui::FrameHex(0x01));
    app.Choose(app.Main(), IDC_DEVICE_LIST, 1);
    EXPECT_TRUE(app.WaitSent(ui::FrameHex(0x01), versions + 1, 15000));
    EXPECT_EQ(app.Selection(app.Main(), IDC_DEVICE_LIST), 1);
    // Escape and Enter do not end the program; the close box does, with code 0.
    PostMessageW(app.Main(), WM_COMMAND, IDCANCEL, 0);
    PostMessageW(app.Main(), WM_COMMAND, IDOK, 0);
    Sleep(500);
    EXPECT_TRUE(app.Running());
    PostMessageW(app.Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(app.Exit(), 0);
  }
  // Testers that cannot be used: told why, nothing read, no claim kept.
  const struct {
    std::wstring scenario;
    const wchar_t* message;
  } refused[] = {
      {ui::Scenario(L"kt40-fw26"), L"Please update the device firmware"},
      {ui::Scenario(L"hw21"), L"Please update the test application"},
      {ui::Scenario(L"no-devices"),
       L"No Trevane Loadpost device detected.\nYou may need to plug in (or install) USB devices.\n"},
      {ui::WriteScenario(L"failopen", "tester VXPD0001 kt60\n  charger pd65\n  failopen always\nend\n"),
       L"Unable to connect to selected Loadpost device"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.message);
    ui::App app;
    ASSERT_TRUE(app.Start(c.scenario));
    EXPECT_EQ(app.TakeBox(kError), c.message);
    Sleep(500);
    EXPECT_EQ(app.Text(IDC_PROFILE_TYPE), L"");
    EXPECT_TRUE(ui::ClaimedSerials().empty());
    for (int button : {IDC_CONFIGURE, IDC_CALIBRATION}) {
      ASSERT_TRUE(app.Click(button));
      EXPECT_EQ(app.TakeBox(kError), L"No Loadpost device selected.");
    }
    EXPECT_EQ(app.Exit(), 0);
  }
  // Each round asks for something the monitor loop or a worker thread is busy
  // with, then ends the program within a second: it must end cleanly each time.
  enum Request { ChooseTester, ChooseProfile, SetLoad };
  const std::pair<Request, DWORD> rounds[] = {
      {ChooseTester, 0}, {ChooseProfile, 300}, {SetLoad, 600}, {ChooseTester, 900}, {ChooseProfile, 0}};
  for (const auto& [request, exitAfterMs] : rounds) {
    SCOPED_TRACE(testing::Message() << "request " << request << ", exit after " << exitAfterMs << " ms");
    ui::App app;
    ASSERT_TRUE(app.Start(ui::Scenario(L"default")) && app.WaitLive());
    if (request == ChooseTester) {
      // Reopening the tester waits off the window thread: the Device list is
      // disabled meanwhile and the window answers at once.
      app.Choose(app.Main(), IDC_DEVICE_LIST, 0);
      EXPECT_TRUE(ui::WaitUntil([&] { return !app.IsEnabled(app.Main(), IDC_DEVICE_LIST); }, 500, 5));
      DWORD_PTR result = 0;
      EXPECT_NE(SendMessageTimeoutW(app.Main(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 300, &result), 0);
    } else if (request == ChooseProfile) {
      app.Choose(app.Main(), IDC_VOLTAGE_LIST, 1);
    } else {
      app.SetText(app.Main(), IDC_SET_LOAD_EDIT, L"1000");
      ASSERT_TRUE(app.Click(IDC_SET_LOAD_BUTTON));
    }
    Sleep(exitAfterMs);
    EXPECT_EQ(app.Exit(8000), 0);
  }
}

}  // namespace
