// The Test configuration dialog against the simulated tester: refused values, Cancel and a refused OK that store
// nothing, OK writing the settings to the tester once, and the Danger confirmation of the relaxed limits.
#include <algorithm>

#include "tests/ui/harness/ui_harness.h"

namespace {

TEST(ConfigurationAndDanger, RefusedOrCancelledStoresNothingOkWritesOnceDangerAsksOnce) {
  const std::wstring kError = L"Loadpost Error";
  ui::App app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")) && app.WaitLive());
  // Each settings write starts with the loopback frame (0xE0, sub-index 0).
  auto settingsWrites = [&] {
    return app.CountSent(ui::FrameHex(0xE0, {0x00, 0x00})) + app.CountSent(ui::FrameHex(0xE0, {0x00, 0x01}));
  };
  ASSERT_TRUE(ui::WaitUntil([&] { return settingsWrites() == 1; }));  // at connection
  auto open = [&] { return app.Click(IDC_CONFIGURE) ? app.WaitForDialog(L"Test configuration") : nullptr; };
  HWND conf = open();
  ASSERT_NE(conf, nullptr);
  app.Screenshot(L"config_dialog", conf);
  // A refused value: its message, the edit reset to the bound, the dialog kept.
  app.SetText(conf, IDC_CONF_TIME_STEP, L"60001");
  ASSERT_TRUE(app.Click(conf, IDOK));
  EXPECT_EQ(app.TakeBox(kError), L"Maximum value for Time Intervals is 60000 mSec");
  EXPECT_TRUE(app.WaitForText(conf, IDC_CONF_TIME_STEP, L"60000"));
  EXPECT_TRUE(IsWindowVisible(conf));
  // With the estimate ticked, a cable resistance above 1000 is refused.
  ASSERT_TRUE(app.Click(conf, IDC_CONF_ESTIMATE));
  ASSERT_TRUE(ui::WaitUntil([&] { return IsWindowVisible(GetDlgItem(conf, IDC_CONF_CABLE)); }));
  app.SetText(conf, IDC_CONF_CABLE, L"1001");
  ASSERT_TRUE(app.Click(conf, IDOK));
  EXPECT_EQ(app.TakeBox(kError), L"Maximum value for Cable Resistance is 1000 milliohms");
  ASSERT_TRUE(app.Close(conf, IDCANCEL));
  // Neither the refused OKs nor the cancelled changes stored anything: nothing
  // was sent and the dialog shows the settings as they were.
  Sleep(1000);
  EXPECT_EQ(settingsWrites(), 1);
  EXPECT_EQ(app.Text(IDC_VBUS_LABEL), L"Downstream");
  ASSERT_NE(conf = open(), nullptr);
  EXPECT_EQ(app.Text(conf, IDC_CONF_CURRENT_STEP), L"25");
  EXPECT_EQ(app.Text(conf, IDC_CONF_TIME_STEP), L"500");
  EXPECT_FALSE(ui::IsChecked(conf, IDC_CONF_ESTIMATE));
  EXPECT_EQ(app.Text(conf, IDC_CONF_CABLE), L"80");
  // OK with 900 mA, the upstream estimate over 120 milliohms and a log line
  // every second: the settings reach the tester once more, and only once.
  ASSERT_TRUE(app.Click(conf, IDC_CONF_ESTIMATE));
  app.SetText(conf, IDC_CONF_CABLE, L"120");
  app.Choose(conf, IDC_CONF_PORT_LIMIT, 1);
  app.Choose(conf, IDC_CONF_LOG_INTERVAL, 1);
  ASSERT_TRUE(app.Close(conf, IDOK));
  EXPECT_EQ(app.Text(IDC_VBUS_LABEL), L"Upstream");
  ASSERT_TRUE(app.WaitSent(ui::FrameHex(0xE0, {0x04, 120, 0})));
  Sleep(2000);
  EXPECT_EQ(settingsWrites(), 2);
  EXPECT_EQ(app.CountSent(ui::FrameHex(0xE0, {0x04, 120, 0})), 1);
  EXPECT_EQ(app.CountSent(ui::FrameHex(0xE0, {0x02, 0x84, 0x03})), 1);  // 900 mA
  EXPECT_EQ(app.CountSent(ui::FrameHex(0xE0, {0x03, 0x01})), 1);        // estimate on
  EXPECT_EQ(app.CountSent(ui::FrameHex(0xE0, {0x01, 0x00})), 2);        // enforce limits, both writes
  const std::vector<std::string> log = app.SavedLog(ui::ScratchFolder() + L"\\log.txt");
  EXPECT_GE(std::count_if(log.begin(), log.end(), [](auto& t) { return t.rfind("V=", 0) == 0; }), 2);
  // Danger: Escape while typing the word keeps it; Cancel declines, back to
  // Enforce; declined is not accepted, so the question comes again.
  ASSERT_NE(conf = open(), nullptr);
  EXPECT_EQ(app.Selection(conf, IDC_CONF_PORT_LIMIT), 1);
  EXPECT_TRUE(ui::IsChecked(conf, IDC_CONF_ESTIMATE));
  EXPECT_EQ(app.Text(conf, IDC_CONF_CABLE), L"120");
  ASSERT_TRUE(app.Click(conf, IDC_CONF_FORCE));
  HWND danger = app.WaitForDialog(L"Danger");
  ASSERT_NE(danger, nullptr);
  app.SetText(danger, IDC_DANGER_WORD, L"conf");
  ui::PressKey(danger, VK_ESCAPE);
  Sleep(700);
  EXPECT_TRUE(IsWindowVisible(danger));
  app.Screenshot(L"danger_dialog", danger);
  ASSERT_TRUE(app.Close(danger, IDCANCEL));
  EXPECT_TRUE(ui::WaitUntil([&] { return ui::IsChecked(conf, IDC_CONF_ENFORCE); }));
  EXPECT_FALSE(app.IsEnabled(conf, IDC_CONF_FORCE_LIST));
  // A wrong word is refused and kept; "CONFIRM" accepts.
  ASSERT_TRUE(app.Click(conf, IDC_CONF_FORCE));
  ASSERT_NE(danger = app.WaitForDialog(L"Danger"), nullptr);
  app.SetText(danger, IDC_DANGER_WORD, L"cOnFiRm");
  ASSERT_TRUE(app.Click(danger, IDOK));
  EXPECT_EQ(app.TakeBox(L"Loadpost"), L"Type the word 'confirm' and then click on the 'I accept the risk' button");
  EXPECT_EQ(app.Text(danger, IDC_DANGER_WORD), L"cOnFiRm");
  app.SetText(danger, IDC_DANGER_WORD, L"CONFIRM");
  ASSERT_TRUE(app.Close(danger, IDOK));
  ASSERT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(conf, IDC_CONF_FORCE_LIST); }));
  app.Choose(conf, IDC_CONF_FORCE_LIST, 8);  // "5A"
  ASSERT_TRUE(app.Close(conf, IDOK));
  EXPECT_EQ(app.Text(IDC_LOAD_MAX_LABEL), L"5000mA");
  EXPECT_EQ(app.SliderRange(app.Main(), IDC_LOAD_SLIDER), std::make_pair(0, 5000));
  EXPECT_TRUE(app.WaitSent(ui::FrameHex(0xE0, {0x01, 0x02, 0x88, 0x13})));
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
