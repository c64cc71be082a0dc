// The Calibration dialog of a KT-60: shows the two-point calibration the tester
// holds for each channel, collects a new pair of points against an external
// reference, checks them and writes them to the tester, or resets a channel.
//
// The Read buttons average 30 of the monitor loop's readings, one every 100 ms.
// The sampling runs on a dialog timer, so the dialog keeps painting and the
// monitor loop keeps measuring while the user waits. The exchanges with the
// tester (reading, writing and resetting a channel) run off the window thread;
// meanwhile the dialog's controls are disabled and it shows a busy cursor.
#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>

#include "core/link/calibration_math.h"
#include "core/link/tester_link_win.h"
#include "window/resources/resource_ids.h"
#include "window/shell/app_tester_win.h"
#include "window/shell/app_win.h"
#include "window/shell/ui_jobs_win.h"

namespace {

constexpr UINT_PTR kSampleTimerId = 1;
constexpr int kEditChars = 32;

constexpr const wchar_t* kOverwriteQuestion = L"Are you sure you want to overwrite the calibration data?";
constexpr const wchar_t* kResetQuestion = L"Are you sure you want to reset the calibration data?";
constexpr const wchar_t* kWriteFailedText = L"The calibration data could not be written to the tester.";
constexpr const wchar_t* kResetFailedText = L"The calibration data on the tester could not be reset.";
constexpr const wchar_t* kTesterGoneText = L"The tester is no longer connected. The reading was abandoned.";

// A Read in progress. One per open dialog, kept in the dialog's user data.
struct Sampling {
  bool running = false;
  int point = 0;          // 1 or 2
  int channelRow = 0;     // channel whose reading is taken
  int samples = 0;        // taken so far
  int64_t total = 0;      // running total (mV or mA)
  int32_t appliedPoint2 = 0;
  bool exchanging = false;  // an exchange with the tester runs off the window thread
  unsigned exchange = 0;    // number of the latest exchange
};

Sampling* StateOf(HWND dialog) { return reinterpret_cast<Sampling*>(GetWindowLongPtrW(dialog, DWLP_USER)); }

int SelectedRow(HWND dialog) {
  const int row = static_cast<int>(SendDlgItemMessageW(dialog, IDC_CAL_CHANNEL, CB_GETCURSEL, 0, 0));
  return GetCalibrationChannel(row) ? row : 0;
}

const CalibrationChannel& SelectedChannel(HWND dialog) { return *GetCalibrationChannel(SelectedRow(dialog)); }

void SetNumber(HWND dialog, int id, int32_t value) {
  wchar_t text[kEditChars];
  std::swprintf(text, kEditChars, L"%d", static_cast<int>(value));
  SetDlgItemTextW(dialog, id, text);
}


// Message boxes of the dialog. They are owned by the dialog itself so that the
// dialog cannot be used (a second Calibrate, another Read) while one is open.
void ShowCalibrationError(HWND dialog, const wchar_t* text) {
  MessageBoxW(dialog, text, kCalibrationErrorCaption, MB_OK | MB_ICONERROR);
}

bool AskCalibrationQuestion(HWND dialog, const wchar_t* question) {
  return MessageBoxW(dialog, question, kCalibrationQuestionCaption, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) ==
         IDYES;
}

void WriteDefaultPoints(HWND dialog, const CalibrationChannel& channel) {
  SetNumber(dialog, IDC_CAL_APPLIED1, channel.defaultPoint1);
  SetNumber(dialog, IDC_CAL_APPLIED2, channel.defaultPoint2);
}

void ShowNotCalibrated(HWND dialog, const CalibrationChannel& channel) {
  SetDlgItemTextW(dialog, IDC_CAL_DATE, kCalibrationNotAvailable);
  SetDlgItemTextW(dialog, IDC_CAL_GAIN, kCalibrationNotAvailable);
  SetDlgItemTextW(dialog, IDC_CAL_OFFSET, kCalibrationNotAvailable);
  SetDlgItemTextW(dialog, IDC_CAL_MEASURED1, L"");
  SetDlgItemTextW(dialog, IDC_CAL_MEASURED2, L"");
  WriteDefaultPoints(dialog, channel);
}

void ShowDate(HWND dialog, int year, int month) {
  wchar_t text[kEditChars];
  FormatCalibrationDate(year, month, text, kEditChars);
  SetDlgItemTextW(dialog, IDC_CAL_DATE, text);
}

void ShowLine(HWND dialog, const CalibrationPoints& points) {
  float gain = 0.0f;
  float offset = 0.0f;
  if (!CalibrationLine(points, &gain, &offset)) {
    // Stored points that make no line (equal tester values): nothing to show.
    SetDlgItemTextW(dialog, IDC_CAL_GAIN, kCalibrationNotAvailable);
    SetDlgItemTextW(dialog, IDC_CAL_OFFSET, kCalibrationNotAvailable);
    return;
  }
  wchar_t text[64];
  FormatCalibrationValue(gain, text, 64);
  SetDlgItemTextW(dialog, IDC_CAL_GAIN, text);
  FormatCalibrationValue(offset, text, 64);
  SetDlgItemTextW(dialog, IDC_CAL_OFFSET, text);
}

// Column headers and Read buttons of a channel.
void ShowChannelColumns(HWND dialog, const CalibrationChannel& channel) {
  SetDlgItemTextW(dialog, IDC_CAL_APPLIED_HEADER, channel.appliedHeader);
  SetDlgItemTextW(dialog, IDC_CAL_MEASURED_HEADER, channel.measuredHeader);
  EnableWindow(GetDlgItem(dialog, IDC_CAL_READ1), channel.readButtonsEnabled);
  EnableWindow(GetDlgItem(dialog, IDC_CAL_READ2), channel.readButtonsEnabled);
}

// A channel's calibration as the tester holds it.
struct StoredCalibration {
  int read = 0;
  uint32_t isCalibrated = 0;
  uint32_t year = 0;
  uint32_t month = 0;
  int32_t refPoint1 = 0, testerPoint1 = 0, refPoint2 = 0, testerPoint2 = 0;
};

// Shows what was read of a channel. A channel that could not be read is shown
// as not calibrated.
void ShowStored(HWND dialog, const CalibrationChannel& channel, const StoredCalibration& c) {
  if (!c.read || !c.isCalibrated) {
    ShowNotCalibrated(dialog, channel);
  } else {
    ShowDate(dialog, static_cast<int>(c.year), static_cast<int>(c.month));
    // VBUS: the power supply applied the reference, the tester measured.
    // Current: the tester applied the load, the multimeter measured it.
    const bool vbus = channel.code == 0;
    SetNumber(dialog, IDC_CAL_APPLIED1, vbus ? c.refPoint1 : c.testerPoint1);
    SetNumber(dialog, IDC_CAL_APPLIED2, vbus ? c.refPoint2 : c.testerPoint2);
    SetNumber(dialog, IDC_CAL_MEASURED1, vbus ? c.testerPoint1 : c.refPoint1);
    SetNumber(dialog, IDC_CAL_MEASURED2, vbus ? c.testerPoint2 : c.refPoint2);
    CalibrationPoints points;
    points.refPoint1 = static_cast<int16_t>(c.refPoint1);
    points.testerPoint1 = static_cast<int16_t>(c.testerPoint1);
    points.refPoint2 = static_cast<int16_t>(c.refPoint2);
    points.testerPoint2 = static_cast<int16_t>(c.testerPoint2);
    ShowLine(dialog, points);
  }
  ShowChannelColumns(dialog, channel);
}

void EnableAppliedEdits(HWND dialog, bool enable) {
  EnableWindow(GetDlgItem(dialog, IDC_CAL_APPLIED1), enable);
  EnableWindow(GetDlgItem(dialog, IDC_CAL_APPLIED2), enable);
}

bool PointsUnlocked(HWND dialog) { return IsDlgButtonChecked(dialog, IDC_CAL_ALLOW_POINTS) == BST_CHECKED; }

// While a Read runs, everything that would change its channel, its points or
// the tester waits; OK and Cancel stay available.
void LockForReading(HWND dialog, bool lock) {
  static const int kControls[] = {IDC_CAL_CHANNEL, IDC_CAL_RESET, IDC_CAL_ALLOW_POINTS, IDC_CAL_CALIBRATE};
  for (int id : kControls) EnableWindow(GetDlgItem(dialog, id), !lock);
  if (lock) {
    EnableAppliedEdits(dialog, false);
    EnableWindow(GetDlgItem(dialog, IDC_CAL_READ1), FALSE);
    EnableWindow(GetDlgItem(dialog, IDC_CAL_READ2), FALSE);
  } else {
    EnableAppliedEdits(dialog, PointsUnlocked(dialog));
    ShowChannelColumns(dialog, SelectedChannel(dialog));
  }
}

// While an exchange runs nothing in the dialog can be used; afterwards every
// control is as the dialog's state says.
void LockForExchange(HWND dialog, bool lock) {
  static const int kControls[] = {IDC_CAL_CHANNEL, IDC_CAL_RESET, IDC_CAL_ALLOW_POINTS, IDC_CAL_CALIBRATE,
                                  IDC_CAL_READ1,   IDC_CAL_READ2, IDC_CAL_APPLIED1,     IDC_CAL_APPLIED2,
                                  IDOK,            IDCANCEL};
  if (lock) {
    for (int id : kControls) EnableWindow(GetDlgItem(dialog, id), FALSE);
  } else {
    LockForReading(dialog, false);
    EnableWindow(GetDlgItem(dialog, IDOK), TRUE);
    EnableWindow(GetDlgItem(dialog, IDCANCEL), TRUE);
  }
  POINT at;
  HWND under = GetCursorPos(&at) ? WindowFromPoint(at) : nullptr;
  if (under && (under == dialog || IsChild(dialog, under))) {
    SendMessageW(under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  }
}

// Runs `exchange` (talking to the tester) off the window thread, then `shown`
// with its result on the window thread, provided the dialog is still open.
template <typename Result>
void RunExchange(HWND dialog, std::function<Result()> exchange, std::function<void(HWND, const Result&)> shown) {
  Sampling* state = StateOf(dialog);
  if (!state) return;
  state->exchanging = true;
  const unsigned number = ++state->exchange;
  LockForExchange(dialog, true);
  auto result = std::make_shared<Result>();
  auto finish = [dialog, number, result, shown] {
    Sampling* now = IsWindow(dialog) ? StateOf(dialog) : nullptr;
    if (!now || now->exchange != number) return;
    now->exchanging = false;
    LockForExchange(dialog, false);
    shown(dialog, *result);
  };
  if (!RunOffUiThread([result, exchange] { *result = exchange(); }, finish)) finish();
}

bool Exchanging(HWND dialog) {
  const Sampling* state = StateOf(dialog);
  return state && state->exchanging;
}

// Reads the channel's calibration from the tester and shows it.
void ShowChannel(HWND dialog, int row) {
  const CalibrationChannel* channel = GetCalibrationChannel(row);
  if (!channel) return;
  const uint8_t code = channel->code;
  RunExchange<StoredCalibration>(
      dialog,
      [code] {
        StoredCalibration c;
        c.read = testerLink.ReadCalibration(code, &c.isCalibrated, &c.year, &c.month, &c.refPoint1, &c.testerPoint1,
                                            &c.refPoint2, &c.testerPoint2);
        return c;
      },
      [channel](HWND d, const StoredCalibration& c) { ShowStored(d, *channel, c); });
}

int ReadButtonOf(int point) { return point == 1 ? IDC_CAL_READ1 : IDC_CAL_READ2; }

void EndReading(HWND dialog, Sampling& state) {
  KillTimer(dialog, kSampleTimerId);
  state.running = false;
  HWND button = GetDlgItem(dialog, ReadButtonOf(state.point));
  SetWindowTextW(button, L"Read");
  LockForReading(dialog, false);
  HWND focus = GetFocus();
  if (!focus || !IsWindowEnabled(focus)) SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(button), TRUE);
}

void StartReading(HWND dialog, int point) {
  Sampling* state = StateOf(dialog);
  if (!state || state->running || state->exchanging) return;
  HWND button = GetDlgItem(dialog, ReadButtonOf(point));
  SetWindowTextW(button, L"Wait");
  EnableWindow(button, FALSE);

  const CalibrationChannel& channel = SelectedChannel(dialog);
  const std::wstring point1 = DialogItemText(dialog, IDC_CAL_APPLIED1);
  const std::wstring point2 = DialogItemText(dialog, IDC_CAL_APPLIED2);
  const CalibrationValidation check = ValidateCalibrationPoints(channel, point1.c_str(), point2.c_str(), point == 1);
  wchar_t message[160];
  if (FormatCalibrationMessage(check, message, 160)) {
    ShowCalibrationError(dialog, message);
    SetWindowTextW(button, L"Read");
    EnableWindow(button, channel.readButtonsEnabled);
    return;
  }

  state->running = true;
  state->point = point;
  state->channelRow = SelectedRow(dialog);
  state->samples = 0;
  state->total = 0;
  state->appliedPoint2 = check.point2;
  LockForReading(dialog, true);
  SetTimer(dialog, kSampleTimerId, kCalibrationSampleIntervalMs, nullptr);
}

// One sample of a Read; the 30th finishes it.
void TakeSample(HWND dialog) {
  Sampling* state = StateOf(dialog);
  if (!state || !state->running) {
    KillTimer(dialog, kSampleTimerId);
    return;
  }
  if (!live.testerConnected) {
    // The readings of an unplugged tester no longer change: averaging them
    // would calibrate against stale values.
    EndReading(dialog, *state);
    ShowCalibrationError(dialog, kTesterGoneText);
    return;
  }
  const CalibrationChannel& channel = *GetCalibrationChannel(state->channelRow);
  if (channel.code == 0) {
    state->total = AddVbusSample(state->total, live.vbusVolts.load());
  } else {
    state->total = AddCurrentSample(state->total, live.measuredCurrentMa.load());
  }
  if (++state->samples < kCalibrationSamples) return;

  KillTimer(dialog, kSampleTimerId);
  const int32_t reading = AverageReading(state->total, kCalibrationSamples);
  if (state->point == 2 && ReadingDeviates(reading, state->appliedPoint2)) {
    ShowCalibrationError(dialog, kReadingDeviatesText);
  }
  SetNumber(dialog, state->point == 1 ? IDC_CAL_MEASURED1 : IDC_CAL_MEASURED2, reading);
  EndReading(dialog, *state);
}

void Calibrate(HWND dialog) {
  if (!AskCalibrationQuestion(dialog, kOverwriteQuestion)) return;

  const CalibrationChannel& channel = SelectedChannel(dialog);
  const std::wstring point1 = DialogItemText(dialog, IDC_CAL_APPLIED1);
  const std::wstring point2 = DialogItemText(dialog, IDC_CAL_APPLIED2);
  const CalibrationValidation check = ValidateCalibrationPoints(channel, point1.c_str(), point2.c_str(), false);
  wchar_t message[160];
  if (FormatCalibrationMessage(check, message, 160)) {
    ShowCalibrationError(dialog, message);
    return;
  }

  const std::wstring measured1 = DialogItemText(dialog, IDC_CAL_MEASURED1);
  const std::wstring measured2 = DialogItemText(dialog, IDC_CAL_MEASURED2);
  int32_t m1 = 0;
  int32_t m2 = 0;
  const MeasuredCheck measured = CheckMeasuredPoints(measured1.c_str(), measured2.c_str(), &m1, &m2);
  if (measured != MeasuredCheck::Ok) {
    ShowCalibrationError(dialog, MeasuredCheckMessage(measured));
    return;
  }

  SYSTEMTIME now;
  GetLocalTime(&now);
  const CalibrationPoints points = MakeCalibrationPoints(channel.code, check.point1, check.point2, m1, m2);
  const uint8_t code = channel.code;
  RunExchange<int>(
      dialog,
      [code, now, points] {
        return testerLink.WriteCalibration(code, now.wYear, static_cast<uint8_t>(now.wMonth), points.refPoint1,
                                           points.testerPoint1, points.refPoint2, points.testerPoint2);
      },
      [now, points](HWND d, const int& written) {
        if (!written) {
          ShowCalibrationError(d, kWriteFailedText);
          return;
        }
        ShowLine(d, points);
        ShowDate(d, now.wYear, now.wMonth);
      });
}

void ResetChannel(HWND dialog) {
  if (!AskCalibrationQuestion(dialog, kResetQuestion)) return;
  const int row = SelectedRow(dialog);
  const CalibrationChannel& channel = *GetCalibrationChannel(row);
  CheckDlgButton(dialog, IDC_CAL_ALLOW_POINTS, BST_UNCHECKED);
  EnableAppliedEdits(dialog, false);
  ShowNotCalibrated(dialog, channel);
  const uint8_t code = channel.code;
  RunExchange<int>(
      dialog, [code] { return testerLink.ResetCalibration(code); },
      [row](HWND d, const int& reset) {
        if (reset) return;
        ShowCalibrationError(d, kResetFailedText);
        ShowChannel(d, row);  // show what the tester still holds
      });
}

void OnAllowPointsClicked(HWND dialog) {
  const bool unlocked = PointsUnlocked(dialog);
  EnableAppliedEdits(dialog, unlocked);
  if (!unlocked) WriteDefaultPoints(dialog, SelectedChannel(dialog));
}

void InitDialog(HWND dialog) {
  SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(new Sampling()));
  CenterWindowOver(dialog, mainWindow);
  HWND list = GetDlgItem(dialog, IDC_CAL_CHANNEL);
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  for (const CalibrationChannel& channel : kCalibrationChannels) {
    SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(channel.listText));
  }
  SendMessageW(list, CB_SETCURSEL, 0, 0);
  CheckDlgButton(dialog, IDC_CAL_ALLOW_POINTS, BST_UNCHECKED);
  EnableAppliedEdits(dialog, false);
  ShowChannel(dialog, 0);
}

}  // namespace

INT_PTR CALLBACK CalibrationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      InitDialog(dialog);
      return TRUE;
    case WM_SETCURSOR:
      if (Exchanging(dialog)) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;
    case WM_TIMER:
      if (wParam == kSampleTimerId) {
        TakeSample(dialog);
        return TRUE;
      }
      return FALSE;
    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      switch (id) {
        case IDOK:
        case IDCANCEL:
          // Escape still reaches here while an exchange runs: the dialog waits for it.
          if (Exchanging(dialog)) return TRUE;
          KillTimer(dialog, kSampleTimerId);
          EndDialog(dialog, 0);
          return TRUE;
        case IDC_CAL_CHANNEL:
          if (code == CBN_SELENDOK) {
            const Sampling* state = StateOf(dialog);
            if (!state || (!state->running && !state->exchanging)) ShowChannel(dialog, SelectedRow(dialog));
          }
          return TRUE;
        case IDC_CAL_ALLOW_POINTS:
          if (code == BN_CLICKED) OnAllowPointsClicked(dialog);
          return TRUE;
        case IDC_CAL_READ1:
          if (code == BN_CLICKED) StartReading(dialog, 1);
          return TRUE;
        case IDC_CAL_READ2:
          if (code == BN_CLICKED) StartReading(dialog, 2);
          return TRUE;
        case IDC_CAL_CALIBRATE:
          if (code == BN_CLICKED) {
            const Sampling* state = StateOf(dialog);
            if (state && !state->running && !state->exchanging) Calibrate(dialog);
          }
          return TRUE;
        case IDC_CAL_RESET:
          if (code == BN_CLICKED) {
            const Sampling* state = StateOf(dialog);
            if (state && !state->running && !state->exchanging) ResetChannel(dialog);
          }
          return TRUE;
        default:
          return FALSE;
      }
    }
    case WM_DESTROY: {
      KillTimer(dialog, kSampleTimerId);
      delete StateOf(dialog);
      SetWindowLongPtrW(dialog, DWLP_USER, 0);
      return FALSE;
    }
    default:
      return FALSE;
  }
}
