// The Test configuration dialog against the simulated tester: its start-up
// values, OK with the settings written to the tester once and the periodic log
// line, refused values, and the Danger confirmation of the relaxed limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/ui/harness/calibration_helpers.h"
#include "tests/ui/harness/config_helpers.h"
#include "tests/ui/harness/live_helpers.h"
#include "tests/ui/harness/save_dialog_helpers.h"
#include "tests/ui/harness/ui_harness.h"

namespace {

using ui::FrameHex;

const std::wstring kErrorCaption = L"Loadpost Error";
const std::wstring kRefusal = L"Type the word 'confirm' and then click on the 'I accept the risk' button";

// Starts the program with the default tester and charger and waits until the
// tester is live and its settings were written once at connection.
bool StartLive(ui::LoadpostApp& app) {
  return app.Start(ui::Scenario(L"default")) && ui::WaitForLiveVbus(app) &&
         ui::WaitUntil([&] { return ui::CountSettingsWrites(app) == 1; });
}

int CountLines(const std::string& bytes, const std::string& part) {
  int n = 0;
  for (const std::string& line : ui::SplitCrLf(bytes)) n += line.find(part) != std::string::npos;
  return n;
}

TEST(Config, OkStoresTheSettingsAndWritesThemToTheTesterOnce) {
  ui::LoadpostApp app;
  ASSERT_TRUE(StartLive(app));
  HWND conf = ui::OpenConfigDialog(app);
  ASSERT_NE(conf, nullptr);
  Sleep(300);
  app.Screenshot(L"config_dialog", conf);

  // Start-up values.
  EXPECT_EQ(app.Text(conf, IDC_CONF_CURRENT_STEP), L"25");
  EXPECT_EQ(app.Text(conf, IDC_CONF_TIME_STEP), L"500");
  EXPECT_TRUE(ui::IsChecked(conf, IDC_CONF_ENFORCE));
  EXPECT_FALSE(ui::IsChecked(conf, IDC_CONF_OVER_LIMIT));
  EXPECT_FALSE(ui::IsChecked(conf, IDC_CONF_FORCE));
  EXPECT_FALSE(app.IsEnabled(conf, IDC_CONF_FORCE_LIST));
  EXPECT_EQ(app.ComboItems(conf, IDC_CONF_FORCE_LIST),
            (std::vector<std::wstring>{L"1A", L"1.5A", L"2A", L"2.5A", L"3A", L"3.5A", L"4A", L"4.5A", L"5A"}));
  EXPECT_EQ(app.ComboSelection(conf, IDC_CONF_FORCE_LIST), 0);
  EXPECT_EQ(app.ComboItems(conf, IDC_CONF_PORT_LIMIT), (std::vector<std::wstring>{L"500mA", L"900mA"}));
  EXPECT_EQ(app.ComboSelection(conf, IDC_CONF_PORT_LIMIT), 0);
  EXPECT_FALSE(ui::IsChecked(conf, IDC_CONF_LOOPBACK));
  EXPECT_FALSE(ui::IsChecked(conf, IDC_CONF_ESTIMATE));
  EXPECT_FALSE(ui::IsShown(conf, IDC_CONF_CABLE));
  EXPECT_FALSE(ui::IsShown(conf, IDC_CONF_CABLE_LABEL));
  EXPECT_EQ(app.Text(conf, IDC_CONF_CABLE), L"80");
  EXPECT_EQ(app.ComboItems(conf, IDC_CONF_LOG_INTERVAL),
            (std::vector<std::wstring>{L"Disabled", L"1", L"10", L"30", L"60"}));
  EXPECT_EQ(app.ComboSelection(conf, IDC_CONF_LOG_INTERVAL), 0);

  // New steps, 900 mA, the upstream estimate over 120 milliohms, a log line every second.
  app.SetText(conf, IDC_CONF_CURRENT_STEP, L"50");
  app.SetText(conf, IDC_CONF_TIME_STEP, L"100");
  ASSERT_TRUE(app.Click(conf, IDC_CONF_ESTIMATE));
  ASSERT_TRUE(ui::WaitUntil([&] { return ui::IsShown(conf, IDC_CONF_CABLE); }));
  EXPECT_TRUE(ui::IsShown(conf, IDC_CONF_CABLE_LABEL));
  app.SetText(conf, IDC_CONF_CABLE, L"120");
  app.ChooseComboRow(conf, IDC_CONF_PORT_LIMIT, 1);
  app.ChooseComboRow(conf, IDC_CONF_LOG_INTERVAL, 1);
  ASSERT_TRUE(ui::CloseDialog(app, conf, IDOK));

  EXPECT_EQ(app.Text(IDC_VBUS_LABEL), L"Upstream");
  EXPECT_EQ(app.Text(IDC_LOAD_MAX_LABEL), L"3000mA");
  EXPECT_EQ(app.SliderRange(app.Main(), IDC_LOAD_SLIDER), std::make_pair(0, 3000));
  // The settings reach the tester once more, and only once.
  ASSERT_TRUE(ui::WaitUntil([&] { return app.CountFrames("RX", FrameHex(0xE0, {0x04, 120, 0})) >= 1; }));
  Sleep(2000);
  EXPECT_EQ(ui::CountSettingsWrites(app), 2);
  EXPECT_EQ(app.CountFrames("RX", FrameHex(0xE0, {0x04, 120, 0})), 1);
  EXPECT_EQ(app.CountFrames("RX", FrameHex(0xE0, {0x02, 0x84, 0x03})), 1);  // 900 mA
  EXPECT_EQ(app.CountFrames("RX", FrameHex(0xE0, {0x03, 0x01})), 1);        // estimate on
  EXPECT_EQ(app.CountFrames("RX", FrameHex(0xE0, {0x01, 0x00})), 2);        // enforce limits, both writes

  // The periodic measurement line runs every second ...
  const std::wstring folder = ui::DefaultSaveFolder();
  const std::string running = ui::SaveLogAs(app, folder + L"\\running.txt");
  EXPECT_GE(CountLines(running, "Diagnostics- V="), 2);

  // ... the dialog shows what was stored, and "Disabled" stops the line.
  conf = ui::OpenConfigDialog(app);
  ASSERT_NE(conf, nullptr);
  EXPECT_EQ(app.Text(conf, IDC_CONF_CURRENT_STEP), L"50");
  EXPECT_EQ(app.Text(conf, IDC_CONF_TIME_STEP), L"100");
  EXPECT_EQ(app.ComboSelection(conf, IDC_CONF_PORT_LIMIT), 1);
  EXPECT_TRUE(ui::IsChecked(conf, IDC_CONF_ESTIMATE));
  EXPECT_TRUE(ui::IsShown(conf, IDC_CONF_CABLE));
  EXPECT_EQ(app.Text(conf, IDC_CONF_CABLE), L"120");
  EXPECT_EQ(app.ComboSelection(conf, IDC_CONF_LOG_INTERVAL), 1);
  app.ChooseComboRow(conf, IDC_CONF_LOG_INTERVAL, 0);
  ASSERT_TRUE(app.Click(conf, IDC_CONF_ESTIMATE));  // off again: the box says Downstream
  ASSERT_TRUE(ui::CloseDialog(app, conf, IDOK));
  EXPECT_EQ(app.Text(IDC_VBUS_LABEL), L"Downstream");
  const int before = CountLines(ui::SaveLogAs(app, folder + L"\\stopped1.txt"), "Diagnostics- V=");
  Sleep(2000);
  const int after = CountLines(ui::SaveLogAs(app, folder + L"\\stopped2.txt"), "Diagnostics- V=");
  EXPECT_EQ(after, before);
  EXPECT_EQ(app.Exit(), 0);
}

TEST(Config, OutOfRangeValuesAreRefusedAndTheEditReset) {
  ui::LoadpostApp app;
  ASSERT_TRUE(StartLive(app));
  HWND conf = ui::OpenConfigDialog(app);
  ASSERT_NE(conf, nullptr);

  struct Case {
    int edit;
    const wchar_t* typed;
    const wchar_t* message;
    const wchar_t* shown;
  } cases[] = {
      {IDC_CONF_CURRENT_STEP, L"4", L"Minimum value for Current Intervals is 5mA", L"5"},
      {IDC_CONF_CURRENT_STEP, L"501", L"Maximum value for Current Intervals is 500mA", L"500"},
      {IDC_CONF_CURRENT_STEP, L"none", L"Minimum value for Current Intervals is 5mA", L"5"},
      // With a step of 5 mA the time step must be at least 6 ms; 50 is offered.
      {IDC_CONF_TIME_STEP, L"5", nullptr, L"50"},
      {IDC_CONF_TIME_STEP, L"60001", L"Maximum value for Time Intervals is 60000 mSec", L"60000"},
  };
  for (const Case& c : cases) {
    app.SetText(conf, c.edit, c.typed);
    ASSERT_TRUE(app.Click(conf, IDOK));
    const std::wstring message = app.TakeMessageBox(kErrorCaption);
    if (c.message) {
      EXPECT_EQ(message, c.message) << ui::Narrow(c.typed);
    } else {
      EXPECT_NE(message.find(L"5mA"), std::wstring::npos) << ui::Narrow(message);
      EXPECT_NE(message.find(L"50"), std::wstring::npos) << ui::Narrow(message);
    }
    EXPECT_TRUE(ui::WaitForControlText(app, conf, c.edit, c.shown)) << ui::Narrow(c.typed);
    EXPECT_TRUE(IsWindowVisible(conf)) << "the dialog stays open";
  }

  // The smallest time step for 5 mA passes; a cable resistance above 1000 is
  // refused and set to 0.
  app.SetText(conf, IDC_CONF_TIME_STEP, L"6");
  ASSERT_TRUE(app.Click(conf, IDC_CONF_ESTIMATE));
  ASSERT_TRUE(ui::WaitUntil([&] { return ui::IsShown(conf, IDC_CONF_CABLE); }));
  app.SetText(conf, IDC_CONF_CABLE, L"1001");
  ASSERT_TRUE(app.Click(conf, IDOK));
  EXPECT_EQ(app.TakeMessageBox(kErrorCaption), L"Maximum value for Cable Resistance is 1000 milliohms");
  EXPECT_TRUE(ui::WaitForControlText(app, conf, IDC_CONF_CABLE, L"0"));
  app.Screenshot(L"config_dialog_refused", conf);
  ASSERT_TRUE(ui::CloseDialog(app, conf, IDCANCEL));

  // Neither the refused OK nor the ticked estimate, cancelled, changed
  // anything: nothing was sent to the tester and the dialog shows the settings
  // as they were.
  Sleep(1000);
  EXPECT_EQ(ui::CountSettingsWrites(app), 1);
  EXPECT_EQ(app.Text(IDC_VBUS_LABEL), L"Downstream");
  conf = ui::OpenConfigDialog(app);
  ASSERT_NE(conf, nullptr);
  EXPECT_EQ(app.Text(conf, IDC_CONF_CURRENT_STEP), L"25");
  EXPECT_EQ(app.Text(conf, IDC_CONF_TIME_STEP), L"500");
  EXPECT_FALSE(ui::IsChecked(conf, IDC_CONF_ESTIMATE));
  EXPECT_EQ(app.Text(conf, IDC_CONF_CABLE), L"80");
  ASSERT_TRUE(ui::CloseDialog(app, conf, IDCANCEL));
  EXPECT_EQ(app.Exit(), 0);
}

TEST(Config, ForceLimitNeedsTheTypedWordOncePerRun) {
  ui::LoadpostApp app;
  ASSERT_TRUE(StartLive(app));
  HWND conf = ui::OpenConfigDialog(app);
  ASSERT_NE(conf, nullptr);

  ASSERT_TRUE(app.Click(conf, IDC_CONF_FORCE));
  HWND danger = ui::WaitForDanger(app);
  ASSERT_NE(danger, nullptr);
  Sleep(300);
  app.Screenshot(L"danger_dialog", danger);
  // Wrong words are refused and the dialog stays, with the text kept.
  for (const wchar_t* word : {L"cOnFiRm", L"confirmed", L" confirm", L""}) {
    app.SetText(danger, IDC_DANGER_WORD, word);
    ASSERT_TRUE(app.Click(danger, IDOK));
    EXPECT_EQ(app.TakeMessageBox(L"Loadpost"), kRefusal) << ui::Narrow(word);
    EXPECT_TRUE(IsWindowVisible(danger));
    EXPECT_EQ(app.Text(danger, IDC_DANGER_WORD), word);
  }
  app.SetText(danger, IDC_DANGER_WORD, L"CONFIRM");
  ASSERT_TRUE(ui::CloseDialog(app, danger, IDOK));
  ASSERT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(conf, IDC_CONF_FORCE_LIST); }));
  EXPECT_TRUE(ui::IsChecked(conf, IDC_CONF_FORCE));
  EXPECT_FALSE(ui::IsChecked(conf, IDC_CONF_ENFORCE));

  app.ChooseComboRow(conf, IDC_CONF_FORCE_LIST, 8);  // "5A"
  ASSERT_TRUE(ui::CloseDialog(app, conf, IDOK));
  EXPECT_EQ(app.Text(IDC_LOAD_MAX_LABEL), L"5000mA");
  EXPECT_EQ(app.SliderRange(app.Main(), IDC_LOAD_SLIDER), std::make_pair(0, 5000));
  EXPECT_TRUE(ui::WaitUntil([&] { return app.CountFrames("RX", FrameHex(0xE0, {0x01, 0x02, 0x88, 0x13})) == 1; }));

  // Back to "Enforce limits" and again "Force Limit": no second question.
  conf = ui::OpenConfigDialog(app);
  ASSERT_NE(conf, nullptr);
  EXPECT_TRUE(ui::IsChecked(conf, IDC_CONF_FORCE));
  EXPECT_EQ(app.ComboSelection(conf, IDC_CONF_FORCE_LIST), 8);
  ASSERT_TRUE(app.Click(conf, IDC_CONF_ENFORCE));
  ASSERT_TRUE(ui::WaitUntil([&] { return !app.IsEnabled(conf, IDC_CONF_FORCE_LIST); }));
  ASSERT_TRUE(app.Click(conf, IDC_CONF_FORCE));
  EXPECT_TRUE(ui::NoBoxAppears(app, L"Danger", 1000));
  EXPECT_TRUE(app.IsEnabled(conf, IDC_CONF_FORCE_LIST));
  EXPECT_TRUE(ui::IsChecked(conf, IDC_CONF_FORCE));
  ASSERT_TRUE(ui::CloseDialog(app, conf, IDCANCEL));
  EXPECT_EQ(app.Exit(), 0);
}

TEST(Config, DecliningTheRiskFallsBackToEnforceLimits) {
  ui::LoadpostApp app;
  ASSERT_TRUE(StartLive(app));
  HWND conf = ui::OpenConfigDialog(app);
  ASSERT_NE(conf, nullptr);

  ASSERT_TRUE(app.Click(conf, IDC_CONF_OVER_LIMIT));
  HWND danger = ui::WaitForDanger(app);
  ASSERT_NE(danger, nullptr);
  // Escape while typing the word keeps the warning open.
  app.SetText(danger, IDC_DANGER_WORD, L"conf");
  ui::PressKey(danger, VK_ESCAPE);
  Sleep(700);
  EXPECT_TRUE(IsWindow(danger) && IsWindowVisible(danger));
  // A click on Cancel declines.
  ASSERT_TRUE(ui::CloseDialog(app, danger, IDCANCEL));
  ASSERT_TRUE(ui::WaitForCheck(conf, IDC_CONF_ENFORCE, true));
  EXPECT_FALSE(ui::IsChecked(conf, IDC_CONF_OVER_LIMIT));
  EXPECT_FALSE(app.IsEnabled(conf, IDC_CONF_FORCE_LIST));
  // Declined is not accepted: the question comes again, for either mode.
  EXPECT_TRUE(ui::NoBoxAppears(app, L"Danger", 500)) << "no question without a click";
  ASSERT_TRUE(app.Click(conf, IDC_CONF_OVER_LIMIT));
  danger = ui::WaitForDanger(app);
  ASSERT_NE(danger, nullptr);
  // Escape after tabbing from the edit to a button declines.
  ui::PressKey(danger, VK_TAB);
  Sleep(300);
  ui::PressKey(danger, VK_ESCAPE);
  EXPECT_TRUE(ui::WaitUntil([&] { return !IsWindow(danger) || !IsWindowVisible(danger); }, 5000));
  ASSERT_TRUE(ui::WaitForCheck(conf, IDC_CONF_ENFORCE, true));
  ASSERT_TRUE(app.Click(conf, IDC_CONF_FORCE));
  danger = ui::WaitForDanger(app);
  ASSERT_NE(danger, nullptr);
  ASSERT_TRUE(ui::CloseDialog(app, danger, IDCANCEL));
  ASSERT_TRUE(ui::WaitForCheck(conf, IDC_CONF_ENFORCE, true));
  EXPECT_FALSE(ui::IsChecked(conf, IDC_CONF_FORCE));
  EXPECT_FALSE(app.IsEnabled(conf, IDC_CONF_FORCE_LIST));

  // The ceiling stays the source's rated current, and the tester is told so.
  ASSERT_TRUE(ui::CloseDialog(app, conf, IDOK));
  EXPECT_EQ(app.Text(IDC_LOAD_MAX_LABEL), L"3000mA");
  EXPECT_TRUE(ui::WaitUntil([&] { return app.CountFrames("RX", FrameHex(0xE0, {0x01, 0x00})) == 2; }));
  EXPECT_EQ(app.CountFrames("RX", FrameHex(0xE0, {0x01, 0x01})), 0);
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
