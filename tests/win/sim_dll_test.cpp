// The stand-in ftd2xx.dll as the program sees it: loaded from the test's own
// folder, listing the devices of a scenario, opening by serial, overlapped I/O
// completed through the caller's events, failing opens, and plug/unplug driven
// through the control file and announced with WM_DEVICECHANGE.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "d2xx/d2xx_abi.h"

namespace {

std::wstring ExeFolder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L"\\/"));
}

std::wstring WorkFolder() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder = std::wstring(temp) + L"loadpost-sim-dll-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

struct D2xx {
  HMODULE module = nullptr;
  FT_ListDevices_t ListDevices = nullptr;
  FT_W32_CreateFile_t CreateFile = nullptr;
  FT_SetBaudRate_t SetBaudRate = nullptr;
  FT_SetDataCharacteristics_t SetDataCharacteristics = nullptr;
  FT_SetTimeouts_t SetTimeouts = nullptr;
  FT_W32_ReadFile_t ReadFile = nullptr;
  FT_W32_WriteFile_t WriteFile = nullptr;
  FT_W32_GetOverlappedResult_t GetOverlappedResult = nullptr;
  FT_Close_t Close = nullptr;
  FT_SetLatencyTimer_t SetLatencyTimer = nullptr;
  FT_GetLatencyTimer_t GetLatencyTimer = nullptr;
  FT_SetChars_t SetChars = nullptr;
};

D2xx d2xx;
std::wstring controlPath;
std::wstring recordPath;

template <typename T>
void Resolve(T* fn, const char* name) {
  *fn = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(d2xx.module, name)));
  ASSERT_NE(*fn, nullptr) << name;
}

// Loads the DLL once for the whole run with the two-testers scenario, a control
// file and a record file in a private folder.
class SimDllEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const std::wstring work = WorkFolder();
    controlPath = work + L"\\control.txt";
    recordPath = work + L"\\record.txt";
    DeleteFileW(controlPath.c_str());
    DeleteFileW(recordPath.c_str());
    CloseHandle(CreateFileW(controlPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
    SetEnvironmentVariableW(L"LOADPOST_SIM_SCENARIO", (ExeFolder() + L"\\scenarios\\two-testers.sim").c_str());
    SetEnvironmentVariableW(L"LOADPOST_SIM_CONTROL", controlPath.c_str());
    SetEnvironmentVariableW(L"LOADPOST_SIM_RECORD", recordPath.c_str());
    d2xx.module = LoadLibraryExW((ExeFolder() + L"\\ftd2xx.dll").c_str(), nullptr,
                                 LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    ASSERT_NE(d2xx.module, nullptr) << "ftd2xx.dll is not beside the test";
    Resolve(&d2xx.ListDevices, "FT_ListDevices");
    Resolve(&d2xx.CreateFile, "FT_W32_CreateFile");
    Resolve(&d2xx.SetBaudRate, "FT_SetBaudRate");
    Resolve(&d2xx.SetDataCharacteristics, "FT_SetDataCharacteristics");
    Resolve(&d2xx.SetTimeouts, "FT_SetTimeouts");
    Resolve(&d2xx.ReadFile, "FT_W32_ReadFile");
    Resolve(&d2xx.WriteFile, "FT_W32_WriteFile");
    Resolve(&d2xx.GetOverlappedResult, "FT_W32_GetOverlappedResult");
    Resolve(&d2xx.Close, "FT_Close");
    Resolve(&d2xx.SetLatencyTimer, "FT_SetLatencyTimer");
    Resolve(&d2xx.GetLatencyTimer, "FT_GetLatencyTimer");
    Resolve(&d2xx.SetChars, "FT_SetChars");
  }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new SimDllEnvironment);

void Control(const std::string& line) {
  HANDLE f = CreateFileW(controlPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  const std::string text = line + "\n";
  DWORD n = 0;
  WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
  CloseHandle(f);
}

DWORD DeviceCount() {
  DWORD n = 12345;
  EXPECT_EQ(d2xx.ListDevices(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  return n;
}

std::vector<std::string> Serials() {
  std::vector<std::string> serials;
  const DWORD n = DeviceCount();
  for (DWORD i = 0; i < n; ++i) {
    char buffer[64] = {};
    EXPECT_EQ(d2xx.ListDevices(reinterpret_cast<PVOID>(static_cast<uintptr_t>(i)), buffer,
                               FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
              FT_OK);
    serials.push_back(buffer);
  }
  return serials;
}

// Pumps this thread's messages while waiting for `done` (up to `ms`).
template <typename F>
bool WaitFor(F done, DWORD ms) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > ms) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(5);
  }
  return true;
}

// An opened tester with the program's settings and two overlapped records.
struct Port {
  explicit Port(const char* serial) {
    handle = d2xx.CreateFile(serial, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED | FT_OPEN_BY_SERIAL_NUMBER, nullptr);
    readOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    writeOv.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      EXPECT_EQ(d2xx.SetBaudRate(handle, 115200), FT_OK);
      EXPECT_EQ(d2xx.SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE), FT_OK);
      EXPECT_EQ(d2xx.SetTimeouts(handle, 10000, 10000), FT_OK);
      EXPECT_EQ(d2xx.SetLatencyTimer(handle, 2), FT_OK);
      EXPECT_EQ(d2xx.SetChars(handle, 0x03, 1, 0, 0), FT_OK);
    }
  }
  ~Port() {
    if (handle != INVALID_HANDLE_VALUE) d2xx.Close(handle);
    CloseHandle(readOv.hEvent);
    CloseHandle(writeOv.hEvent);
  }
  bool Open() const { return handle != INVALID_HANDLE_VALUE; }

  bool Write(std::vector<uint8_t> bytes) {
    DWORD n = 0;
    const BOOL at = d2xx.WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &n, &writeOv);
    if (!at && GetLastError() != ERROR_IO_PENDING) return false;
    if (WaitForSingleObject(writeOv.hEvent, 2000) != WAIT_OBJECT_0) return false;
    ResetEvent(writeOv.hEvent);
    return d2xx.GetOverlappedResult(handle, &writeOv, &n, FALSE) && n == bytes.size();
  }

  // Reads exactly `count` bytes the way the program does: one overlapped read
  // after the other, each completed through the event.
  std::vector<uint8_t> Read(size_t count, DWORD ms = 2000) {
    std::vector<uint8_t> got;
    while (got.size() < count) {
      DWORD n = 0;
      const DWORD want = static_cast<DWORD>(std::min<size_t>(count - got.size(), sizeof readBuffer));
      const BOOL at = d2xx.ReadFile(handle, readBuffer, want, &n, &readOv);
      if (!at && GetLastError() != ERROR_IO_PENDING) break;
      if (WaitForSingleObject(readOv.hEvent, ms) != WAIT_OBJECT_0) break;
      ResetEvent(readOv.hEvent);
      if (!d2xx.GetOverlappedResult(handle, &readOv, &n, FALSE)) break;
      got.insert(got.end(), readBuffer, readBuffer + n);
    }
    return got;
  }

  FT_HANDLE handle = INVALID_HANDLE_VALUE;
  uint8_t readBuffer[256] = {};  // a pending read may still fill it later
  OVERLAPPED readOv{};
  OVERLAPPED writeOv{};
};

const std::vector<uint8_t> kGetVersion = {0x02, 0x01, 0x01, 0x01, 0x03};
const std::vector<uint8_t> kVersionReply = {0x02, 0x03, 0x01, 0x14, 0x1E, 0x09, 0x03};

TEST(SimDll, ListsEveryFtdiDeviceOfTheScenario) {
  EXPECT_EQ(DeviceCount(), 3u);
  EXPECT_EQ(Serials(), (std::vector<std::string>{"VXPD0001", "FT7QX2LB", "VXPD0002"}));
  char buffer[64] = {};
  EXPECT_EQ(d2xx.ListDevices(reinterpret_cast<PVOID>(uintptr_t{3}), buffer, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
            FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(d2xx.ListDevices(reinterpret_cast<PVOID>(uintptr_t{0}), buffer, FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION),
            FT_OK);
  EXPECT_STREQ(buffer, "KT-60 Load Tester");
  EXPECT_EQ(d2xx.ListDevices(nullptr, nullptr, FT_LIST_NUMBER_ONLY), FT_INVALID_PARAMETER);
}

TEST(SimDll, GetVersionRoundTripThroughOverlappedIo) {
  Port port("VXPD0001");
  ASSERT_TRUE(port.Open());
  ASSERT_TRUE(port.Write(kGetVersion));
  EXPECT_EQ(port.Read(1), std::vector<uint8_t>{0x02});  // STX alone, as the program asks
  EXPECT_EQ(port.Read(1), std::vector<uint8_t>{0x03});  // LEN
  EXPECT_EQ(port.Read(5), (std::vector<uint8_t>{0x01, 0x14, 0x1E, 0x09, 0x03}));

  // Nothing more is coming: the read stays pending and says so without waiting.
  DWORD n = 0;
  EXPECT_FALSE(d2xx.ReadFile(port.handle, port.readBuffer, 1, &n, &port.readOv));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  Sleep(50);
  EXPECT_FALSE(d2xx.GetOverlappedResult(port.handle, &port.readOv, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  // Closing ends it with a failure, through the event.
  EXPECT_EQ(d2xx.Close(port.handle), FT_OK);
  EXPECT_EQ(WaitForSingleObject(port.readOv.hEvent, 2000), WAIT_OBJECT_0);
  EXPECT_FALSE(d2xx.GetOverlappedResult(port.handle, &port.readOv, &n, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(d2xx.Close(port.handle), FT_INVALID_HANDLE);
  port.handle = INVALID_HANDLE_VALUE;
}

TEST(SimDll, WithoutTheBaudRateTheTesterDoesNotUnderstand) {
  FT_HANDLE h = d2xx.CreateFile("VXPD0001", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0x40000081, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  Port port("NONE");
  port.handle = h;  // still 9600 baud
  ASSERT_TRUE(port.Write(kGetVersion));
  EXPECT_TRUE(port.Read(1, 300).empty());
  EXPECT_EQ(d2xx.SetBaudRate(h, 0), FT_INVALID_BAUD_RATE);
  EXPECT_EQ(d2xx.SetDataCharacteristics(h, 9, 0, 0), FT_INVALID_PARAMETER);
}

TEST(SimDll, LatencyTimerIsKeptPerOpeningAndCanBeRefused) {
  UCHAR ms = 0;
  {
    Port port("VXPD0002");
    ASSERT_TRUE(port.Open());
    ASSERT_EQ(d2xx.GetLatencyTimer(port.handle, &ms), FT_OK);
    EXPECT_EQ(ms, 2);
    EXPECT_EQ(d2xx.SetLatencyTimer(port.handle, 0), FT_INVALID_PARAMETER);
    EXPECT_EQ(d2xx.SetLatencyTimer(port.handle, 255), FT_OK);
    ASSERT_EQ(d2xx.GetLatencyTimer(port.handle, &ms), FT_OK);
    EXPECT_EQ(ms, 255);
    Control("@VXPD0002 fault nolatency 1");
    Control("@VXPD0002 fault nochars 1");
    Sleep(200);
    EXPECT_EQ(d2xx.SetLatencyTimer(port.handle, 2), FT_IO_ERROR);
    EXPECT_EQ(d2xx.SetChars(port.handle, 0x03, 1, 0, 0), FT_IO_ERROR);
    ASSERT_EQ(d2xx.GetLatencyTimer(port.handle, &ms), FT_OK);
    EXPECT_EQ(ms, 255);
    // The refusals left the bridge as it was: the reply still comes with its ETX.
    ASSERT_TRUE(port.Write(kGetVersion));
    EXPECT_EQ(port.Read(7), kVersionReply);
  }
  // A fresh opening starts at the bridge's default.
  FT_HANDLE h = d2xx.CreateFile("VXPD0002", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0x40000081, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(d2xx.GetLatencyTimer(h, &ms), FT_OK);
  EXPECT_EQ(ms, 16);
  EXPECT_EQ(d2xx.Close(h), FT_OK);
  EXPECT_EQ(d2xx.GetLatencyTimer(h, &ms), FT_INVALID_HANDLE);
}

TEST(SimDll, OpenFailsForUnknownBusyAndRefusingDevices) {
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED | FT_OPEN_BY_SERIAL_NUMBER;
  EXPECT_EQ(d2xx.CreateFile("VXPD9999", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr),
            INVALID_HANDLE_VALUE);
  {
    Port first("VXPD0002");
    ASSERT_TRUE(first.Open());
    EXPECT_EQ(d2xx.CreateFile("VXPD0002", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr),
              INVALID_HANDLE_VALUE);
  }
  Control("@VXPD0002 fault failopen 1");
  Sleep(200);
  EXPECT_FALSE(Port("VXPD0002").Open());
  EXPECT_TRUE(Port("VXPD0002").Open());
  // The device that is no tester opens but never answers.
  Port other("FT7QX2LB");
  ASSERT_TRUE(other.Open());
  ASSERT_TRUE(other.Write(kGetVersion));
  EXPECT_TRUE(other.Read(1, 300).empty());
}

// Collects the device-change messages that reach a top-level window.
std::vector<std::pair<WPARAM, std::wstring>> deviceChanges;

LRESULT CALLBACK ProbeProc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_DEVICECHANGE && (wp == DBT_DEVICEARRIVAL || wp == DBT_DEVICEREMOVECOMPLETE)) {
    const auto* b = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lp);
    if (b && b->dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE) deviceChanges.emplace_back(wp, b->dbcc_name);
    return TRUE;
  }
  return DefWindowProcW(window, msg, wp, lp);
}

TEST(SimDll, ControlFilePlugAndUnplugChangeTheListAndAreAnnounced) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = ProbeProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"SimDllProbe";
  RegisterClassW(&wc);
  HWND probe = CreateWindowExW(0, L"SimDllProbe", L"probe", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                               wc.hInstance, nullptr);
  ASSERT_NE(probe, nullptr);
  deviceChanges.clear();

  Control("plug VXPD0003 kt40");
  ASSERT_TRUE(WaitFor([] { return DeviceCount() == 4; }, 3000));
  EXPECT_EQ(Serials().back(), "VXPD0003");
  ASSERT_TRUE(WaitFor([] { return !deviceChanges.empty(); }, 3000));
  EXPECT_EQ(deviceChanges[0].first, static_cast<WPARAM>(DBT_DEVICEARRIVAL));
  EXPECT_EQ(deviceChanges[0].second, L"\\\\?\\USB#VID_0403&PID_6015#VXPD0003#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");

  {
    // An open tester that is unplugged fails its pending read and later calls.
    Port port("VXPD0003");
    ASSERT_TRUE(port.Open());
    DWORD n = 0;
    EXPECT_FALSE(d2xx.ReadFile(port.handle, port.readBuffer, 1, &n, &port.readOv));
    Control("unplug VXPD0003");
    ASSERT_EQ(WaitForSingleObject(port.readOv.hEvent, 3000), WAIT_OBJECT_0);
    EXPECT_FALSE(d2xx.GetOverlappedResult(port.handle, &port.readOv, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(port.Write(kGetVersion));
  }
  ASSERT_TRUE(WaitFor([] { return DeviceCount() == 3; }, 3000));
  ASSERT_TRUE(WaitFor([] { return deviceChanges.size() >= 2; }, 3000));
  EXPECT_EQ(deviceChanges[1].first, static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE));
  EXPECT_NE(deviceChanges[1].second.find(L"#VXPD0003#"), std::wstring::npos);

  Control("unplug VXPD0001");
  ASSERT_TRUE(WaitFor([] { return DeviceCount() == 2; }, 3000));
  EXPECT_EQ(Serials(), (std::vector<std::string>{"FT7QX2LB", "VXPD0002"}));
  Control("plug VXPD0001");
  ASSERT_TRUE(WaitFor([] { return DeviceCount() == 3; }, 3000));
  EXPECT_EQ(Serials().front(), "VXPD0001");
  DestroyWindow(probe);
}

// A copy of the DLL in its own folder picks its scenario from ftd2xx-sim.txt
// beside it: a file name relative to that folder, or a scenario written inline.
// (The copy is a separate module with a world of its own.)
TEST(SimDll, ScenarioFileBesideTheDll) {
  const std::wstring exe = ExeFolder();
  struct Case {
    const wchar_t* folder;
    std::string pointer;
    std::vector<std::string> serials;
  } cases[] = {
      {L"\\beside-name", "# which scenario\r\nscenarios/kt40.sim\r\n", {"VXPD0040"}},
      {L"\\beside-inline", "tester VXPD7777 kt60\n  charger dcp\nend\nftdi FTA\n", {"VXPD7777", "FTA"}},
  };
  for (const Case& c : cases) {
    const std::wstring folder = WorkFolder() + c.folder;
    CreateDirectoryW(folder.c_str(), nullptr);
    CreateDirectoryW((folder + L"\\scenarios").c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((exe + L"\\ftd2xx.dll").c_str(), (folder + L"\\ftd2xx.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((exe + L"\\scenarios\\kt40.sim").c_str(), (folder + L"\\scenarios\\kt40.sim").c_str(), FALSE));
    {
      std::ofstream pointer((folder + L"\\ftd2xx-sim.txt").c_str(), std::ios::binary);
      pointer << c.pointer;
    }
    // The copy must not see this process's scenario, control file or record.
    SetEnvironmentVariableW(L"LOADPOST_SIM_SCENARIO", nullptr);
    SetEnvironmentVariableW(L"LOADPOST_SIM_CONTROL", nullptr);
    SetEnvironmentVariableW(L"LOADPOST_SIM_RECORD", nullptr);
    HMODULE copy = LoadLibraryExW((folder + L"\\ftd2xx.dll").c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    ASSERT_NE(copy, nullptr);
    ASSERT_NE(copy, d2xx.module);
    auto list = reinterpret_cast<FT_ListDevices_t>(reinterpret_cast<void*>(GetProcAddress(copy, "FT_ListDevices")));
    ASSERT_NE(list, nullptr);
    DWORD n = 0;
    ASSERT_EQ(list(&n, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    std::vector<std::string> serials;
    for (DWORD i = 0; i < n; ++i) {
      char buffer[64] = {};
      list(reinterpret_cast<PVOID>(static_cast<uintptr_t>(i)), buffer, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
      serials.push_back(buffer);
    }
    EXPECT_EQ(serials, c.serials);
  }
}

}  // namespace
