// The Calibration dialog against the simulated KT-60: showing what the tester
// holds, reading points, checking them, writing and resetting a channel.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/ui/harness/calibration_helpers.h"
#include "tests/ui/harness/live_helpers.h"
#include "tests/ui/harness/ui_harness.h"

namespace {

constexpr const wchar_t* kErrorCaption = L"PSU Test Error";
constexpr const wchar_t* kQuestionCaption = L"PSU Test";
constexpr const wchar_t* kNotAvailable = L"N/A";
// Start, length and command byte of the write and reset frames.
constexpr const char* kWriteFramePrefix = "02 0C E3 ";
constexpr const char* kResetFramePrefix = "02 02 E5 ";

// A KT-60 with a stored calibration on both channels.
constexpr const char kCalibratedScenario[] =
    "tester VXPD0001 kt60\n"
    "  charger pd65\n"
    "  calibration vbus 2024 3 4000 3990 20000 19950\n"
    "  calibration current 2025 11 502 500 3010 3000\n"
    "end\n";

// Opens the dialog and waits until it has read the tester (its controls are
// disabled meanwhile).
HWND OpenCalibration(ui::LoadpostApp& app) {
  if (!ui::WaitForLiveVbus(app)) return nullptr;
  if (!app.Click(IDC_CALIBRATION)) return nullptr;
  HWND dialog = app.WaitForDialog(L"Calibration");
  return dialog && ui::WaitUntil([&] { return app.IsEnabled(dialog, IDOK); }) ? dialog : nullptr;
}

bool CloseDialog(ui::LoadpostApp& app, HWND dialog, int button) {
  if (!app.Click(dialog, button)) return false;
  return ui::WaitUntil([&] { return !IsWindow(dialog); }, 5000);
}

double Number(const ui::LoadpostApp& app, HWND dialog, int id) { return ui::LeadingNumber(app.Text(dialog, id)); }

// The box the dialog shows for this caption: its text, after checking that it
// belongs to the dialog, then answered with `answer`.
std::wstring TakeBox(const ui::LoadpostApp& app, HWND dialog, const wchar_t* caption, int answer = IDOK) {
  HWND box = ui::WaitForBox(app, caption);
  if (!box) return L"";
  EXPECT_EQ(GetWindow(box, GW_OWNER), dialog);
  const std::wstring text = ui::LoadpostApp::MessageText(box);
  app.Answer(box, answer);
  return text;
}

// Reads a point and waits until its button is back; returns the box text the
// reading produced, if any.
std::wstring ReadPoint(const ui::LoadpostApp& app, HWND dialog, int button) {
  if (!app.Click(dialog, button)) return L"(not clickable)";
  std::wstring boxText;
  ui::WaitUntil(
      [&] {
        if (HWND box = app.WaitForDialog(kErrorCaption, 0)) {
          boxText = ui::LoadpostApp::MessageText(box);
          app.Answer(box, IDOK);
        }
        return app.Text(dialog, button) == L"Read" && app.IsEnabled(dialog, button);
      },
      15000);
  return boxText;
}

std::string CalibrationFrame(uint8_t channel, const SYSTEMTIME& date, int16_t ref1, int16_t tester1, int16_t ref2,
                             int16_t tester2) {
  const uint8_t yearByte = static_cast<uint8_t>((date.wYear - 2020) & 0xFF);
  return ui::FrameHex(0xE3, {channel, yearByte, static_cast<uint8_t>(date.wMonth), ui::Lo(ref1), ui::Hi(ref1),
                             ui::Lo(tester1), ui::Hi(tester1), ui::Lo(ref2), ui::Hi(ref2), ui::Lo(tester2),
                             ui::Hi(tester2)});
}

std::wstring DateText(const SYSTEMTIME& date) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%04d/%02d", date.wYear, date.wMonth);
  return text;
}

TEST(Calibration, OpensShowingTheStoredCalibrationOfEachChannel) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::WriteScenario(L"calibrated", kCalibratedScenario)));
  HWND dialog = OpenCalibration(app);
  ASSERT_NE(dialog, nullptr);
  EXPECT_FALSE(IsWindowEnabled(app.Main()));  // modal over the main window

  EXPECT_EQ(app.ComboItems(dialog, IDC_CAL_CHANNEL), (std::vector<std::wstring>{L"VBUS", L"Current"}));
  EXPECT_EQ(app.ComboSelection(dialog, IDC_CAL_CHANNEL), 0);
  EXPECT_EQ(app.Text(dialog, IDC_CAL_DATE), L"2024/03");
  // gain = (4000 - 20000) / (3990 - 19950), offset = 4000 - 3990 x gain
  EXPECT_NEAR(Number(app, dialog, IDC_CAL_GAIN), 1.002506, 1e-6);
  EXPECT_NEAR(Number(app, dialog, IDC_CAL_OFFSET), 0.0, 0.01);
  EXPECT_EQ(app.Text(dialog, IDC_CAL_APPLIED1), L"4000");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_APPLIED2), L"20000");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED1), L"3990");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED2), L"19950");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_APPLIED_HEADER), L"Power Supply");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED_HEADER), L"KT-60");
  EXPECT_FALSE(app.IsEnabled(dialog, IDC_CAL_APPLIED1));
  EXPECT_FALSE(app.IsEnabled(dialog, IDC_CAL_APPLIED2));
  EXPECT_TRUE(app.IsEnabled(dialog, IDC_CAL_READ1));
  EXPECT_TRUE(app.IsEnabled(dialog, IDC_CAL_READ2));
  EXPECT_EQ(SendMessageW(GetDlgItem(dialog, IDC_CAL_ALLOW_POINTS), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_FALSE(app.Screenshot(L"calibration_dialog_vbus", dialog).empty());

  // The current channel: the tester applies the load (first column), the
  // multimeter measures it.
  app.ChooseComboRow(dialog, IDC_CAL_CHANNEL, 1);
  ASSERT_TRUE(ui::WaitForControlText(app, dialog, IDC_CAL_DATE, L"2025/11"));
  EXPECT_EQ(app.Text(dialog, IDC_CAL_APPLIED1), L"500");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_APPLIED2), L"3000");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED1), L"502");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED2), L"3010");
  EXPECT_NEAR(Number(app, dialog, IDC_CAL_GAIN), 1.0032, 1e-6);  // (502 - 3010) / (500 - 3000)
  EXPECT_NEAR(Number(app, dialog, IDC_CAL_OFFSET), 0.4, 1e-3);   // 502 - 500 x gain
  EXPECT_EQ(app.Text(dialog, IDC_CAL_APPLIED_HEADER), L"KT-60");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED_HEADER), L"Multimeter");
  EXPECT_FALSE(app.IsEnabled(dialog, IDC_CAL_READ1));
  EXPECT_FALSE(app.IsEnabled(dialog, IDC_CAL_READ2));
  EXPECT_GE(app.CountFrames("RX", ui::FrameHex(0xE4, {0x01})), 1);
  app.Screenshot(L"calibration_dialog_current", dialog);

  // Back on VBUS the tester is read again. Its reply is slow this time: the
  // dialog waits with its controls disabled and keeps answering meanwhile.
  app.SimCommand("fault gap E4 1 400ms");
  Sleep(200);
  app.ChooseComboRow(dialog, IDC_CAL_CHANNEL, 0);
  EXPECT_TRUE(ui::WaitUntil([&] { return !app.IsEnabled(dialog, IDOK); }, 300, 5));
  DWORD_PTR answer = 0;
  EXPECT_NE(SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 200, &answer), 0);
  EXPECT_FALSE(app.IsEnabled(dialog, IDC_CAL_CHANNEL));
  ASSERT_TRUE(ui::WaitForControlText(app, dialog, IDC_CAL_DATE, L"2024/03"));
  EXPECT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(dialog, IDOK); }));
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED2), L"19950");

  // Cancel writes nothing.
  ASSERT_TRUE(CloseDialog(app, dialog, IDCANCEL));
  EXPECT_EQ(app.CountFrames("RX", kWriteFramePrefix), 0);
  EXPECT_EQ(app.CountFrames("RX", kResetFramePrefix), 0);
  EXPECT_EQ(app.Exit(), 0);
}

TEST(Calibration, ReadAveragesTheLiveVbusWhileTheDialogKeepsWorking) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  HWND dialog = OpenCalibration(app);
  ASSERT_NE(dialog, nullptr);
  // An uncalibrated channel: defaults, nothing measured.
  EXPECT_EQ(app.Text(dialog, IDC_CAL_DATE), kNotAvailable);
  EXPECT_EQ(app.Text(dialog, IDC_CAL_GAIN), kNotAvailable);
  EXPECT_EQ(app.Text(dialog, IDC_CAL_OFFSET), kNotAvailable);
  EXPECT_EQ(app.Text(dialog, IDC_CAL_APPLIED1), L"4000");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_APPLIED2), L"20000");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED1), L"");

  // While the 30 samples are taken the button says "Wait" (the dialog answers
  // while it samples) and nothing else that could change the reading works.
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_READ1));
  ASSERT_TRUE(ui::WaitForControlText(app, dialog, IDC_CAL_READ1, L"Wait", 2000));
  EXPECT_FALSE(app.IsEnabled(dialog, IDC_CAL_READ1));
  EXPECT_FALSE(app.IsEnabled(dialog, IDC_CAL_CALIBRATE));
  EXPECT_FALSE(app.IsEnabled(dialog, IDC_CAL_CHANNEL));
  app.Screenshot(L"calibration_reading", dialog);
  ASSERT_TRUE(ui::WaitUntil([&] { return app.Text(dialog, IDC_CAL_READ1) == L"Read"; }, 15000));
  EXPECT_TRUE(app.IsEnabled(dialog, IDC_CAL_READ1));
  EXPECT_TRUE(app.IsEnabled(dialog, IDC_CAL_CALIBRATE));
  EXPECT_NEAR(Number(app, dialog, IDC_CAL_MEASURED1), 5000.0, 150.0);

  // Point 2 at 5 V against an applied 20000 mV is far off: a warning, and the
  // reading is still used.
  EXPECT_EQ(ReadPoint(app, dialog, IDC_CAL_READ2), L"The measured value is not close to the applied value.");
  EXPECT_NEAR(Number(app, dialog, IDC_CAL_MEASURED2), 5000.0, 150.0);

  // With the source at 20 V the reading agrees with the applied point.
  app.SimCommand("newprofile 4");
  ASSERT_TRUE(ui::WaitUntil([&] { return ui::LeadingNumber(app.Text(IDC_VBUS)) > 19.5; }, 15000));
  EXPECT_EQ(ReadPoint(app, dialog, IDC_CAL_READ2), L"");
  EXPECT_NEAR(Number(app, dialog, IDC_CAL_MEASURED2), 20000.0, 300.0);
  EXPECT_EQ(app.CountFrames("RX", kWriteFramePrefix), 0);  // reading writes nothing
  ASSERT_TRUE(CloseDialog(app, dialog, IDOK));
  EXPECT_EQ(app.Exit(), 0);
}

TEST(Calibration, ReadIsAbandonedWhenTheTesterIsUnplugged) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  HWND dialog = OpenCalibration(app);
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_READ1));
  ASSERT_TRUE(ui::WaitForControlText(app, dialog, IDC_CAL_READ1, L"Wait", 2000));
  app.SimCommand("unplug VXPD0001");
  EXPECT_EQ(TakeBox(app, dialog, kErrorCaption), L"The tester is no longer connected. The reading was abandoned.");
  EXPECT_TRUE(ui::WaitForControlText(app, dialog, IDC_CAL_READ1, L"Read", 2000));
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED1), L"");
  ASSERT_TRUE(CloseDialog(app, dialog, IDCANCEL));
  EXPECT_EQ(app.Exit(), 0);
}

TEST(Calibration, PointsAreCheckedBeforeAnythingIsMeasuredOrWritten) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  HWND dialog = OpenCalibration(app);
  ASSERT_NE(dialog, nullptr);

  ASSERT_TRUE(app.Click(dialog, IDC_CAL_ALLOW_POINTS));
  ASSERT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(dialog, IDC_CAL_APPLIED1); }, 3000));
  EXPECT_TRUE(app.IsEnabled(dialog, IDC_CAL_APPLIED2));

  struct Case {
    const wchar_t* point1;
    const wchar_t* point2;
    int button;
    const wchar_t* message;
  } cases[] = {
      {L"3799", L"20000", IDC_CAL_READ1, L"Invalid calibration point. Point 1 should be equal or greater than 3800."},
      {L"-", L"20000", IDC_CAL_READ1, L"Invalid calibration point. Point 1 should be equal or greater than 3800."},
      {L"4k", L"20000", IDC_CAL_READ1, L"\"To be applied value\" for point 1 is incorrect"},
      {L"13000", L"22000", IDC_CAL_READ2, L"Invalid calibration point. Point 2 should be equal or less than 21000."},
      {L"4000", L"13999", IDC_CAL_READ2,
       L"Invalid calibration point. point 1 and point 2 should be at least 10000 apart."},
      {L"4000", L"2x", IDC_CAL_READ2, L"\"To be applied value\" for point 2 is incorrect"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ui::Narrow(std::wstring(c.point1) + L" / " + c.point2));
    app.SetText(dialog, IDC_CAL_APPLIED1, c.point1);
    app.SetText(dialog, IDC_CAL_APPLIED2, c.point2);
    ASSERT_TRUE(app.Click(dialog, c.button));
    EXPECT_EQ(TakeBox(app, dialog, kErrorCaption), c.message);
    // A refused reading gives the button back at once and measures nothing.
    EXPECT_TRUE(ui::WaitForControlText(app, dialog, c.button, L"Read", 2000));
    EXPECT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(dialog, c.button); }, 2000));
    EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED1), L"");
    EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED2), L"");
  }

  // Calibrate asks first, then checks the applied points (the bounds 3800 and
  // 21000 themselves are allowed) and the measured ones.
  struct CalibrateCase {
    const wchar_t* point1;
    const wchar_t* point2;
    const wchar_t* measured1;
    const wchar_t* measured2;
    const wchar_t* message;
  } calibrateCases[] = {
      {L"3800", L"21000", L"", L"", L"Please carry out the measurement for point 1"},
      {L"3800", L"21000", L"3810", L"", L"Please carry out the measurement for point 2"},
      {L"3800", L"21000", L"5000", L"5000", L"The measured values of point 1 and point 2 must differ."},
  };
  for (const CalibrateCase& c : calibrateCases) {
    SCOPED_TRACE(ui::Narrow(std::wstring(c.point1) + L" / " + c.point2 + L" / " + c.measured1 + L" / " + c.measured2));
    app.SetText(dialog, IDC_CAL_APPLIED1, c.point1);
    app.SetText(dialog, IDC_CAL_APPLIED2, c.point2);
    app.SetText(dialog, IDC_CAL_MEASURED1, c.measured1);
    app.SetText(dialog, IDC_CAL_MEASURED2, c.measured2);
    ASSERT_TRUE(app.Click(dialog, IDC_CAL_CALIBRATE));
    EXPECT_EQ(TakeBox(app, dialog, kQuestionCaption, IDYES),
              L"Are you sure you want to overwrite the calibration data?");
    EXPECT_EQ(TakeBox(app, dialog, kErrorCaption), c.message);
  }
  EXPECT_EQ(app.Text(dialog, IDC_CAL_DATE), kNotAvailable);

  // Unticking the box locks the applied points and restores the defaults.
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_ALLOW_POINTS));
  EXPECT_TRUE(ui::WaitForControlText(app, dialog, IDC_CAL_APPLIED1, L"4000", 3000));
  EXPECT_EQ(app.Text(dialog, IDC_CAL_APPLIED2), L"20000");
  EXPECT_FALSE(app.IsEnabled(dialog, IDC_CAL_APPLIED1));

  // The current channel has its own bounds and defaults, and no Read.
  app.ChooseComboRow(dialog, IDC_CAL_CHANNEL, 1);
  ASSERT_TRUE(ui::WaitForControlText(app, dialog, IDC_CAL_MEASURED_HEADER, L"Multimeter"));
  EXPECT_EQ(app.Text(dialog, IDC_CAL_APPLIED1), L"500");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_APPLIED2), L"3000");
  EXPECT_FALSE(app.Click(dialog, IDC_CAL_READ1));
  EXPECT_FALSE(app.Click(dialog, IDC_CAL_READ2));
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_ALLOW_POINTS));
  ASSERT_TRUE(ui::WaitUntil([&] { return app.IsEnabled(dialog, IDC_CAL_APPLIED1); }, 3000));
  app.SetText(dialog, IDC_CAL_APPLIED1, L"474");
  app.SetText(dialog, IDC_CAL_MEASURED1, L"480");
  app.SetText(dialog, IDC_CAL_MEASURED2, L"3000");
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_CALIBRATE));
  TakeBox(app, dialog, kQuestionCaption, IDYES);
  EXPECT_EQ(TakeBox(app, dialog, kErrorCaption),
            L"Invalid calibration point. Point 1 should be equal or greater than 475.");
  app.SetText(dialog, IDC_CAL_APPLIED1, L"600");
  app.SetText(dialog, IDC_CAL_APPLIED2, L"2500");
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_ALLOW_POINTS));
  EXPECT_TRUE(ui::WaitForControlText(app, dialog, IDC_CAL_APPLIED1, L"500", 3000));
  EXPECT_EQ(app.Text(dialog, IDC_CAL_APPLIED2), L"3000");

  // None of this reached the tester.
  EXPECT_EQ(app.CountFrames("RX", kWriteFramePrefix), 0);
  ASSERT_TRUE(CloseDialog(app, dialog, IDCANCEL));
  EXPECT_EQ(app.Exit(), 0);
}

TEST(Calibration, CalibrateWritesTheChannelAndResetClearsIt) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  HWND dialog = OpenCalibration(app);
  ASSERT_NE(dialog, nullptr);
  app.SetText(dialog, IDC_CAL_MEASURED1, L"4010");
  app.SetText(dialog, IDC_CAL_MEASURED2, L"19950");

  // The question: Yes and No, No by default; while it is open the dialog waits.
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_CALIBRATE));
  HWND question = ui::WaitForBox(app, kQuestionCaption);
  ASSERT_NE(question, nullptr);
  EXPECT_EQ(ui::LoadpostApp::MessageText(question), L"Are you sure you want to overwrite the calibration data?");
  EXPECT_NE(GetDlgItem(question, IDYES), nullptr);
  EXPECT_NE(GetDlgItem(question, IDNO), nullptr);
  EXPECT_EQ(GetDlgItem(question, IDOK), nullptr);
  // No is the default: it has the default frame and the keyboard focus.
  EXPECT_EQ(GetWindowLongW(GetDlgItem(question, IDNO), GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
  GUITHREADINFO thread = {};
  thread.cbSize = sizeof(thread);
  ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(question, nullptr), &thread));
  EXPECT_EQ(thread.hwndFocus, GetDlgItem(question, IDNO));
  EXPECT_FALSE(IsWindowEnabled(dialog));
  app.Screenshot(L"calibration_question", question);
  app.Answer(question, IDNO);
  Sleep(500);
  EXPECT_EQ(app.CountFrames("RX", kWriteFramePrefix), 0);
  EXPECT_EQ(app.Text(dialog, IDC_CAL_DATE), kNotAvailable);

  ASSERT_TRUE(app.Click(dialog, IDC_CAL_CALIBRATE));
  SYSTEMTIME today;
  GetLocalTime(&today);
  EXPECT_EQ(TakeBox(app, dialog, kQuestionCaption, IDYES), L"Are you sure you want to overwrite the calibration data?");
  ASSERT_TRUE(ui::WaitUntil([&] { return app.CountFrames("RX", kWriteFramePrefix) == 1; }, 5000));
  // VBUS record: (applied 1, measured 1, applied 2, measured 2), this month.
  EXPECT_EQ(app.CountFrames("RX", CalibrationFrame(0, today, 4000, 4010, 20000, 19950)), 1);
  ASSERT_TRUE(ui::WaitForControlText(app, dialog, IDC_CAL_DATE, DateText(today)));
  // gain = (4000 - 20000) / (4010 - 19950), offset = 4000 - 4010 x gain
  EXPECT_NEAR(Number(app, dialog, IDC_CAL_GAIN), 1.003764, 1e-6);
  EXPECT_NEAR(Number(app, dialog, IDC_CAL_OFFSET), -25.0941, 2e-3);
  const std::wstring gainText = app.Text(dialog, IDC_CAL_GAIN);
  const std::wstring offsetText = app.Text(dialog, IDC_CAL_OFFSET);
  app.Screenshot(L"calibration_written", dialog);
  ASSERT_TRUE(CloseDialog(app, dialog, IDOK));

  // Opened again, the dialog shows what the tester now holds.
  dialog = OpenCalibration(app);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(app.Text(dialog, IDC_CAL_DATE), DateText(today));
  EXPECT_EQ(app.Text(dialog, IDC_CAL_GAIN), gainText);
  EXPECT_EQ(app.Text(dialog, IDC_CAL_OFFSET), offsetText);
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED1), L"4010");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED2), L"19950");

  // The current channel's record puts the multimeter's values first.
  app.ChooseComboRow(dialog, IDC_CAL_CHANNEL, 1);
  ASSERT_TRUE(ui::WaitForControlText(app, dialog, IDC_CAL_MEASURED_HEADER, L"Multimeter"));
  app.SetText(dialog, IDC_CAL_MEASURED1, L"505");
  app.SetText(dialog, IDC_CAL_MEASURED2, L"2990");
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_CALIBRATE));
  TakeBox(app, dialog, kQuestionCaption, IDYES);
  ASSERT_TRUE(ui::WaitUntil([&] { return app.CountFrames("RX", kWriteFramePrefix) == 2; }, 5000));
  EXPECT_EQ(app.CountFrames("RX", CalibrationFrame(1, today, 505, 500, 2990, 3000)), 1);
  ASSERT_TRUE(ui::WaitForControlText(app, dialog, IDC_CAL_DATE, DateText(today)));
  EXPECT_NEAR(Number(app, dialog, IDC_CAL_GAIN), 0.994, 1e-6);  // (505 - 2990) / (500 - 3000)
  EXPECT_NEAR(Number(app, dialog, IDC_CAL_OFFSET), 8.0, 1e-3);  // 505 - 500 x gain

  // Reset: its own question, then the channel is cleared here and on the tester.
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_ALLOW_POINTS));
  ASSERT_TRUE(app.Click(dialog, IDC_CAL_RESET));
  EXPECT_EQ(TakeBox(app, dialog, kQuestionCaption, IDYES), L"Are you sure you want to reset the calibration data?");
  ASSERT_TRUE(ui::WaitUntil([&] { return app.CountFrames("RX", ui::FrameHex(0xE5, {0x01})) == 1; }, 5000));
  EXPECT_TRUE(ui::WaitForControlText(app, dialog, IDC_CAL_DATE, kNotAvailable));
  EXPECT_EQ(app.Text(dialog, IDC_CAL_GAIN), kNotAvailable);
  EXPECT_EQ(app.Text(dialog, IDC_CAL_OFFSET), kNotAvailable);
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED1), L"");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_MEASURED2), L"");
  EXPECT_EQ(app.Text(dialog, IDC_CAL_APPLIED1), L"500");
  EXPECT_EQ(SendMessageW(GetDlgItem(dialog, IDC_CAL_ALLOW_POINTS), BM_GETCHECK, 0, 0), BST_UNCHECKED);
  EXPECT_FALSE(app.IsEnabled(dialog, IDC_CAL_APPLIED1));

  // The reset touched only the current channel.
  app.ChooseComboRow(dialog, IDC_CAL_CHANNEL, 0);
  EXPECT_TRUE(ui::WaitForControlText(app, dialog, IDC_CAL_DATE, DateText(today)));
  app.ChooseComboRow(dialog, IDC_CAL_CHANNEL, 1);
  EXPECT_TRUE(ui::WaitForControlText(app, dialog, IDC_CAL_DATE, kNotAvailable));
  ASSERT_TRUE(CloseDialog(app, dialog, IDCANCEL));
  EXPECT_EQ(app.Exit(), 0);
}

TEST(Calibration, OnlyAConnectedKt60CanBeCalibrated) {
  {
    ui::LoadpostApp app;
    ASSERT_TRUE(app.Start(ui::Scenario(L"kt40")));
    ASSERT_TRUE(ui::WaitForLiveVbus(app));
    ASSERT_TRUE(app.Click(IDC_CALIBRATION));
    EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), L"Calibration only works on KT-60 testers.");
    EXPECT_EQ(app.WaitForDialog(L"Calibration", 500), nullptr);
    EXPECT_EQ(app.Exit(), 0);
  }
  {
    ui::LoadpostApp app;
    ASSERT_TRUE(app.Start(ui::Scenario(L"no-devices")));
    EXPECT_NE(app.TakeMessageBox(L"Loadpost: Error"), L"");  // nothing found at start-up
    ASSERT_TRUE(app.Click(IDC_CALIBRATION));
    EXPECT_EQ(app.TakeMessageBox(L"Loadpost: Error"), L"No Loadpost device selected.");
    EXPECT_EQ(app.WaitForDialog(L"Calibration", 500), nullptr);
    EXPECT_EQ(app.Exit(), 0);
  }
}

}  // namespace
