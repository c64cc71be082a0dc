// Profiles and load against the simulated tester: the default charger listed
// and measured live, Set Load, a fixed and the programmable profile with its
// bounded voltage, a detached and reattached source and a capability change,
// and a KT-40's refusal of PPS.
#include <gtest/gtest.h>

#include <cmath>

#include "resources/resource_ids.h"
#include "tests/ui/harness/calibration_helpers.h"
#include "tests/ui/harness/live_helpers.h"
#include "tests/ui/harness/ui_harness.h"

namespace {

using ui::FrameHex;
using ui::Hi;
using ui::Lo;

bool WaitForFrame(ui::LoadpostApp& app, const std::string& hex, int atLeast = 1, int timeoutMs = 10000) {
  return ui::WaitUntil([&] { return app.CountFrames("RX", hex) >= atLeast; }, timeoutMs);
}

bool WaitForVolts(ui::LoadpostApp& app, double volts) {
  return ui::WaitUntil([&] { return std::fabs(ui::LeadingNumber(app.Text(IDC_VBUS)) - volts) < 0.4; }, 15000);
}

TEST(ProfilesAndLoad, ListedMeasuredRequestedAndLoaded) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(ui::WaitUntil([&] { return app.ComboItems(app.Main(), IDC_VOLTAGE_LIST).size() == 5; }, 15000));
  EXPECT_EQ(app.ComboItems(app.Main(), IDC_VOLTAGE_LIST),
            (std::vector<std::wstring>{L"PD-FIX 5.00V", L"PD-FIX 9.00V", L"PD-FIX 15.00V", L"PD-FIX 20.00V",
                                       L"PD-APDO 3.30V-21.00V"}));
  EXPECT_EQ(app.ComboSelection(app.Main(), IDC_VOLTAGE_LIST), 0);
  EXPECT_EQ(app.Text(IDC_PROFILE_TYPE), L"PD-FIX");
  EXPECT_EQ(app.Text(IDC_RATED_CURRENT), L"3000mA");
  EXPECT_EQ(app.SliderRange(app.Main(), IDC_LOAD_SLIDER), std::make_pair(0, 3000));
  ASSERT_TRUE(ui::WaitForLiveVbus(app));
  EXPECT_NEAR(ui::LeadingNumber(app.Text(IDC_VBUS)), 5.0, 0.3);
  EXPECT_EQ(app.Text(IDC_CURRENT), L"0 mA");
  EXPECT_NE(app.Text(IDC_TEMPERATURE).find(L" C"), std::wstring::npos);
  EXPECT_FALSE(app.IsEnabled(app.Main(), IDC_SET_VOLTAGE_BUTTON));  // a fixed profile
  // The start-up load of 0 mA is sent, and the settings reach the tester once.
  EXPECT_TRUE(WaitForFrame(app, FrameHex(0x10, {0x00, 0x00})));
  Sleep(2000);
  EXPECT_EQ(app.CountFrames("RX", FrameHex(0xE0, {0x00, 0x00})), 1);

  // Set Load: the set point reaches the tester and the current follows.
  app.SetText(app.Main(), IDC_SET_LOAD_EDIT, L"1000");
  ASSERT_TRUE(app.Click(IDC_SET_LOAD_BUTTON));
  EXPECT_TRUE(WaitForFrame(app, "02 03 10 E8 03 F9 03"));
  ASSERT_TRUE(ui::WaitUntil([&] { return std::fabs(ui::LeadingNumber(app.Text(IDC_CURRENT)) - 1000) <= 30; }));
  EXPECT_EQ(app.SliderPos(app.Main(), IDC_LOAD_SLIDER), 1000);
  const double volts = ui::LeadingNumber(app.Text(IDC_VBUS));
  EXPECT_NEAR(ui::LeadingNumber(app.Text(IDC_POWER)), volts * 1.0, 0.2);
  // Text after the digits is ignored; every digit counts: 70000 is refused,
  // not sent as 7000.
  app.SetText(app.Main(), IDC_SET_LOAD_EDIT, L"12abc");
  ASSERT_TRUE(app.Click(IDC_SET_LOAD_BUTTON));
  EXPECT_TRUE(WaitForFrame(app, FrameHex(0x10, {12, 0})));
  EXPECT_TRUE(ui::WaitForControlText(app, app.Main(), IDC_SET_LOAD_EDIT, L"12"));
  app.SetText(app.Main(), IDC_SET_LOAD_EDIT, L"70000");
  ASSERT_TRUE(app.Click(IDC_SET_LOAD_BUTTON));
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error", 20000), L"Please enter a number between 0-9999");
  Sleep(300);
  EXPECT_EQ(app.CountFrames("RX", FrameHex(0x10, {Lo(7000), Hi(7000)})), 0);

  // 9 V fixed: on a PD-FIX port the request carries 5000 mV.
  app.ChooseComboRow(app.Main(), IDC_VOLTAGE_LIST, 1);
  EXPECT_TRUE(WaitForFrame(app, FrameHex(0x0D, {2, Lo(5000), Hi(5000)})));
  ASSERT_TRUE(WaitForVolts(app, 9.0));
  // The programmable entry: requested, then its voltage set within bounds.
  app.ChooseComboRow(app.Main(), IDC_VOLTAGE_LIST, 4);
  EXPECT_TRUE(WaitForFrame(app, FrameHex(0x0D, {5, Lo(5000), Hi(5000)})));
  ASSERT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(app.Main(), IDC_SET_VOLTAGE_BUTTON); }, 15000));
  EXPECT_EQ(app.Text(IDC_PROFILE_TYPE), L"PD-APDO");
  EXPECT_EQ(app.SliderRange(app.Main(), IDC_VOLTAGE_SLIDER), std::make_pair(3300, 21000));
  app.SetText(app.Main(), IDC_SET_VOLTAGE_EDIT, L"9000");
  ASSERT_TRUE(app.Click(IDC_SET_VOLTAGE_BUTTON));
  EXPECT_TRUE(WaitForFrame(app, FrameHex(0x0D, {5, Lo(9000), Hi(9000)})));
  ASSERT_TRUE(WaitForVolts(app, 9.0));
  // Refused, whole numbers: not the low 16 bits of 70000 (4464), nor the
  // first five digits of 123456.
  const std::pair<const wchar_t*, uint16_t> refused[] = {{L"3299", 3299}, {L"70000", 4464}, {L"123456", 12345}};
  for (auto [typed, notSent] : refused) {
    app.SetText(app.Main(), IDC_SET_VOLTAGE_EDIT, typed);
    ASSERT_TRUE(app.Click(IDC_SET_VOLTAGE_BUTTON));
    EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), L"Please enter a number between 3300-21000");
    Sleep(300);
    EXPECT_EQ(app.CountFrames("RX", FrameHex(0x0D, {5, Lo(notSent), Hi(notSent)})), 0) << notSent;
  }
  app.SetText(app.Main(), IDC_SET_VOLTAGE_EDIT, L"21000");
  ASSERT_TRUE(app.Click(IDC_SET_VOLTAGE_BUTTON));
  EXPECT_TRUE(WaitForFrame(app, FrameHex(0x0D, {5, Lo(21000), Hi(21000)})));
  app.Screenshot(L"load_pps_profile");

  // Detached: blank statistics, nothing can be asked of the missing source.
  app.SetText(app.Main(), IDC_SET_LOAD_EDIT, L"500");
  ASSERT_TRUE(app.Click(IDC_SET_LOAD_BUTTON));
  ASSERT_TRUE(WaitForFrame(app, FrameHex(0x10, {Lo(500), Hi(500)})));
  app.SimCommand("detach");
  ASSERT_TRUE(ui::WaitUntil([&] { return app.Text(IDC_PROFILE_TYPE).empty(); }));
  EXPECT_TRUE(ui::WaitForControlText(app, app.Main(), IDC_SET_LOAD_EDIT, L"0"));
  EXPECT_EQ(app.Text(IDC_VBUS), L" ");
  for (int id : {IDC_SET_LOAD_BUTTON, IDC_SET_LOAD_EDIT, IDC_LOAD_SLIDER, IDC_VOLTAGE_LIST}) {
    EXPECT_TRUE(ui::WaitUntil([&] { return !app.IsEnabled(app.Main(), id); }, 3000)) << id;
  }
  ASSERT_TRUE(app.Click(IDC_REALTIME_GRAPH));
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), L"No Device Under Test detected.");
  // Attached again: the new source starts at 0 mA, not at the old 500.
  app.SimCommand("attach");
  ASSERT_TRUE(ui::WaitForControlText(app, app.Main(), IDC_PROFILE_TYPE, L"PD-FIX", 15000));
  EXPECT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(app.Main(), IDC_SET_LOAD_BUTTON); }, 3000));
  EXPECT_EQ(app.CountFrames("RX", FrameHex(0x10, {Lo(500), Hi(500)})), 1);
  // A capability change is read as a new attach.
  app.SimCommand("capchange qc3");
  ASSERT_TRUE(ui::WaitForControlText(app, app.Main(), IDC_PROFILE_TYPE, L"QC3", 15000));
  EXPECT_TRUE(ui::WaitUntil([&] {
    auto rows = app.ComboItems(app.Main(), IDC_VOLTAGE_LIST);
    return !rows.empty() && rows[0].rfind(L"QC", 0) == 0;
  }));
  EXPECT_EQ(app.Exit(), 0);
}

TEST(ProfilesAndLoad, Kt40ListsPpsAsUnknownAndRefusesItAndCalibration) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"kt40")));
  ASSERT_TRUE(ui::WaitUntil([&] { return app.ComboItems(app.Main(), IDC_VOLTAGE_LIST).size() == 5; }, 15000));
  EXPECT_EQ(app.ComboItems(app.Main(), IDC_VOLTAGE_LIST).back(), L"Unknown profile");
  app.ChooseComboRow(app.Main(), IDC_VOLTAGE_LIST, 4);
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), L"PPS profiles are not supported by KT-40.");
  EXPECT_TRUE(ui::WaitUntil([&] { return app.ComboSelection(app.Main(), IDC_VOLTAGE_LIST) == 0; }));
  Sleep(800);
  EXPECT_EQ(app.CountFrames("RX", FrameHex(0x0D, {5, Lo(5000), Hi(5000)})), 0);
  ASSERT_TRUE(app.Click(IDC_CALIBRATION));
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), L"Calibration only works on KT-60 testers.");
  EXPECT_EQ(app.WaitForDialog(L"Calibration", 500), nullptr);
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
