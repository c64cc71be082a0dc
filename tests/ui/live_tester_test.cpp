// A tester found, connected and live: the Device list, the statistics, the
// Voltage list and the Set Voltage / Set Load controls, against the simulated
// tester.
#include <gtest/gtest.h>

#include <cmath>

#include "resources/resource_ids.h"
#include "tests/ui/harness/live_helpers.h"
#include "tests/ui/harness/save_dialog_helpers.h"
#include "tests/ui/harness/ui_harness.h"

namespace {

using ui::FrameHex;
using ui::Hi;
using ui::Lo;

const std::vector<std::wstring> kDefaultRows = {L"PD-FIX 5.00V", L"PD-FIX 9.00V", L"PD-FIX 15.00V",
                                                L"PD-FIX 20.00V", L"PD-APDO 3.30V-21.00V"};

// Waits until the program shows the source's profiles.
bool WaitForProfiles(ui::LoadpostApp& app, size_t rows, int timeoutMs = 15000) {
  return ui::WaitUntil([&] { return app.ComboItems(app.Main(), IDC_VOLTAGE_LIST).size() == rows; }, timeoutMs);
}

bool WaitForText(ui::LoadpostApp& app, int id, const std::wstring& text, int timeoutMs = 10000) {
  return ui::WaitUntil([&] { return app.Text(id) == text; }, timeoutMs);
}

bool WaitForFrame(ui::LoadpostApp& app, const std::string& hex, int atLeast = 1, int timeoutMs = 10000) {
  return ui::WaitUntil([&] { return app.CountFrames("RX", hex) >= atLeast; }, timeoutMs);
}

int CountTexts(const std::vector<std::string>& texts, const std::string& part) {
  int n = 0;
  for (const auto& t : texts) n += t.find(part) != std::string::npos ? 1 : 0;
  return n;
}

TEST(LiveTester, DefaultChargerIsListedAndMeasuredLive) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(WaitForProfiles(app, kDefaultRows.size()));
  EXPECT_EQ(app.ComboItems(app.Main(), IDC_DEVICE_LIST), std::vector<std::wstring>{L"VXPD0001"});
  EXPECT_EQ(app.ComboItems(app.Main(), IDC_VOLTAGE_LIST), kDefaultRows);
  EXPECT_EQ(app.ComboSelection(app.Main(), IDC_VOLTAGE_LIST), 0);
  EXPECT_EQ(app.Text(IDC_PROFILE_TYPE), L"PD-FIX");
  EXPECT_EQ(app.Text(IDC_RATED_CURRENT), L"3000mA");
  EXPECT_EQ(app.Text(IDC_LOAD_MAX_LABEL), L"3000mA");
  EXPECT_EQ(app.SliderRange(app.Main(), IDC_LOAD_SLIDER), std::make_pair(0, 3000));

  ASSERT_TRUE(ui::WaitUntil([&] { return app.Text(IDC_VBUS).find(L" V") != std::wstring::npos; }));
  const double vbus = ui::LeadingNumber(app.Text(IDC_VBUS));
  EXPECT_NEAR(vbus, 5.0, 0.3);
  EXPECT_EQ(app.Text(IDC_CURRENT), L"0 mA");
  EXPECT_EQ(app.Text(IDC_POWER), L"0.00 W");
  EXPECT_NE(app.Text(IDC_TEMPERATURE).find(L" C"), std::wstring::npos);
  // A fixed profile leaves the Set Voltage controls unusable.
  EXPECT_FALSE(app.IsEnabled(app.Main(), IDC_SET_VOLTAGE_BUTTON));
  EXPECT_FALSE(app.IsEnabled(app.Main(), IDC_VOLTAGE_SLIDER));

  // The first ready pass sends the start-up load of 0 mA, and the program's
  // settings reach the tester once, not on every pass.
  EXPECT_TRUE(WaitForFrame(app, FrameHex(0x10, {0x00, 0x00})));
  Sleep(3000);
  EXPECT_EQ(app.CountFrames("RX", FrameHex(0xE0, {0x00, 0x00})), 1);
  app.Screenshot(L"live_default_charger");
  EXPECT_EQ(app.Exit(), 0);
}

TEST(LiveTester, SetLoadSendsTheSetPointAndTheCurrentFollows) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(WaitForProfiles(app, kDefaultRows.size()));
  app.SetText(app.Main(), IDC_SET_LOAD_EDIT, L"1000");
  ASSERT_TRUE(app.Click(IDC_SET_LOAD_BUTTON));
  EXPECT_TRUE(WaitForFrame(app, "02 03 10 E8 03 F9 03"));
  ASSERT_TRUE(ui::WaitUntil([&] { return std::fabs(ui::LeadingNumber(app.Text(IDC_CURRENT)) - 1000) <= 30; }));
  EXPECT_EQ(app.SliderPos(app.Main(), IDC_LOAD_SLIDER), 1000);
  // VBUS sags a little under load, and power is volts times amps.
  const double volts = ui::LeadingNumber(app.Text(IDC_VBUS));
  const double watts = ui::LeadingNumber(app.Text(IDC_POWER));
  EXPECT_LT(volts, 5.1);
  EXPECT_NEAR(watts, volts * 1.0, 0.2);

  // Text after the digits is ignored and the edit shows the number used.
  app.SetText(app.Main(), IDC_SET_LOAD_EDIT, L"12abc");
  ASSERT_TRUE(app.Click(IDC_SET_LOAD_BUTTON));
  EXPECT_TRUE(WaitForFrame(app, FrameHex(0x10, {12, 0})));
  EXPECT_EQ(app.Text(IDC_SET_LOAD_EDIT), L"12");
  // Every digit counts: 70000 mA is refused, not sent as 7000.
  app.SetText(app.Main(), IDC_SET_LOAD_EDIT, L"70000");
  ASSERT_TRUE(app.Click(IDC_SET_LOAD_BUTTON));
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), L"Please enter a number between 0-9999");
  Sleep(300);
  EXPECT_EQ(app.CountFrames("RX", FrameHex(0x10, {Lo(7000), Hi(7000)})), 0);
  app.Screenshot(L"live_load_set");
  EXPECT_EQ(app.Exit(), 0);
}

TEST(LiveTester, ChoosingAProfileRequestsItAndThePpsVoltageIsBounded) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(WaitForProfiles(app, kDefaultRows.size()));

  // 9 V fixed: on a PD-FIX port the request carries 5000 mV.
  app.ChooseComboRow(app.Main(), IDC_VOLTAGE_LIST, 1);
  EXPECT_TRUE(WaitForFrame(app, FrameHex(0x0D, {2, Lo(5000), Hi(5000)})));
  ASSERT_TRUE(ui::WaitUntil([&] { return std::fabs(ui::LeadingNumber(app.Text(IDC_VBUS)) - 9.0) < 0.4; }, 15000));
  EXPECT_EQ(app.ComboSelection(app.Main(), IDC_VOLTAGE_LIST), 1);

  // The programmable entry: requested, then its voltage can be set within bounds.
  app.ChooseComboRow(app.Main(), IDC_VOLTAGE_LIST, 4);
  EXPECT_TRUE(WaitForFrame(app, FrameHex(0x0D, {5, Lo(5000), Hi(5000)})));
  ASSERT_TRUE(WaitForText(app, IDC_PROFILE_TYPE, L"PD-APDO", 15000));
  ASSERT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(app.Main(), IDC_SET_VOLTAGE_BUTTON); }));
  EXPECT_EQ(app.Text(IDC_VOLTAGE_MIN_LABEL), L"3300mV");
  EXPECT_EQ(app.Text(IDC_VOLTAGE_MAX_LABEL), L"21000mV");
  EXPECT_EQ(app.SliderRange(app.Main(), IDC_VOLTAGE_SLIDER), std::make_pair(3300, 21000));

  app.SetText(app.Main(), IDC_SET_VOLTAGE_EDIT, L"9000");
  ASSERT_TRUE(app.Click(IDC_SET_VOLTAGE_BUTTON));
  EXPECT_TRUE(WaitForFrame(app, FrameHex(0x0D, {5, Lo(9000), Hi(9000)})));
  ASSERT_TRUE(ui::WaitUntil([&] { return std::fabs(ui::LeadingNumber(app.Text(IDC_VBUS)) - 9.0) < 0.4; }, 15000));

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
  app.Screenshot(L"live_pps_profile");
  EXPECT_EQ(app.Exit(), 0);
}

TEST(LiveTester, DetachAndReattachAndCapabilityChange) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(WaitForProfiles(app, kDefaultRows.size()));
  app.SetText(app.Main(), IDC_SET_LOAD_EDIT, L"500");
  ASSERT_TRUE(app.Click(IDC_SET_LOAD_BUTTON));
  ASSERT_TRUE(WaitForFrame(app, FrameHex(0x10, {Lo(500), Hi(500)})));

  app.SimCommand("detach");
  ASSERT_TRUE(WaitForText(app, IDC_PROFILE_TYPE, L""));
  EXPECT_TRUE(WaitForText(app, IDC_SET_LOAD_EDIT, L"0"));
  EXPECT_EQ(app.Text(IDC_RATED_CURRENT), L"");
  EXPECT_EQ(app.Text(IDC_VBUS), L" ");
  EXPECT_EQ(app.Text(IDC_LOOPBACK_CURRENT), L"0 mA");
  // Nothing can be asked of a source that is not there.
  for (int id : {IDC_SET_LOAD_BUTTON, IDC_SET_LOAD_EDIT, IDC_LOAD_SLIDER, IDC_VOLTAGE_LIST}) {
    EXPECT_TRUE(ui::WaitUntil([&] { return !app.IsEnabled(app.Main(), id); }, 3000)) << id;
  }
  // No source: the graphs cannot open.
  ASSERT_TRUE(app.Click(IDC_REALTIME_GRAPH));
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), L"No Device Under Test detected.");

  app.SimCommand("attach");
  ASSERT_TRUE(WaitForText(app, IDC_PROFILE_TYPE, L"PD-FIX", 15000));
  EXPECT_TRUE(WaitForText(app, IDC_RATED_CURRENT, L"3000mA"));
  EXPECT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(app.Main(), IDC_SET_LOAD_BUTTON); }, 3000));
  // The new source starts at 0 mA, not at the old one's 500.
  EXPECT_EQ(app.CountFrames("RX", FrameHex(0x10, {Lo(500), Hi(500)})), 1);

  app.SimCommand("capchange qc3");
  // The change zeroes the rating; the source is then read again as a new attach.
  ASSERT_TRUE(WaitForText(app, IDC_PROFILE_TYPE, L"QC3", 15000));
  EXPECT_TRUE(ui::WaitUntil([&] {
    auto rows = app.ComboItems(app.Main(), IDC_VOLTAGE_LIST);
    return !rows.empty() && rows[0].rfind(L"QC", 0) == 0;
  }));
  app.Screenshot(L"live_after_capability_change");
  EXPECT_EQ(app.Exit(), 0);
}

TEST(TesterSelection, TwoTestersAndAnotherFtdiDeviceAreListedInOrder) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"two-testers")));
  ASSERT_TRUE(ui::WaitUntil([&] { return app.ComboItems(app.Main(), IDC_DEVICE_LIST).size() == 2; }));
  EXPECT_EQ(app.ComboItems(app.Main(), IDC_DEVICE_LIST), (std::vector<std::wstring>{L"VXPD0001", L"VXPD0002"}));
  EXPECT_EQ(app.ComboSelection(app.Main(), IDC_DEVICE_LIST), 0);
  // The first tester is connected and talks to the program.
  EXPECT_TRUE(WaitForFrame(app, FrameHex(0x01)));
  ASSERT_TRUE(ui::WaitUntil([&] { return !app.Text(IDC_PROFILE_TYPE).empty(); }, 15000));

  // Choosing the second tester connects it instead.
  const int versionsBefore = app.CountFrames("RX", FrameHex(0x01));
  app.ChooseComboRow(app.Main(), IDC_DEVICE_LIST, 1);
  EXPECT_TRUE(WaitForFrame(app, FrameHex(0x01), versionsBefore + 1, 15000));
  EXPECT_EQ(app.ComboSelection(app.Main(), IDC_DEVICE_LIST), 1);
  EXPECT_EQ(app.Exit(), 0);
}

TEST(TesterSelection, TheLogRecordsTheListingTheSelectionAndTheCapabilitiesOnce) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"two-testers")));
  ASSERT_TRUE(WaitForProfiles(app, 5));
  // Detach and attach again: the capabilities are logged again after a detach.
  app.SimCommand("detach");
  ASSERT_TRUE(WaitForText(app, IDC_PROFILE_TYPE, L""));
  app.SimCommand("attach");
  ASSERT_TRUE(WaitForText(app, IDC_PROFILE_TYPE, L"PD-FIX", 15000));
  Sleep(1500);
  const std::vector<std::string> texts = ui::SavedLogTexts(app, ui::ScratchFolder() + L"\\log.txt");
  ASSERT_GE(texts.size(), 6u);
  EXPECT_EQ(texts[0], "Trevane Loadpost tester V1.1 1013");
  EXPECT_EQ(texts[1], "VXPD0001 added to list");
  EXPECT_EQ(texts[2], "VXPD0002 added to list");
  EXPECT_EQ(texts[3], "Device VXPD0001 selected");
  EXPECT_EQ(texts[4], "Hardware Revision: 2.0");
  EXPECT_EQ(texts[5], "Firmware Version: 3.0");
  EXPECT_EQ(CountTexts(texts, "Port detected capabilities:"), 2);
  EXPECT_EQ(CountTexts(texts, "PD-FIX Voltage:9.00V Max Current:3000mA"), 2);
  EXPECT_EQ(CountTexts(texts, "PD-APDO Voltage:3.30V-21.00V Max Current:3000mA"), 2);
  EXPECT_EQ(CountTexts(texts, "Port detached"), 1);
  EXPECT_EQ(app.Exit(), 0);
}

TEST(LiveTester, UnderVoltageIsLoggedOncePerEpisode) {
  // A weak 5 V charger: 2 A pulls VBUS well under the window's low bound.
  const std::wstring scenario = ui::WriteScenario(L"weak", R"(
charger weak
  fixed 5V 3A
  resistance 400
  trip off
end
tester VXPD0001 kt60
  charger weak
  noise 0 0
end
)");
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(scenario));
  ASSERT_TRUE(WaitForProfiles(app, 1));
  auto setLoad = [&](const wchar_t* ma) {
    app.SetText(app.Main(), IDC_SET_LOAD_EDIT, ma);
    ASSERT_TRUE(app.Click(IDC_SET_LOAD_BUTTON));
  };
  setLoad(L"2000");
  ASSERT_TRUE(ui::WaitUntil([&] { return ui::LeadingNumber(app.Text(IDC_VBUS)) < 4.3; }));
  Sleep(2000);  // the low voltage persists for several passes
  setLoad(L"200");
  ASSERT_TRUE(ui::WaitUntil([&] { return ui::LeadingNumber(app.Text(IDC_VBUS)) > 4.8; }));
  Sleep(1000);
  setLoad(L"2000");
  ASSERT_TRUE(ui::WaitUntil([&] { return ui::LeadingNumber(app.Text(IDC_VBUS)) < 4.3; }));
  Sleep(2000);
  const std::vector<std::string> texts = ui::SavedLogTexts(app, ui::ScratchFolder() + L"\\log.txt");
  EXPECT_EQ(CountTexts(texts, "Under voltage detected"), 2);
  EXPECT_EQ(CountTexts(texts, "Over voltage detected"), 0);
  EXPECT_EQ(app.Exit(), 0);
}

TEST(TesterSelection, OldFirmwareAndNewerHardwareAreRefused) {
  {
    ui::LoadpostApp app;
    ASSERT_TRUE(app.Start(ui::Scenario(L"kt40-fw26")));
    EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), L"Please update the device firmware");
    Sleep(500);
    EXPECT_EQ(app.Text(IDC_PROFILE_TYPE), L"");  // not connected: nothing is read
    EXPECT_EQ(app.Exit(), 0);
  }
  {
    ui::LoadpostApp app;
    ASSERT_TRUE(app.Start(ui::Scenario(L"hw21")));
    EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), L"Please update the test application");
    ASSERT_TRUE(app.Click(IDC_CONFIGURE));
    EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), L"No Loadpost device selected.");
    EXPECT_EQ(app.Exit(), 0);
  }
}

TEST(TesterSelection, NoDeviceAtAllIsReported) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"no-devices")));
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"),
            L"No Trevane Loadpost device detected.\nYou may need to plug in (or install) USB devices.\n");
  EXPECT_TRUE(app.ComboItems(app.Main(), IDC_DEVICE_LIST).empty());
  EXPECT_EQ(app.Exit(), 0);
}

TEST(TesterSelection, Kt40ListsPpsAsUnknownAndRefusesIt) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"kt40")));
  ASSERT_TRUE(WaitForProfiles(app, kDefaultRows.size()));
  const auto rows = app.ComboItems(app.Main(), IDC_VOLTAGE_LIST);
  EXPECT_EQ(rows.back(), L"Unknown profile");
  app.ChooseComboRow(app.Main(), IDC_VOLTAGE_LIST, 4);
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), L"PPS profiles are not supported by KT-40.");
  EXPECT_TRUE(ui::WaitUntil([&] { return app.ComboSelection(app.Main(), IDC_VOLTAGE_LIST) == 0; }));
  Sleep(800);
  EXPECT_EQ(app.CountFrames("RX", FrameHex(0x0D, {5, Lo(5000), Hi(5000)})), 0);
  ASSERT_TRUE(app.Click(IDC_CALIBRATION));
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), L"Calibration only works on KT-60 testers.");
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
