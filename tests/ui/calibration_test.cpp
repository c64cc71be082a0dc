// The Calibration dialog against a simulated KT-60 with a stored calibration: showing what the tester holds, checking
// points before anything is measured or written, reading points, writing and resetting a channel, and a tester
// unplugged while a point is read.
#include <cwchar>

#include "tests/ui/harness/ui_harness.h"

namespace {

// The VBUS record as written: channel 0, the year less 2020, the month, then
// applied 1, measured 1, applied 2, measured 2.
std::string VbusRecordFrame(const SYSTEMTIME& date, std::initializer_list<int> values) {
  std::vector<uint8_t> data = {0, static_cast<uint8_t>(date.wYear - 2020), static_cast<uint8_t>(date.wMonth)};
  for (int v : values) {
    data.push_back(static_cast<uint8_t>(v & 0xFF));
    data.push_back(static_cast<uint8_t>(v >> 8));
  }
  return ui::FrameHex(0xE3, data);
}

TEST(Calibration, ShowCheckReadWriteResetAndAbandon) {
  const std::wstring kError = L"PSU Test Error", kQuestion = L"PSU Test";
  ui::App app;
  ASSERT_TRUE(app.Start(ui::WriteScenario(L"calibrated",
                                          "tester VXPD0001 kt60\n  charger pd65\n"
                                          "  calibration vbus 2024 3 4000 3990 20000 19950\n"
                                          "  calibration current 2025 11 502 500 3010 3000\nend\n")) && app.WaitLive());
  ASSERT_TRUE(app.Click(IDC_CALIBRATION));
  HWND dialog = app.WaitForDialog(L"Calibration");
  ASSERT_TRUE(dialog && ui::WaitUntil([&] { return app.IsEnabled(dialog, IDOK); }));  // once the tester is read
  EXPECT_FALSE(IsWindowEnabled(app.Main()));
  auto channel = [&](int row, const wchar_t* date) {
    app.Choose(dialog, IDC_CAL_CHANNEL, row);
    return app.WaitForText(dialog, IDC_CAL_DATE, date);
  };
  // What the tester holds: gain = (4000 - 20000) / (3990 - 19950).
  EXPECT_EQ(app.Text(dialog, IDC_CAL_DATE), L"2024/03");
  EXPECT_NEAR(ui::Number(app.Text(dialog, IDC_CAL_GAIN)), 1.002506, 1e-6);
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED2), L"19950");
  // The current channel has no Read: the tester applies the load.
  ASSERT_TRUE(channel(1, L"2025/11"));
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED2), L"3010");
  EXPECT_FALSE(app.IsEnabled(dialog, IDC_CAL_READ1));
  // Back on VBUS, with a slow reply: the dialog waits with its controls disabled and keeps answering meanwhile.
  app.Sim("fault gap E4 1 400ms");
  Sleep(200);
  app.Choose(dialog, IDC_CAL_CHANNEL, 0);
  EXPECT_TRUE(ui::WaitUntil([&] { return !app.IsEnabled(dialog, IDC_CAL_CHANNEL); }, 300, 5));
  DWORD_PTR answer = 0;
  EXPECT_NE(SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 200, &answer), 0);
  ASSERT_TRUE(app.WaitForText(dialog, IDC_CAL_DATE, L"2024/03"));
  ASSERT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(dialog, IDOK); }));
  // The points are checked before anything is measured or written.
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_ALLOW_POINTS));
  ASSERT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(dialog, IDC_CAL_APPLIED1); }, 3000));
  app.SetText(dialog, IDC_CAL_APPLIED1, L"3799");
  const std::wstring measured1 = app.Text(dialog, IDC_CAL_MEASURED1);
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_READ1));
  HWND box = app.WaitForDialog(kError);
  EXPECT_EQ(GetWindow(box, GW_OWNER), dialog);  // the dialog owns its boxes
  EXPECT_EQ(app.TakeBox(kError), L"Invalid calibration point. Point 1 should be equal or greater than 3800.");
  EXPECT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(dialog, IDC_CAL_READ1); }, 2000));
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED1), measured1);
  app.SetText(dialog, IDC_CAL_APPLIED1, L"3800");
  app.SetText(dialog, IDC_CAL_MEASURED1, L"5000");
  app.SetText(dialog, IDC_CAL_MEASURED2, L"5000");
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_CALIBRATE));
  EXPECT_EQ(app.TakeBox(kQuestion, IDYES), L"Are you sure you want to overwrite the calibration data?");
  EXPECT_EQ(app.TakeBox(kError), L"The measured values of point 1 and point 2 must differ.");
  // Unticked, the applied points are locked at their defaults again.
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_ALLOW_POINTS));
  EXPECT_TRUE(app.WaitForText(dialog, IDC_CAL_APPLIED1, L"4000", 3000));
  EXPECT_FALSE(app.IsEnabled(dialog, IDC_CAL_APPLIED1));
  EXPECT_EQ(app.CountSent("02 0C E3 "), 0);
  // Read: 30 samples while the button says "Wait" and nothing else that could
  // change the reading works; 5 V against an applied 20000 mV gets a warning.
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_READ2));
  ASSERT_TRUE(app.WaitForText(dialog, IDC_CAL_READ2, L"Wait", 2000));
  EXPECT_FALSE(app.IsEnabled(dialog, IDC_CAL_CALIBRATE));
  EXPECT_FALSE(app.IsEnabled(dialog, IDC_CAL_CHANNEL));
  EXPECT_EQ(app.TakeBox(kError, IDOK, 15000), L"The measured value is not close to the applied value.");
  ASSERT_TRUE(app.WaitForText(dialog, IDC_CAL_READ2, L"Read"));
  EXPECT_NEAR(ui::Number(app.Text(dialog, IDC_CAL_MEASURED2)), 5000.0, 150.0);
  // Calibrate: No writes nothing; Yes writes this month's record and shows it.
  app.SetText(dialog, IDC_CAL_MEASURED1, L"4010");
  app.SetText(dialog, IDC_CAL_MEASURED2, L"19950");
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_CALIBRATE));
  ASSERT_NE(box = app.WaitForDialog(kQuestion), nullptr);
  EXPECT_EQ(GetWindowLongW(GetDlgItem(box, IDNO), GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);  // No by default
  EXPECT_FALSE(IsWindowEnabled(dialog));
  app.Answer(box, IDNO);
  Sleep(500);
  EXPECT_EQ(app.CountSent("02 0C E3 "), 0);
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_CALIBRATE));
  SYSTEMTIME today;
  GetLocalTime(&today);
  wchar_t month[16];
  std::swprintf(month, 16, L"%04d/%02d", today.wYear, today.wMonth);
  app.TakeBox(kQuestion, IDYES);
  EXPECT_TRUE(app.WaitSent(VbusRecordFrame(today, {4000, 4010, 20000, 19950}), 1, 5000));
  EXPECT_TRUE(app.WaitForText(dialog, IDC_CAL_DATE, month));
  EXPECT_NEAR(ui::Number(app.Text(dialog, IDC_CAL_GAIN)), 1.003764, 1e-6);  // (4000 - 20000) / (4010 - 19950)
  // Reset asks, then clears that channel alone, here and on the tester.
  ASSERT_TRUE(channel(1, L"2025/11"));
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_RESET));
  EXPECT_EQ(app.TakeBox(kQuestion, IDYES), L"Are you sure you want to reset the calibration data?");
  EXPECT_TRUE(app.WaitSent(ui::FrameHex(0xE5, {0x01}), 1, 5000));
  EXPECT_TRUE(app.WaitForText(dialog, IDC_CAL_DATE, L"N/A"));
  EXPECT_EQ(app.Text(dialog, IDC_CAL_GAIN), L"N/A");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED1), L"");
  EXPECT_TRUE(channel(0, month));
  // A tester unplugged while a point is read: the reading is abandoned.
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_READ1));
  ASSERT_TRUE(app.WaitForText(dialog, IDC_CAL_READ1, L"Wait", 2000));
  app.Sim("unplug VXPD0001");
  EXPECT_EQ(app.TakeBox(kError), L"The tester is no longer connected. The reading was abandoned.");
  EXPECT_TRUE(app.WaitForText(dialog, IDC_CAL_READ1, L"Read", 2000));
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED1), L"4010");
  ASSERT_TRUE(app.Close(dialog, IDCANCEL));
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
