// The stand-in ftd2xx.dll as the program's loader finds it beside the test: listing, overlapped I/O, line and bridge
// settings, refused opens, plug and unplug through the control file, the scenario beside the DLL; and the tester link
// running over it.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "core/d2xx/d2xx.h"
#include "core/d2xx/d2xx_api.h"
#include "core/link/tester_link_win.h"
#include "core/base/log_event.h"
#include "core/base/logger.h"

namespace {

std::wstring ExeFolder() {
  wchar_t path[MAX_PATH];
  const std::wstring exe(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
  return exe.substr(0, exe.find_last_of(L"\\/"));
}

std::wstring WorkFolder() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"loadpost-sim-dll-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

const D2xxApi* ft = nullptr;
std::wstring controlPath;

// The two-testers scenario and an empty control file, set before the program's loader first loads the DLL.
class SimDllEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    controlPath = WorkFolder() + L"\\control.txt";
    std::ofstream(controlPath.c_str(), std::ios::trunc).flush();
    SetEnvironmentVariableW(L"LOADPOST_SIM_SCENARIO", (ExeFolder() + L"\\scenarios\\two-testers.sim").c_str());
    SetEnvironmentVariableW(L"LOADPOST_SIM_CONTROL", controlPath.c_str());
    if (!eventLog) eventLog = new Logger();
    ft = D2xx();
    ASSERT_NE(ft, nullptr) << "ftd2xx.dll is not beside the test";
  }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new SimDllEnvironment);

// Hands a control line to the simulated world and gives it time to take it up
// (it looks at its control file every 50 ms).
void Control(const std::string& line) {
  std::ofstream(controlPath.c_str(), std::ios::app | std::ios::binary) << line << "\n";
  Sleep(200);
}

// The serial numbers a library's FT_ListDevices lists, in order.
std::vector<std::string> Serials(FT_ListDevices_t list) {
  DWORD n = 0;
  EXPECT_EQ(list(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  std::vector<std::string> serials(n);
  for (DWORD i = 0; i < n; ++i) {
    char buffer[64] = {};
    EXPECT_EQ(list(reinterpret_cast<PVOID>(uintptr_t{i}), buffer, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    serials[i] = buffer;
  }
  return serials;
}

// Pumps this thread's messages while waiting for `done` (up to 3 s).
template <typename F>
bool WaitFor(F done) {
  for (const DWORD start = GetTickCount(); !done(); Sleep(5)) {
    if (GetTickCount() - start > 3000) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  return true;
}

constexpr DWORD kOpenFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED | FT_OPEN_BY_SERIAL_NUMBER;

FT_HANDLE OpenRaw(const char* serial) {
  return ft->W32_CreateFile(serial, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, kOpenFlags, nullptr);
}

// A tester opened with the program's settings (unless told otherwise), with an overlapped record for each direction.
struct Port {
  explicit Port(const char* serial, bool configure = true) : handle(OpenRaw(serial)) {
    readOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writeOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!Open() || !configure) return;
    EXPECT_EQ(ft->SetBaudRate(handle, 115200), FT_OK);
    EXPECT_EQ(ft->SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE), FT_OK);
    EXPECT_EQ(ft->SetTimeouts(handle, 10000, 10000), FT_OK);
    EXPECT_EQ(ft->SetLatencyTimer(handle, 2), FT_OK);
    EXPECT_EQ(ft->SetChars(handle, 0x03, 1, 0, 0), FT_OK);
  }
  ~Port() {
    if (Open()) ft->Close(handle);
    CloseHandle(readOv.hEvent);
    CloseHandle(writeOv.hEvent);
  }
  bool Open() const { return handle != INVALID_HANDLE_VALUE; }
  // One overlapped transfer completed through its event: bytes moved, or -1.
  int Transfer(bool write, uint8_t* bytes, DWORD size, DWORD ms) {
    OVERLAPPED& ov = write ? writeOv : readOv;
    DWORD n = 0;
    const BOOL at =
        write ? ft->W32_WriteFile(handle, bytes, size, &n, &ov) : ft->W32_ReadFile(handle, bytes, size, &n, &ov);
    if ((!at && GetLastError() != ERROR_IO_PENDING) || WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0) return -1;
    ResetEvent(ov.hEvent);
    return ft->W32_GetOverlappedResult(handle, &ov, &n, FALSE) ? static_cast<int>(n) : -1;
  }
  bool Write(std::vector<uint8_t> bytes) {
    return Transfer(true, bytes.data(), static_cast<DWORD>(bytes.size()), 2000) == static_cast<int>(bytes.size());
  }
  // Reads exactly `count` bytes the way the program does: one overlapped read after the other.
  std::vector<uint8_t> Read(size_t count, DWORD ms = 2000) {
    std::vector<uint8_t> got;
    for (int n = 0; got.size() < count; got.insert(got.end(), readBuffer, readBuffer + n)) {
      n = Transfer(false, readBuffer, static_cast<DWORD>(std::min<size_t>(count - got.size(), 256)), ms);
      if (n < 0) break;
    }
    return got;
  }

  FT_HANDLE handle;
  uint8_t readBuffer[256] = {};  // a pending read may still fill it later
  OVERLAPPED readOv{}, writeOv{};
};

const std::vector<uint8_t> kGetVersion = {0x02, 0x01, 0x01, 0x01, 0x03};

TEST(SimDll, ListsEveryFtdiDeviceOfTheScenario) {
  EXPECT_EQ(Serials(ft->ListDevices), (std::vector<std::string>{"VXPD0001", "FT7QX2LB", "VXPD0002"}));
  EXPECT_EQ(D2xxDeviceCount(), 3);
  char serial[5];
  ASSERT_TRUE(D2xxSerialAt(0, serial, sizeof serial));
  EXPECT_STREQ(serial, "VXPD");  // cut to fit
  for (int index : {3, -1}) {
    EXPECT_FALSE(D2xxSerialAt(index, serial, sizeof serial));
    EXPECT_STREQ(serial, "");
  }
}

TEST(SimDll, GetVersionRoundTripThroughOverlappedIo) {
  Port port("VXPD0001");
  ASSERT_TRUE(port.Write(kGetVersion));
  EXPECT_EQ(port.Read(1), std::vector<uint8_t>{0x02});  // STX alone, as the program asks
  EXPECT_EQ(port.Read(1), std::vector<uint8_t>{0x03});  // LEN
  EXPECT_EQ(port.Read(5), (std::vector<uint8_t>{0x01, 0x14, 0x1E, 0x09, 0x03}));
  // Nothing more is coming: the read stays pending and says so without waiting.
  DWORD n = 0;
  EXPECT_FALSE(ft->W32_ReadFile(port.handle, port.readBuffer, 1, &n, &port.readOv));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  Sleep(50);
  EXPECT_FALSE(ft->W32_GetOverlappedResult(port.handle, &port.readOv, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  // Closing ends it with a failure, through the event.
  EXPECT_EQ(ft->Close(port.handle), FT_OK);
  EXPECT_EQ(WaitForSingleObject(port.readOv.hEvent, 2000), WAIT_OBJECT_0);
  EXPECT_FALSE(ft->W32_GetOverlappedResult(port.handle, &port.readOv, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(ft->Close(port.handle), FT_INVALID_HANDLE);
  port.handle = INVALID_HANDLE_VALUE;
}

TEST(SimDll, WithoutTheBaudRateTheTesterDoesNotUnderstand) {
  Port port("VXPD0001", false);  // still 9600 baud
  ASSERT_TRUE(port.Write(kGetVersion));
  EXPECT_TRUE(port.Read(1, 300).empty());
  EXPECT_EQ(ft->SetBaudRate(port.handle, 0), FT_INVALID_BAUD_RATE);
  EXPECT_EQ(ft->SetDataCharacteristics(port.handle, 9, 0, 0), FT_INVALID_PARAMETER);
}

TEST(SimDll, LatencyTimerIsKeptPerOpeningAndCanBeRefused) {
  UCHAR ms = 0;
  {
    Port port("VXPD0002");
    ASSERT_EQ(ft->GetLatencyTimer(port.handle, &ms), FT_OK);
    EXPECT_EQ(ms, 2);
    EXPECT_EQ(ft->SetLatencyTimer(port.handle, 0), FT_INVALID_PARAMETER);
    EXPECT_EQ(ft->SetLatencyTimer(port.handle, 255), FT_OK);
    Control("@VXPD0002 fault nolatency 1");
    Control("@VXPD0002 fault nochars 1");
    EXPECT_EQ(ft->SetLatencyTimer(port.handle, 2), FT_IO_ERROR);
    EXPECT_EQ(ft->SetChars(port.handle, 0x03, 1, 0, 0), FT_IO_ERROR);
    ASSERT_EQ(ft->GetLatencyTimer(port.handle, &ms), FT_OK);
    EXPECT_EQ(ms, 255);
    // The refusals left the bridge as it was: the reply still comes with its ETX.
    ASSERT_TRUE(port.Write(kGetVersion));
    EXPECT_EQ(port.Read(7), (std::vector<uint8_t>{0x02, 0x03, 0x01, 0x14, 0x1E, 0x09, 0x03}));
  }
  // A fresh opening starts at the bridge's default.
  FT_HANDLE h = OpenRaw("VXPD0002");
  ASSERT_EQ(ft->GetLatencyTimer(h, &ms), FT_OK);
  EXPECT_EQ(ms, 16);
  EXPECT_EQ(ft->Close(h), FT_OK);
  EXPECT_EQ(ft->GetLatencyTimer(h, &ms), FT_INVALID_HANDLE);
}

TEST(SimDll, OpenFailsForUnknownBusyAndRefusingDevices) {
  EXPECT_EQ(OpenRaw("VXPD9999"), INVALID_HANDLE_VALUE);
  {
    Port first("VXPD0002");
    ASSERT_TRUE(first.Open());
    EXPECT_EQ(OpenRaw("VXPD0002"), INVALID_HANDLE_VALUE);
  }
  Control("@VXPD0002 fault failopen 1");
  EXPECT_FALSE(Port("VXPD0002").Open());
  EXPECT_TRUE(Port("VXPD0002").Open());
  // The device that is no tester opens but never answers.
  Port other("FT7QX2LB");
  ASSERT_TRUE(other.Write(kGetVersion));
  EXPECT_TRUE(other.Read(1, 300).empty());
}

std::atomic<int> noticeMask{0};

// The link over the stand-in: the bridge grants the low-latency settings (no record), a load reaches the tester,
// notices reach the callback; refused settings cost one Diagnostics record and nothing else.
TEST(SimDll, TesterLinkOverTheStandIn) {
  TesterLink link;
  eventLog->Clear();
  ASSERT_EQ(link.Open("VXPD0001", [](int n) { noticeMask |= 1 << n; }), 1);
  EXPECT_EQ((std::vector<int>{link.hardwareRevision, link.firmwareVersion}), (std::vector<int>{20, 30}));
  EXPECT_EQ(eventLog->RecordCount(), 0);
  auto measure = [&link](uint16_t* vbus, uint16_t* current) {
    uint8_t temp = 0;
    uint16_t setpoint = 0, loopback = 0;
    return link.GetMeasurements(&temp, vbus, &setpoint, current, &loopback);
  };
  uint16_t vbus = 0, current = 0;
  ASSERT_EQ(link.SetLoadCurrent(1000), 1);
  Sleep(100);
  ASSERT_EQ(measure(&vbus, &current), 1);
  EXPECT_NEAR(current, 1000, 50);
  EXPECT_GT(vbus, 4500);
  ASSERT_EQ(link.SetLoadCurrent(0), 1);
  Control("capchange");
  EXPECT_TRUE(WaitFor([] { return noticeMask == 1 << 4; }));
  link.Close();
  Control("fault nolatency");
  Control("fault nochars");
  eventLog->Clear();
  ASSERT_EQ(link.Open("VXPD0001", nullptr), 1);
  wchar_t text[kLogTextChars];
  int32_t category = 0;
  int64_t time = 0;
  ASSERT_EQ(eventLog->RecordCount(), 1);
  ASSERT_TRUE(eventLog->GetRecord(0, text, &category, &time));
  EXPECT_EQ(category, LogDiagnostics);
  EXPECT_STREQ(text, L"Low-latency setting refused (FT_SetLatencyTimer: status 4; FT_SetChars: status 4): the link "
                     L"stays at the bridge's default latency");
  EXPECT_EQ(measure(&vbus, &current), 1);
}

// Collects the device-change messages that reach a top-level window.
std::vector<std::pair<WPARAM, std::wstring>> deviceChanges;

LRESULT CALLBACK ProbeProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  const auto* b = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lp);
  if (msg != WM_DEVICECHANGE || (wp != DBT_DEVICEARRIVAL && wp != DBT_DEVICEREMOVECOMPLETE)) {
    return DefWindowProcW(window, msg, wp, lp);
  }
  if (b && b->dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE) deviceChanges.emplace_back(wp, b->dbcc_name);
  return TRUE;
}

TEST(SimDll, ControlFilePlugAndUnplugChangeTheListAndAreAnnounced) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = ProbeProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"SimDllProbe";
  RegisterClassW(&wc);
  HWND probe = CreateWindowExW(0, wc.lpszClassName, L"probe", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                               wc.hInstance, nullptr);
  ASSERT_NE(probe, nullptr);
  Control("plug VXPD0003 kt40");
  ASSERT_TRUE(WaitFor([] { return D2xxDeviceCount() == 4 && !deviceChanges.empty(); }));
  EXPECT_EQ(Serials(ft->ListDevices).back(), "VXPD0003");
  EXPECT_EQ(deviceChanges[0].first, static_cast<WPARAM>(DBT_DEVICEARRIVAL));
  EXPECT_EQ(deviceChanges[0].second, L"\\\\?\\USB#VID_0403&PID_6015#VXPD0003#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
  {
    // An open tester that is unplugged fails its pending read and later calls.
    Port port("VXPD0003");
    DWORD n = 0;
    EXPECT_FALSE(ft->W32_ReadFile(port.handle, port.readBuffer, 1, &n, &port.readOv));
    Control("unplug VXPD0003");
    ASSERT_EQ(WaitForSingleObject(port.readOv.hEvent, 3000), WAIT_OBJECT_0);
    EXPECT_FALSE(ft->W32_GetOverlappedResult(port.handle, &port.readOv, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(port.Write(kGetVersion));
  }
  ASSERT_TRUE(WaitFor([] { return D2xxDeviceCount() == 3 && deviceChanges.size() >= 2; }));
  EXPECT_EQ(deviceChanges[1].first, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
  EXPECT_NE(deviceChanges[1].second.find(L"#VXPD0003#"), std::wstring::npos);
  DestroyWindow(probe);
}

// A copy of the DLL in its own folder picks its scenario from ftd2xx-sim.txt beside it: a file name relative to that
// folder, or a scenario written inline. (The copy is a separate module with a world of its own.)
TEST(SimDll, ScenarioFileBesideTheDll) {
  const std::wstring exe = ExeFolder();
  const struct {
    const wchar_t* folder;
    const char* pointer;
    std::vector<std::string> serials;
  } cases[] = {{L"\\beside-name", "# which scenario\r\nscenarios/kt40.sim\r\n", {"VXPD0040"}},
               {L"\\beside-inline", "tester VXPD7777 kt60\n  charger dcp\nend\nftdi FTA\n", {"VXPD7777", "FTA"}}};
  // The copies must not see this process's scenario or control file.
  SetEnvironmentVariableW(L"LOADPOST_SIM_SCENARIO", nullptr);
  SetEnvironmentVariableW(L"LOADPOST_SIM_CONTROL", nullptr);
  for (const auto& c : cases) {
    const std::wstring folder = WorkFolder() + c.folder;
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"\\scenarios").c_str(), nullptr);
    for (const wchar_t* file : {L"\\ftd2xx.dll", L"\\scenarios\\kt40.sim"}) {
      ASSERT_TRUE(CopyFileW((exe + file).c_str(), (folder + file).c_str(), FALSE));
    }
    std::ofstream((folder + L"\\ftd2xx-sim.txt").c_str(), std::ios::binary) << c.pointer;
    HMODULE copy = LoadLibraryExW((folder + L"\\ftd2xx.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    ASSERT_NE(copy, nullptr);
    auto list = reinterpret_cast<FT_ListDevices_t>(reinterpret_cast<void*>(GetProcAddress(copy, "FT_ListDevices")));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(Serials(list), c.serials);
  }
}

}  // namespace
