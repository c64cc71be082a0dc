// The Device list: listing testers through D2XX, connecting the chosen one and
// following plug and unplug events.
//
// Connecting waits (a pause after closing the previous tester, the open and its
// version exchange), so it runs off the window thread: meanwhile the Device list
// is disabled and the window shows a busy cursor, and the outcome is handled on
// the window thread afterwards.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "core/d2xx/d2xx.h"
#include "core/link/monitor_core.h"
#include "core/link/profile_text.h"
#include "core/link/tester_link_win.h"
#include "window/resources/resource_ids.h"
#include "window/shell/app_tester_win.h"
#include "window/shell/app_win.h"
#include "core/base/log_event.h"
#include "core/base/logger.h"
#include "core/base/stop_signal.h"
#include "core/base/tester_list.h"
#include "window/shell/ui_jobs_win.h"

namespace {

constexpr const wchar_t* kErrorCaption = L"Loadpost: Error";
// The longest serial D2XX gives (and a registry slot holds).
constexpr size_t kMaxSerialChars = 15;

// True while a tester is being connected.
bool connecting = false;

HWND DeviceList(HWND window) { return GetDlgItem(window, IDC_DEVICE_LIST); }

std::vector<std::wstring> ListEntries(HWND list) {
  std::vector<std::wstring> entries;
  const int count = static_cast<int>(SendMessageW(list, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    const LRESULT length = SendMessageW(list, CB_GETLBTEXTLEN, i, 0);
    std::wstring text;
    if (length > 0) {
      std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
      SendMessageW(list, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(buffer.data()));
      text.assign(buffer.data());
    }
    entries.push_back(text);
  }
  return entries;
}

// The serials of the testers D2XX lists now, in listing order.
std::vector<std::wstring> ListedTesters() {
  std::vector<std::wstring> testers;
  const int count = D2xxDeviceCount();
  for (int index = 0; index < count; ++index) {
    char serial[64];
    if (!D2xxSerialAt(index, serial, sizeof(serial))) continue;
    wchar_t wide[32];
    size_t i = 0;
    for (; i < 31 && serial[i]; ++i) wide[i] = static_cast<unsigned char>(serial[i]);
    wide[i] = 0;
    if (IsTesterSerial(wide)) testers.emplace_back(wide);
  }
  return testers;
}

// This copy no longer uses its tester (unplugged): the monitor ends the
// connection (it closes the link and tells a running test), and the other
// copies may have it.
void LoseTester() {
  testerLink.MarkLost();
  ReleaseTesterClaim();
}

// Brings the Device list to `change`: removed rows go, added ones are appended
// and logged. A removed row of the connected tester means it was unplugged.
void ApplyListChange(HWND window, const TesterListChange& change) {
  HWND list = DeviceList(window);
  for (const std::wstring& serial : change.removed) {
    const int index = FindEntry(ListEntries(list), serial);
    if (index >= 0) SendMessageW(list, CB_DELETESTRING, static_cast<WPARAM>(index), 0);
    if (live.testerConnected && serial == selectedSerial) LoseTester();
  }
  for (const std::wstring& serial : change.added) AddTesterToList(window, serial.c_str());
}

void SetConnecting(HWND window, bool busy) {
  connecting = busy;
  EnableWindow(DeviceList(window), busy ? FALSE : TRUE);
  // The cursor over the window follows at once (the main window answers
  // WM_SETCURSOR with the busy cursor while connecting).
  POINT at;
  HWND under = GetCursorPos(&at) ? WindowFromPoint(at) : nullptr;
  if (under && GetAncestor(under, GA_ROOT) == window) {
    SendMessageW(under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  }
}

// What the connecting thread found.
struct Connection {
  std::wstring serial;
  bool opened = false;
  ConnectResult check;  // the version gate and the settings read
};

// Off the window thread: closes the link (pausing 1 s when a tester was
// connected, so the monitor loop's last pass ends), opens the tester, checks
// its version and reads its settings. A refused tester's link is closed again.
void Connect(Connection& c, bool wasConnected) {
  char narrow[kMaxSerialChars + 1] = {};
  const bool fits = c.serial.size() <= kMaxSerialChars;
  for (size_t i = 0; fits && i < c.serial.size(); ++i) narrow[i] = static_cast<char>(c.serial[i]);

  EnterCriticalSection(&selectLock);
  testerLink.Close();
  if (wasConnected) PauseUnlessStopped(1000);
  c.opened = fits && !StopRequested() && testerLink.Open(narrow, OnTesterNotice);
  if (!c.opened) {
    testerLink.Close();
  } else {
    c.check = Monitor().CheckTester(testerLink.hardwareRevision, testerLink.firmwareVersion);
    if (!c.check.ok) testerLink.Close();
  }
  LeaveCriticalSection(&selectLock);
}

// On the window thread, once Connect is over.
void FinishConnect(HWND window, const Connection& c) {
  SetConnecting(window, false);
  if (!c.opened) {
    ReleaseTesterClaim();
    MessageBoxW(window, kUnableToConnectText, kErrorCaption, MB_OK);
    return;
  }

  // A refused tester leaves the configuration as it was.
  if (!c.check.ok) {
    ReleaseTesterClaim();
    MessageBoxW(window, c.check.message.c_str(), kErrorCaption, MB_OK);
    return;
  }
  if (FindEntry(ListEntries(DeviceList(window)), c.serial) < 0) {
    // Unplugged while it was being opened.
    testerLink.Close();
    ReleaseTesterClaim();
    return;
  }

  std::wcsncpy(selectedSerial, c.serial.c_str(), 31);
  selectedSerial[31] = 0;
  LogEventText(L"Device %ls selected", selectedSerial, LogInformation);
  wchar_t line[64];
  std::swprintf(line, 64, L"Hardware Revision: %0.1f", c.check.hardwareRevision / 10.0);
  LogEvent(line, LogInformation);
  std::swprintf(line, 64, L"Firmware Version: %0.1f", c.check.firmwareVersion / 10.0);
  LogEvent(line, LogInformation);

  // The tester's own settings replace the program's; the monitor takes it on.
  Monitor().Accept(c.check);
  SetDlgItemTextW(window, IDC_VBUS_LABEL, config.estimateUpstream ? L"Upstream" : L"Downstream");
}

}  // namespace

void AddTesterToList(HWND window, const wchar_t* serial) {
  LogEventText(L"%ls added to list", serial, LogInformation);
  SendMessageW(DeviceList(window), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(serial));
}

int FindListEntry(HWND list, const wchar_t* text) { return FindEntry(ListEntries(list), text ? text : L""); }

bool ConnectingTester() { return connecting; }

void ScanTesters(HWND window) {
  const int count = D2xxDeviceCount();
  SendMessageW(DeviceList(window), CB_RESETCONTENT, 0, 0);
  if (count == 0) {
    MessageBoxW(window, kNoTesterText, kErrorCaption, MB_OK);
    return;
  }
  ApplyListChange(window, MergeTesterList({}, ListedTesters()));
  SendMessageW(DeviceList(window), CB_SETCURSEL, 0, 0);
  SelectTester(window);
}

void SelectTester(HWND window) {
  if (connecting) return;
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

  // The monitor loop leaves the link alone from here on.
  const bool wasConnected = live.testerConnected != 0;
  live.testerConnected = 0;
  auto connection = std::make_shared<Connection>();
  connection->serial = serial;
  SetConnecting(window, true);
  const bool started = RunOffUiThread([connection, wasConnected] { Connect(*connection, wasConnected); },
                                      [window, connection] { FinishConnect(window, *connection); });
  if (!started) FinishConnect(window, *connection);
}

void UpdateTesterList(HWND window, int action, const wchar_t* serial) {
  const std::vector<std::wstring> rows = ListEntries(DeviceList(window));
  if (action == Removed) {
    ApplyListChange(window, MergeTesterList(rows, rows, serial ? serial : L""));
    // The monitor ends the connection: it closes the link and tells a running test.
    if (serial && std::wcscmp(serial, selectedSerial) == 0) testerLink.MarkLost();
  } else if (action == Arrived) {
    ApplyListChange(window, MergeTesterList(rows, ListedTesters()));
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
