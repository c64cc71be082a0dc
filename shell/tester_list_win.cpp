// The Device list: listing testers through D2XX, connecting the chosen one and
// following plug and unplug events.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "d2xx/d2xx.h"
#include "link/monitor_core.h"
#include "link/profile_text.h"
#include "link/tester_link_win.h"
#include "resources/resource_ids.h"
#include "shell/app_win.h"
#include "shell/log_event.h"
#include "shell/logger.h"
#include "shell/shared_state.h"
#include "shell/tester_list.h"

namespace {

constexpr const wchar_t* kErrorCaption = L"Loadpost: Error";

HWND DeviceList(HWND window) { return GetDlgItem(window, IDC_DEVICE_LIST); }

std::vector<std::wstring> ListEntries(HWND list) {
  std::vector<std::wstring> entries;
  const int count = static_cast<int>(SendMessageW(list, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    const LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, i, 0);
    std::wstring text(length > 0 ? static_cast<size_t>(length) : 0, L'\0');
    if (length > 0) {
      std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
      SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buffer.data()));
      text.assign(buffer.data());
    }
    entries.push_back(text);
  }
  return entries;
}

// Lists device `index`: a tester's serial is added to the Device list.
void ListDevice(HWND window, int index) {
  char serial[64];
  if (!D2xxSerialAt(index, serial, sizeof(serial))) return;
  wchar_t wide[32];
  size_t i = 0;
  for (; i < 31 && serial[i]; ++i) wide[i] = static_cast<unsigned char>(serial[i]);
  wide[i] = 0;
  if (IsTesterSerial(wide)) AddTesterToList(window, wide);
}

// The link is closed and the program is not connected to any tester.
void Disconnect() {
  live.testerConnected = 0;
  testerLink.Close();
}

}  // namespace

void AddTesterToList(HWND window, const wchar_t* serial) {
  LogEventText(L"%ls added to list", serial, LogInformation);
  SendMessageW(DeviceList(window), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(serial));
}

int FindListEntry(HWND list, const wchar_t* text) { return FindEntryContaining(ListEntries(list), text); }

void ScanTesters(HWND window) {
  const int count = D2xxDeviceCount();
  SendMessageW(DeviceList(window), CB_RESETCONTENT, 0, 0);
  if (count == 0) {
    MessageBoxW(window, kNoTesterText, kErrorCaption, MB_OK);
    return;
  }
  for (int i = 0; i < count; ++i) ListDevice(window, i);
  SendMessageW(DeviceList(window), CB_SETCURSEL, 0, 0);
  SelectTester(window);
}

void SelectTester(HWND window) {
  HWND list = DeviceList(window);
  wchar_t shown[64] = L"";
  const int selection = static_cast<int>(SendMessageW(list, CB_GETCURSEL, 0, 0));
  if (selection >= 0 && SendMessageW(list, CB_GETLBTEXTLEN, selection, 0) < 64) {
    SendMessageW(list, CB_GETLBTEXT, selection, reinterpret_cast<LPARAM>(shown));
  }
  const std::wstring serial = SerialOfListText(shown);
  if (serial.empty()) return;

  if (ClaimTester(serial.c_str())) {
    MessageBoxW(window, kTesterInUseText, L"tester already in use", MB_OK);
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(FindListEntry(list, selectedSerial)), 0);
    return;
  }

  EnterCriticalSection(&selectLock);
  // Serials are short; a longer one cannot be opened and is refused below.
  char narrow[20] = {};
  bool fits = serial.size() < sizeof(narrow);
  for (size_t i = 0; fits && i < serial.size(); ++i) narrow[i] = static_cast<char>(serial[i]);

  if (live.testerConnected) {
    Disconnect();
    Sleep(1000);
  } else {
    testerLink.Close();
  }

  if (!fits || !testerLink.Open(narrow, OnTesterNotice)) {
    testerLink.Close();
    live.testerConnected = 0;
    LeaveCriticalSection(&selectLock);
    MessageBoxW(window, kUnableToConnectText, kErrorCaption, MB_OK);
    return;
  }

  // The version gate, then the tester's own settings into the configuration.
  const ConnectResult connected = Monitor().Connect(testerLink.hardwareRevision, testerLink.firmwareVersion);
  if (!connected.ok) {
    Disconnect();
    LeaveCriticalSection(&selectLock);
    MessageBoxW(window, connected.message.c_str(), kErrorCaption, MB_OK);
    return;
  }
  SetDlgItemTextW(window, IDC_VBUS_LABEL, config.estimateUpstream ? L"Upstream" : L"Downstream");
  const int hw = connected.hardwareRevision;
  const int fw = connected.firmwareVersion;
  LeaveCriticalSection(&selectLock);

  std::wcsncpy(selectedSerial, serial.c_str(), 31);
  selectedSerial[31] = 0;
  LogEventText(L"Device %ls selected", selectedSerial, LogInformation);
  wchar_t line[64];
  std::swprintf(line, 64, L"Hardware Revision: %0.1f", hw / 10.0);
  LogEvent(line, LogInformation);
  std::swprintf(line, 64, L"Firmware Version: %0.1f", fw / 10.0);
  LogEvent(line, LogInformation);
}

void UpdateTesterList(HWND window, int action, const wchar_t* serial) {
  HWND list = DeviceList(window);
  if (action == Removed) {
    const int index = FindListEntry(list, serial);
    if (index >= 0) SendMessageW(list, CB_DELETESTRING, static_cast<WPARAM>(index), 0);
    // The monitor ends the connection: it closes the link and tells a running test.
    if (serial && std::wcscmp(serial, selectedSerial) == 0) testerLink.MarkLost();
  } else if (action == Arrived) {
    const int count = D2xxDeviceCount();
    for (int i = 0; i < count; ++i) ListDevice(window, i);
  }
}

void OnTesterNotice(int n) {
  switch (n) {
    case 1: SetEvent(portAttachedNotice); break;
    case 2: SetEvent(portDetachedNotice); break;
    case 3: SetEvent(newProfileNotice); break;
    case 4: SetEvent(capabilityChangedNotice); break;
    default: break;
  }
}
