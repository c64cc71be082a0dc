// The main window's Voltage list, Set Voltage and Set Load controls. None of
// them talks to the tester: each stores the requested value and raises a
// request flag that the monitor loop carries out on its next pass.
#include <windows.h>
#include <commctrl.h>

#include <cwchar>

#include "core/link/profile_text.h"
#include "core/link/tester_link_win.h"
#include "core/link/typed_requests.h"
#include "window/resources/resource_ids.h"
#include "window/shell/app_tester_win.h"
#include "window/shell/app_win.h"

namespace {

void ShowNumber(HWND window, int id, int value) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%d", value);
  SetDlgItemTextW(window, id, text);
}

bool ActiveProgrammable() { return IsProgrammableProfile(live.profileKind, live.profileSubKind); }

void ShowBoundsMessage(HWND window, int minimum, int maximum) {
  wchar_t message[96];
  FormatBoundsMessage(minimum, maximum, message, 96);
  MessageBoxW(window, message, L"Loadpost: Error", MB_OK);
}

}  // namespace

void OnVoltageListSelect(HWND window) {
  HWND list = GetDlgItem(window, IDC_VOLTAGE_LIST);
  const int row = static_cast<int>(SendMessageW(list, CB_GETCURSEL, 0, 0));
  if (row < 0) return;
  if (const wchar_t* refusal = ProfileRowRefusal(GetPdoList(), row, testerLink.hardwareRevision)) {
    MessageBoxW(window, refusal, L"Loadpost: Error", MB_OK);
    SendMessageW(list, CB_SETCURSEL, live.activePdoIndex, 0);
    return;
  }
  requests.requestedProfileRow = static_cast<uint8_t>(row);
  requests.profileRequestPending = 1;
}

void OnSetVoltage(HWND window) {
  // Without a programmable profile there is nothing to request.
  if (!ActiveProgrammable()) return;
  const PdoList pdos = GetPdoList();
  const PdoEntry& entry = pdos.EntryAt(live.activePdoIndex);
  const std::optional<uint16_t> voltage =
      TypedVoltageMv(DialogItemText(window, IDC_SET_VOLTAGE_EDIT), entry.minMv, entry.maxMv);
  if (!voltage) {
    ShowBoundsMessage(window, entry.minMv, entry.maxMv);
    return;
  }
  requests.requestedVoltageMv = *voltage;
  requests.voltageRequestPending = 1;
}

void OnSetLoad(HWND window) {
  const std::optional<uint16_t> load = TypedLoadMa(DialogItemText(window, IDC_SET_LOAD_EDIT));
  if (!load) {
    ShowBoundsMessage(window, 0, kMaxTypedLoadMa);
    return;
  }
  requests.requestedLoadMa = *load;
  ShowNumber(window, IDC_SET_LOAD_EDIT, *load);
  SendMessageW(GetDlgItem(window, IDC_LOAD_SLIDER), TBM_SETPOS, TRUE, *load);
  requests.loadRequestPending = 1;
}

void OnSliderScroll(HWND window, WPARAM wParam, LPARAM lParam) {
  HWND slider = reinterpret_cast<HWND>(lParam);
  const int code = LOWORD(wParam);
  const bool dragging = code == TB_THUMBTRACK || code == TB_THUMBPOSITION;
  if (slider == GetDlgItem(window, IDC_VOLTAGE_SLIDER)) {
    int position = dragging ? static_cast<int>(HIWORD(wParam))
                            : static_cast<int>(SendMessageW(slider, TBM_GETPOS, 0, 0));
    if (live.profileKind == 3) position -= position % 200;  // Quick Charge steps by 200 mV
    ShowNumber(window, IDC_SET_VOLTAGE_EDIT, position);
    if (!dragging) {
      requests.requestedVoltageMv = static_cast<uint16_t>(position);
      requests.voltageRequestPending = 1;
    }
  } else if (slider == GetDlgItem(window, IDC_LOAD_SLIDER)) {
    const int position = dragging ? static_cast<int>(HIWORD(wParam))
                                  : static_cast<int>(SendMessageW(slider, TBM_GETPOS, 0, 0));
    ShowNumber(window, IDC_SET_LOAD_EDIT, position);
    if (!dragging) {
      requests.requestedLoadMa = static_cast<uint16_t>(position);
      requests.loadRequestPending = 1;
    }
  }
}
