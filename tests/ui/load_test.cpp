// Profiles and load against the simulated tester: the default charger listed and measured live, Set Load, a fixed and
// the programmable profile with its bounded voltage, a detached and reattached source, a capability change, and a
// KT-40's refusal of PPS and of calibration.
#include <cmath>

#include "tests/ui/harness/ui_harness.h"

namespace {

std::string ProfileFrame(uint8_t position, int millivolts) {
  return ui::FrameHex(0x0D, {position, static_cast<uint8_t>(millivolts & 0xFF), static_cast<uint8_t>(millivolts >> 8)});
}

TEST(ProfilesAndLoad, ListedMeasuredRequestedLoadedAndRefused) {
  const std::wstring kError = L"Loadpost: Error";
  ui::App app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  const HWND main = app.Main();
  ASSERT_TRUE(ui::WaitUntil([&] { return app.Items(main, IDC_VOLTAGE_LIST).size() == 5; }, 15000));
  EXPECT_EQ(app.Items(main, IDC_VOLTAGE_LIST), (std::vector<std::wstring>{L"PD-FIX 5.00V", L"PD-FIX 9.00V",
                                                                          L"PD-FIX 15.00V", L"PD-FIX 20.00V",
                                                                          L"PD-APDO 3.30V-21.00V"}));
  EXPECT_EQ(app.Text(IDC_RATED_CURRENT), L"3000mA");
  EXPECT_EQ(app.SliderRange(main, IDC_LOAD_SLIDER), std::make_pair(0, 3000));
  ASSERT_TRUE(app.WaitLive());
  EXPECT_NEAR(ui::Number(app.Text(IDC_VBUS)), 5.0, 0.3);
  EXPECT_EQ(app.Text(IDC_CURRENT), L"0 mA");
  EXPECT_FALSE(app.IsEnabled(main, IDC_SET_VOLTAGE_BUTTON));  // a fixed profile
  EXPECT_TRUE(app.WaitSent(ui::LoadFrame(0)));  // the start-up load
  // Set Load: the set point reaches the tester and the current follows; every
  // digit counts, so 70000 is refused rather than sent as 7000.
  app.SetText(main, IDC_SET_LOAD_EDIT, L"1000");
  ASSERT_TRUE(app.Click(IDC_SET_LOAD_BUTTON));
  EXPECT_TRUE(app.WaitSent("02 03 10 E8 03 F9 03"));
  ASSERT_TRUE(ui::WaitUntil([&] { return std::fabs(ui::Number(app.Text(IDC_CURRENT)) - 1000) <= 30; }));
  EXPECT_NEAR(ui::Number(app.Text(IDC_POWER)), ui::Number(app.Text(IDC_VBUS)), 0.2);
  app.SetText(main, IDC_SET_LOAD_EDIT, L"70000");
  ASSERT_TRUE(app.Click(IDC_SET_LOAD_BUTTON));
  EXPECT_EQ(app.TakeBox(kError, IDOK, 20000), L"Please enter a number between 0-9999");
  Sleep(300);
  EXPECT_EQ(app.CountSent(ui::LoadFrame(7000)), 0);
  // 9 V fixed: on a PD-FIX port the request carries 5000 mV.
  app.Choose(main, IDC_VOLTAGE_LIST, 1);
  EXPECT_TRUE(app.WaitSent(ProfileFrame(2, 5000)));
  auto waitVolts = [&](double v) {
    return ui::WaitUntil([&] { return std::fabs(ui::Number(app.Text(IDC_VBUS)) - v) < 0.4; }, 15000);
  };
  ASSERT_TRUE(waitVolts(9.0));
  // The programmable entry, then its voltage within its bounds.
  app.Choose(main, IDC_VOLTAGE_LIST, 4);
  EXPECT_TRUE(app.WaitSent(ProfileFrame(5, 5000)));
  ASSERT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(main, IDC_SET_VOLTAGE_BUTTON); }, 15000));
  EXPECT_EQ(app.Text(IDC_PROFILE_TYPE), L"PD-APDO");
  EXPECT_EQ(app.SliderRange(main, IDC_VOLTAGE_SLIDER), std::make_pair(3300, 21000));
  // Refused whole: not 3299, nor the low 16 bits of 70000 (4464).
  for (auto [typed, notSent] : {std::pair{L"3299", 3299}, std::pair{L"70000", 4464}}) {
    app.SetText(main, IDC_SET_VOLTAGE_EDIT, typed);
    ASSERT_TRUE(app.Click(IDC_SET_VOLTAGE_BUTTON));
    EXPECT_EQ(app.TakeBox(kError), L"Please enter a number between 3300-21000");
    Sleep(300);
    EXPECT_EQ(app.CountSent(ProfileFrame(5, notSent)), 0) << notSent;
  }
  app.SetText(main, IDC_SET_VOLTAGE_EDIT, L"21000");
  ASSERT_TRUE(app.Click(IDC_SET_VOLTAGE_BUTTON));
  EXPECT_TRUE(app.WaitSent(ProfileFrame(5, 21000)));
  ASSERT_TRUE(waitVolts(21.0));
  app.Screenshot(L"load_pps_profile");
  // Detached: blank statistics, nothing can be asked of the missing source.
  app.SetText(main, IDC_SET_LOAD_EDIT, L"500");
  ASSERT_TRUE(app.Click(IDC_SET_LOAD_BUTTON));
  ASSERT_TRUE(app.WaitSent(ui::LoadFrame(500)));
  app.Sim("detach");
  ASSERT_TRUE(app.WaitForText(main, IDC_PROFILE_TYPE, L""));
  EXPECT_TRUE(app.WaitForText(main, IDC_SET_LOAD_EDIT, L"0"));
  EXPECT_EQ(app.Text(IDC_VBUS), L" ");
  for (int id : {IDC_SET_LOAD_BUTTON, IDC_LOAD_SLIDER, IDC_VOLTAGE_LIST}) {
    EXPECT_TRUE(ui::WaitUntil([&] { return !app.IsEnabled(main, id); }, 3000)) << id;
  }
  ASSERT_TRUE(app.Click(IDC_REALTIME_GRAPH));
  EXPECT_EQ(app.TakeBox(kError), L"No Device Under Test detected.");
  // Attached again: the new source starts at 0 mA, not at the old 500.
  app.Sim("attach");
  ASSERT_TRUE(app.WaitForText(main, IDC_PROFILE_TYPE, L"PD-FIX", 15000));
  EXPECT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(main, IDC_SET_LOAD_BUTTON); }, 3000));
  EXPECT_EQ(app.CountSent(ui::LoadFrame(500)), 1);
  // A capability change is read as a new attach.
  app.Sim("capchange qc3");
  EXPECT_TRUE(app.WaitForText(main, IDC_PROFILE_TYPE, L"QC3", 15000));
  EXPECT_EQ(app.Exit(), 0);
  // A KT-40 lists PPS as unknown and refuses it, and calibration.
  ui::App kt40;
  ASSERT_TRUE(kt40.Start(ui::Scenario(L"kt40")));
  ASSERT_TRUE(ui::WaitUntil([&] { return kt40.Items(kt40.Main(), IDC_VOLTAGE_LIST).size() == 5; }, 15000));
  EXPECT_EQ(kt40.Items(kt40.Main(), IDC_VOLTAGE_LIST).back(), L"Unknown profile");
  kt40.Choose(kt40.Main(), IDC_VOLTAGE_LIST, 4);
  EXPECT_EQ(kt40.TakeBox(kError), L"PPS profiles are not supported by KT-40.");
  EXPECT_TRUE(ui::WaitUntil([&] { return kt40.Selection(kt40.Main(), IDC_VOLTAGE_LIST) == 0; }));
  Sleep(800);
  EXPECT_EQ(kt40.CountSent(ProfileFrame(5, 5000)), 0);
  ASSERT_TRUE(kt40.Click(IDC_CALIBRATION));
  EXPECT_EQ(kt40.TakeBox(kError), L"Calibration only works on KT-60 testers.");
  EXPECT_TRUE(kt40.NoBox(L"Calibration", 500));
  EXPECT_EQ(kt40.Exit(), 0);
}

}  // namespace
