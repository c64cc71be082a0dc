// The main window as a user meets it: its controls, the log window with the
// banner, Clear Log and scrolling, and the ways of ending the program.
#include <gtest/gtest.h>

#include "resources/resource_ids.h"
#include "tests/ui/harness/calibration_helpers.h"
#include "tests/ui/harness/ui_harness.h"

namespace {

constexpr COLORREF kInformationRow = RGB(255, 255, 128);

std::wstring QuietScenario() {
  // A tester with nothing plugged into it keeps the log quiet.
  std::wstring path = ui::Scenario(L"no-source");
  return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES ? L"" : path;
}

TEST(MainWindow, OpensWithTitleAndEveryControl) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(QuietScenario()));
  EXPECT_EQ(ui::WindowText(app.Main()), L"Trevane(TM) Loadpost");

  const struct {
    int id;
    const wchar_t* text;  // nullptr: text not checked
  } controls[] = {
      {IDC_TESTER_GROUP, L"Select Loadpost tester"}, {IDC_DEVICE_LABEL, L"Device"}, {IDC_DEVICE_LIST, nullptr},
      {IDC_VOLTAGE_LABEL, L"Voltage"}, {IDC_VOLTAGE_LIST, nullptr}, {IDC_LOG_WINDOW, nullptr},
      {IDC_LOG_SCROLL, nullptr}, {IDC_PROFILE_TYPE, nullptr}, {IDC_RATED_CURRENT, nullptr},
      {IDC_VBUS_LABEL, L"Downstream"}, {IDC_VBUS, nullptr}, {IDC_CURRENT, nullptr}, {IDC_LOOPBACK_CURRENT, nullptr},
      {IDC_POWER, nullptr}, {IDC_TEMPERATURE, nullptr}, {IDC_CAPACITY, nullptr}, {IDC_SET_VOLTAGE_EDIT, nullptr},
      {IDC_SET_VOLTAGE_BUTTON, L"Set"}, {IDC_VOLTAGE_SLIDER, nullptr}, {IDC_VOLTAGE_MAX_LABEL, nullptr},
      {IDC_VOLTAGE_MIN_LABEL, nullptr}, {IDC_SET_LOAD_EDIT, nullptr}, {IDC_SET_LOAD_BUTTON, L"Set"},
      {IDC_LOAD_SLIDER, nullptr}, {IDC_LOAD_MAX_LABEL, nullptr},
      {IDC_REALTIME_GRAPH, L"Real-time Voltage Graph"}, {IDC_SWEEP_GRAPH, L"Voltage vs. Current  Graph"},
      {IDC_RESET_CAPACITY, L"Reset Capacity"}, {IDC_CONFIGURE, L"Configure"}, {IDC_CLEAR_LOG, L"Clear Log"},
      {IDC_SAVE_LOG, L"Save Log"}, {IDC_CALIBRATION, L"Calibration"}, {IDC_ABOUT, L"About"},
      {IDC_HELP_BUTTON, L"Help"}, {IDC_EXIT, L"Exit"},
  };
  for (const auto& c : controls) {
    HWND control = app.Control(c.id);
    ASSERT_NE(control, nullptr) << "control " << c.id;
    if (c.text) {
      EXPECT_EQ(ui::WindowText(control), c.text) << "control " << c.id;
    }
  }
  EXPECT_EQ(ui::ClassName(app.Control(IDC_VOLTAGE_SLIDER)), L"msctls_trackbar32");
  EXPECT_EQ(ui::ClassName(app.Control(IDC_DEVICE_LIST)), L"ComboBox");
  // Start-up values of the statistics and the sliders.
  EXPECT_EQ(app.Text(IDC_SET_LOAD_EDIT), L"0");
  EXPECT_EQ(app.SliderRange(app.Main(), IDC_LOAD_SLIDER), std::make_pair(0, 5000));
  EXPECT_EQ(app.SliderRange(app.Main(), IDC_VOLTAGE_SLIDER), std::make_pair(0, 5000));
  EXPECT_EQ(app.Exit(), 0);
}

TEST(MainWindow, LogShowsTheBannerAtStartAndAfterClearLog) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(QuietScenario()));
  HWND log = app.Control(IDC_LOG_WINDOW);
  // Let the start-up records settle, then clear.
  Sleep(1500);
  std::vector<COLORREF> rows = ui::LogRowColours(log);
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows.front(), kInformationRow);  // the banner is drawn from the first paint on
  app.Screenshot(L"main_window_start");

  ASSERT_TRUE(app.Click(IDC_CLEAR_LOG));
  ASSERT_TRUE(ui::WaitUntil([&] { return ui::LogRowColours(log).size() == 1; }, 5000));
  rows = ui::LogRowColours(log);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], kInformationRow);
  // The header band is grey, darker at its left edge (gradient).
  const ui::Capture capture = ui::CaptureWindow(log);
  const COLORREF left = capture.At(2, 12);
  const COLORREF right = capture.At(capture.width - 3, 12);
  EXPECT_LT(GetRValue(left), GetRValue(right));
  // The scroll bar stays hidden while every record fits.
  EXPECT_FALSE(IsWindowVisible(app.Control(IDC_LOG_SCROLL)));
  EXPECT_FALSE(app.Screenshot(L"main_window_after_clear_log").empty());
  EXPECT_EQ(app.Exit(), 0);
}

TEST(MainWindow, CloseBoxEndsTheProgramLikeExit) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(QuietScenario()));
  PostMessageW(app.Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
  ASSERT_EQ(WaitForSingleObject(app.Process(), 10000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(app.Process(), &code);
  EXPECT_EQ(code, 0u);
}

// Each round asks for something the monitor loop or a worker thread is busy
// with, then ends the program within a second: it must end cleanly every time.
TEST(MainWindow, ExitRightAfterARequestEndsCleanly) {
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

TEST(MainWindow, ALogScrolledUpStaysWhereTheUserPutIt) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(ui::WaitForLiveVbus(app));
  HWND bar = app.Control(IDC_LOG_SCROLL);
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

TEST(MainWindow, EscapeAndEnterDoNotEndTheProgram) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(QuietScenario()));
  PostMessageW(app.Main(), WM_COMMAND, IDCANCEL, 0);
  PostMessageW(app.Main(), WM_COMMAND, IDOK, 0);
  Sleep(500);
  EXPECT_TRUE(app.Running());
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
