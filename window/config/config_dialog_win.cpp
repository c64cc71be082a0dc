// The "Test configuration" dialog (CONFBOX): sweep steps, current-limit policy,
// standard port limit, loopback, upstream estimate and log interval. The dialog
// edits a copy of the settings; OK stores it whole once every check passed and
// asks the monitor loop to write it to the tester.
#include <windows.h>
#include <commctrl.h>

#include <cwchar>
#include <string>

#include "core/config/config_dialog.h"
#include "window/config/config_dialog_win.h"
#include "core/config/config_rules.h"
#include "window/resources/resource_ids.h"
#include "window/shell/app_tester_win.h"
#include "window/shell/app_win.h"

namespace {

// The copy an open dialog edits, in the dialog's user data.
ConfigDraft* DialogDraft(HWND dialog) { return reinterpret_cast<ConfigDraft*>(GetWindowLongPtrW(dialog, DWLP_USER)); }

void SetNumber(HWND dialog, int id, int value) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%d", value);
  SetDlgItemTextW(dialog, id, text);
}

void FillCombo(HWND dialog, int id, const wchar_t* const* texts, int count, int selection) {
  HWND combo = GetDlgItem(dialog, id);
  SendMessageW(combo, CB_RESETCONTENT, 0, 0);
  for (int i = 0; i < count; ++i) SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(texts[i]));
  SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(selection), 0);
}

int ComboSelection(HWND dialog, int id) {
  return static_cast<int>(SendDlgItemMessageW(dialog, id, CB_GETCURSEL, 0, 0));
}

bool Checked(HWND dialog, int id) { return IsDlgButtonChecked(dialog, id) == BST_CHECKED; }

void ShowCableResistance(HWND dialog, bool show) {
  const int how = show ? SW_SHOW : SW_HIDE;
  ShowWindow(GetDlgItem(dialog, IDC_CONF_CABLE_LABEL), how);
  ShowWindow(GetDlgItem(dialog, IDC_CONF_CABLE), how);
}

int ModeButton(uint32_t mode) {
  switch (mode) {
    case EnforceLimits:
      return IDC_CONF_ENFORCE;
    case AllowOverLimit:
      return IDC_CONF_OVER_LIMIT;
    case ForceLimit:
      return IDC_CONF_FORCE;
    default:
      return 0;
  }
}

// Shows `mode` on the three buttons and enables the force-limit list for it.
void ShowLimitMode(HWND dialog, uint32_t mode) {
  const int button = ModeButton(mode);
  for (int id : {IDC_CONF_ENFORCE, IDC_CONF_OVER_LIMIT, IDC_CONF_FORCE}) {
    CheckDlgButton(dialog, id, id == button ? BST_CHECKED : BST_UNCHECKED);
  }
  EnableWindow(GetDlgItem(dialog, IDC_CONF_FORCE_LIST), mode == ForceLimit);
}

void OnLimitModeClick(HWND dialog, uint32_t clicked) {
  ConfigDraft* draft = DialogDraft(dialog);
  if (!draft) return;
  const uint32_t mode = ChooseLimitMode(*draft, clicked, [dialog] { return ConfirmDanger(dialog); });
  ShowLimitMode(dialog, mode);
}

void InitDialog(HWND dialog) {
  auto* draft = new ConfigDraft(DraftOf(config));
  SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(draft));
  CenterWindowOver(dialog, mainWindow);
  SetNumber(dialog, IDC_CONF_CURRENT_STEP, draft->currentStepMa);
  SetNumber(dialog, IDC_CONF_TIME_STEP, draft->timeStepMs);
  ShowLimitMode(dialog, draft->limitMode);
  FillCombo(dialog, IDC_CONF_FORCE_LIST, kForceLimitTexts, kForceLimitCount, draft->forcedLimitIndex);
  CheckDlgButton(dialog, IDC_CONF_LOOPBACK, draft->loopbackEnabled ? BST_CHECKED : BST_UNCHECKED);
  FillCombo(dialog, IDC_CONF_PORT_LIMIT, kStandardPortTexts, kStandardPortCount,
            StandardPortSelection(draft->standardPortLimitMa));
  CheckDlgButton(dialog, IDC_CONF_ESTIMATE, draft->estimateUpstream ? BST_CHECKED : BST_UNCHECKED);
  ShowCableResistance(dialog, draft->estimateUpstream != 0);
  SetNumber(dialog, IDC_CONF_CABLE, draft->cableResistanceMohm);
  FillCombo(dialog, IDC_CONF_LOG_INTERVAL, kLogIntervalTexts, kLogIntervalCount,
            LogIntervalSelection(draft->logIntervalSec));
}

// The main window's Set Load controls follow the new ceiling.
void UpdateMainLoadControls() {
  const int ceiling = config.maxLoadCurrentMa;
  const int setpoint = ShownLoadSetpointMa(appTester);
  wchar_t text[16];
  std::swprintf(text, 16, L"%dmA", ceiling);
  SetDlgItemTextW(mainWindow, IDC_LOAD_MAX_LABEL, text);
  HWND slider = GetDlgItem(mainWindow, IDC_LOAD_SLIDER);
  SendMessageW(slider, TBM_SETRANGE, TRUE, MAKELPARAM(0, ceiling));
  SendMessageW(slider, TBM_SETPOS, TRUE, 0);
  SendMessageW(slider, TBM_SETPOS, TRUE, setpoint);
  SetNumber(mainWindow, IDC_SET_LOAD_EDIT, setpoint);
}

int FieldEdit(ConfigField field) {
  switch (field) {
    case ConfigField::CurrentStep:
      return IDC_CONF_CURRENT_STEP;
    case ConfigField::TimeStep:
      return IDC_CONF_TIME_STEP;
    case ConfigField::CableResistance:
      return IDC_CONF_CABLE;
    default:
      return 0;
  }
}

void OnOk(HWND dialog) {
  ConfigDraft* draft = DialogDraft(dialog);
  if (!draft) return;
  const std::wstring currentStep = DialogItemText(dialog, IDC_CONF_CURRENT_STEP);
  const std::wstring timeStep = DialogItemText(dialog, IDC_CONF_TIME_STEP);
  const std::wstring cable = DialogItemText(dialog, IDC_CONF_CABLE);
  ConfigDialogValues values;
  values.currentStepText = currentStep;
  values.timeStepText = timeStep;
  values.cableResistanceText = cable;
  values.forceLimitSelection = ComboSelection(dialog, IDC_CONF_FORCE_LIST);
  values.portLimitSelection = ComboSelection(dialog, IDC_CONF_PORT_LIMIT);
  values.loopbackEnabled = Checked(dialog, IDC_CONF_LOOPBACK);
  values.estimateUpstream = Checked(dialog, IDC_CONF_ESTIMATE);
  values.logIntervalSelection = ComboSelection(dialog, IDC_CONF_LOG_INTERVAL);

  const ConfigApplyResult result = ConfirmConfig(config, *draft, values, live.ratedCurrentMa);
  if (result.check.check != ConfigCheck::Ok) {
    const int edit = FieldEdit(result.field);
    if (edit) SetNumber(dialog, edit, result.check.editValue);
    wchar_t message[160];
    FormatConfigMessage(result.check, message, 160);
    MessageBoxW(dialog, message, kConfigErrorCaption, MB_OK);
    return;
  }

  UpdateMainLoadControls();
  SetDlgItemTextW(mainWindow, IDC_VBUS_LABEL, values.estimateUpstream ? L"Upstream" : L"Downstream");

  const uint8_t interval = config.logIntervalSec;
  switch (LogTimerAfterOk(interval, graph.testStopped != 0)) {
    case LogTimerAction::Stop:
      KillTimer(mainWindow, kLogLineTimerId);
      break;
    case LogTimerAction::Start:
      SetTimer(mainWindow, kLogLineTimerId, interval * 1000u, nullptr);
      break;
    case LogTimerAction::Keep:
      break;
  }

  requests.configPending = 1;
  EndDialog(dialog, 0);
}

}  // namespace

INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      InitDialog(dialog);
      return TRUE;

    case WM_COMMAND: {
      const int id = LOWORD(wParam);
      const int code = HIWORD(wParam);
      switch (id) {
        case IDC_CONF_ENFORCE:
        case IDC_CONF_OVER_LIMIT:
        case IDC_CONF_FORCE:
          // A radio button also reports a click when it gets the focus while
          // unchecked (as after a declined confirmation); only a click that
          // checked it chooses its mode.
          if (code == BN_CLICKED && Checked(dialog, id)) {
            OnLimitModeClick(dialog, id == IDC_CONF_ENFORCE      ? EnforceLimits
                                     : id == IDC_CONF_OVER_LIMIT ? AllowOverLimit
                                                                 : ForceLimit);
          }
          return TRUE;
        case IDC_CONF_ESTIMATE:
          // Only the dialog follows the box; the settings change at OK.
          if (code == BN_CLICKED) ShowCableResistance(dialog, Checked(dialog, IDC_CONF_ESTIMATE));
          return TRUE;
        case IDOK:
          OnOk(dialog);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, 0);
          return TRUE;
        default:
          return FALSE;
      }
    }

    case WM_DESTROY:
      delete DialogDraft(dialog);
      SetWindowLongPtrW(dialog, DWLP_USER, 0);
      return FALSE;

    default:
      return FALSE;
  }
}
