// TesterLink and SerialTransport over an in-process fake D2XX device, which
// lets the tests spoil single replies, writes and timings at will; and the
// D2XX loader's behaviour when the library or its entry points are missing.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "d2xx/d2xx.h"
#include "d2xx/d2xx_api.h"
#include "link/frame.h"
#include "link/tester_commands.h"
#include "link/tester_link_win.h"
#include "shell/log_event.h"
#include "shell/logger.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(uint8_t command, Bytes data = {}) {
  uint8_t out[kFrameBufferBytes];
  const size_t n = BuildFrame(command, data.data(), data.size(), out, sizeof out);
  return Bytes(out, out + n);
}

// ---------------------------------------------------------------------------
// The fake device: bytes written by the host go to `respond`, which returns
// what the device sends back and after how long. A pump thread delivers
// scheduled bytes and completes the outstanding overlapped read once it can
// be filled whole, as the real library does within its read time-out.
struct Delivery {
  DWORD delayMs;
  Bytes bytes;
};

struct FakeDevice {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> serials{"VXPD0001", "FT123456", "VXPD0002"};
  std::string openSerial;
  bool open = false;
  DWORD createFlags = 0;
  ULONG baud = 0;
  UCHAR bits = 0, stop = 9, parity = 9;
  ULONG readTimeout = 0, writeTimeout = 0;
  ULONG failSetting = 0;  // 1: baud, 2: characteristics, 3: time-outs
  std::deque<uint8_t> rx;
  OVERLAPPED* readOv = nullptr;
  uint8_t* readBuffer = nullptr;
  DWORD readWant = 0;
  std::multimap<ULONGLONG, Bytes> scheduled;
  std::vector<Bytes> written;
  int failWrites = 0;   // next writes complete with a failure
  int stallWrites = 0;  // next writes never complete
  std::atomic<bool> gone{false};  // unplugged: reads and writes fail at once
  std::function<std::vector<Delivery>(const Bytes&)> respond;
  std::thread pump;
  bool quit = false;

  void Start() {
    quit = false;
    pump = std::thread([this] { Pump(); });
  }
  void Finish() {
    {
      std::lock_guard<std::mutex> g(m);
      quit = true;
    }
    cv.notify_all();
    if (pump.joinable()) pump.join();
  }
  void Schedule(DWORD delayMs, Bytes bytes) {
    {
      std::lock_guard<std::mutex> g(m);
      scheduled.emplace(GetTickCount64() + delayMs, std::move(bytes));
    }
    cv.notify_all();
  }
  // Called with m held.
  void CompleteReadLocked() {
    if (!readOv || rx.size() < readWant) return;
    for (DWORD i = 0; i < readWant; ++i) {
      readBuffer[i] = rx.front();
      rx.pop_front();
    }
    readOv->Internal = 0;
    readOv->InternalHigh = readWant;
    HANDLE e = readOv->hEvent;
    readOv = nullptr;
    SetEvent(e);
  }
  void Pump() {
    std::unique_lock<std::mutex> g(m);
    while (!quit) {
      const ULONGLONG now = GetTickCount64();
      while (!scheduled.empty() && scheduled.begin()->first <= now) {
        for (uint8_t b : scheduled.begin()->second) rx.push_back(b);
        scheduled.erase(scheduled.begin());
      }
      CompleteReadLocked();
      if (scheduled.empty()) {
        cv.wait_for(g, std::chrono::milliseconds(50));
      } else {
        const ULONGLONG due = scheduled.begin()->first;
        cv.wait_for(g, std::chrono::milliseconds(due > now ? due - now : 0));
      }
    }
  }
};

FakeDevice* device = nullptr;
FT_HANDLE const kFakeHandle = reinterpret_cast<FT_HANDLE>(0x5150);

FT_STATUS WINAPI FakeListDevices(PVOID arg1, PVOID arg2, DWORD flags) {
  std::lock_guard<std::mutex> g(device->m);
  if (flags == FT_LIST_NUMBER_ONLY) {
    *static_cast<DWORD*>(arg1) = static_cast<DWORD>(device->serials.size());
    return FT_OK;
  }
  if (flags == (FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER)) {
    const size_t i = reinterpret_cast<uintptr_t>(arg1);
    if (i >= device->serials.size()) return FT_DEVICE_NOT_FOUND;
    std::strncpy(static_cast<char*>(arg2), device->serials[i].c_str(), 63);
    return FT_OK;
  }
  return FT_INVALID_PARAMETER;
}

FT_HANDLE WINAPI FakeCreateFile(const char* name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags, HANDLE) {
  std::lock_guard<std::mutex> g(device->m);
  device->createFlags = flags;
  if (device->open || !name || name != std::string("VXPD0001")) return INVALID_HANDLE_VALUE;
  device->open = true;
  device->openSerial = name;
  return kFakeHandle;
}

FT_STATUS WINAPI FakeSetBaudRate(FT_HANDLE, ULONG baud) {
  device->baud = baud;
  return device->failSetting == 1 ? FT_INVALID_BAUD_RATE : FT_OK;
}

FT_STATUS WINAPI FakeSetDataCharacteristics(FT_HANDLE, UCHAR bits, UCHAR stop, UCHAR parity) {
  device->bits = bits;
  device->stop = stop;
  device->parity = parity;
  return device->failSetting == 2 ? FT_INVALID_PARAMETER : FT_OK;
}

FT_STATUS WINAPI FakeSetTimeouts(FT_HANDLE, ULONG readMs, ULONG writeMs) {
  device->readTimeout = readMs;
  device->writeTimeout = writeMs;
  return device->failSetting == 3 ? FT_INVALID_PARAMETER : FT_OK;
}

BOOL WINAPI FakeReadFile(FT_HANDLE, LPVOID buffer, DWORD want, LPDWORD, LPOVERLAPPED ov) {
  if (device->gone) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  std::lock_guard<std::mutex> g(device->m);
  ResetEvent(ov->hEvent);
  device->readOv = ov;
  device->readBuffer = static_cast<uint8_t*>(buffer);
  device->readWant = want;
  device->CompleteReadLocked();
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL WINAPI FakeWriteFile(FT_HANDLE, LPVOID buffer, DWORD length, LPDWORD, LPOVERLAPPED ov) {
  if (device->gone) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
  }
  Bytes frame(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
  std::vector<Delivery> replies;
  bool fail = false, stall = false;
  {
    std::lock_guard<std::mutex> g(device->m);
    device->written.push_back(frame);
    if (device->stallWrites > 0) {
      --device->stallWrites;
      stall = true;
    } else if (device->failWrites > 0) {
      --device->failWrites;
      fail = true;
    }
  }
  SetLastError(ERROR_IO_PENDING);
  if (stall) return FALSE;
  ResetEvent(ov->hEvent);
  ov->Internal = fail ? 0xC0000001 : 0;
  ov->InternalHigh = fail ? 0 : length;
  SetEvent(ov->hEvent);
  if (!fail && device->respond) replies = device->respond(frame);
  for (Delivery& d : replies) device->Schedule(d.delayMs, std::move(d.bytes));
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL WINAPI FakeGetOverlappedResult(FT_HANDLE, LPOVERLAPPED ov, LPDWORD n, BOOL) {
  *n = static_cast<DWORD>(ov->InternalHigh);
  return ov->Internal == 0;
}

FT_STATUS WINAPI FakeClose(FT_HANDLE) {
  std::lock_guard<std::mutex> g(device->m);
  device->open = false;
  device->readOv = nullptr;
  return FT_OK;
}

const D2xxApi kFakeApi = {FakeListDevices, FakeCreateFile,  FakeSetBaudRate,         FakeSetDataCharacteristics,
                          FakeSetTimeouts, FakeReadFile,    FakeWriteFile,           FakeGetOverlappedResult,
                          FakeClose};

// ---------------------------------------------------------------------------
// A well-behaved tester for the commands these tests use (the whole command
// set runs against the stand-in DLL elsewhere); `spoil` may change the answers
// to one request (return true when it handled the frame itself).
struct FakeTester {
  uint8_t settingsStore[5][2] = {{1, 0}, {0, 0}, {0x84, 0x03}, {1, 0}, {0x50, 0x00}};
  uint16_t vbusMv = 5000;
  int measurementRounds = 0;
  std::function<bool(const Bytes& frame, std::vector<Delivery>& out)> spoil;

  std::vector<Delivery> Answer(const Bytes& f) {
    std::vector<Delivery> out;
    if (spoil && spoil(f, out)) return out;
    const uint8_t cmd = f[2];
    switch (cmd) {
      case 0x01: out.push_back({1, Frame(0x01, {20, 30})}); break;
      case 0x0A: out.push_back({1, Frame(0x0A, {1, 0, 5, 0, 0x88, 0x13, 0xB8, 0x0B, 1, 2, 3, 4})}); break;
      case 0x0C: {
        ++measurementRounds;
        const uint16_t v = static_cast<uint16_t>(vbusMv + measurementRounds);
        out.push_back({1, Frame(0x0C, {0, 33, uint8_t(v & 0xFF), uint8_t(v >> 8), 0xF4, 0x01, 0xF0, 0x01, 0, 0})});
        break;
      }
      case 0x10:
        out.push_back({1, Frame(cmd)});
        break;
      case 0xE0:
        if (f[3] < 5) std::memcpy(settingsStore[f[3]], &f[4], f[1] >= 4 ? 2 : 1);
        out.push_back({1, Frame(0xE0)});
        break;
      case 0xE1: {
        const uint8_t i = f[3] < 5 ? f[3] : 0;
        if (i == 2 || i == 4) {
          out.push_back({1, Frame(0xE1, {settingsStore[i][0], settingsStore[i][1]})});
        } else {
          out.push_back({1, Frame(0xE1, {settingsStore[i][0]})});
        }
        break;
      }
      default:
        break;
    }
    return out;
  }
};

class LinkOverFakeDevice : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!eventLog) eventLog = new Logger();
  }
  void SetUp() override {
    device = &dev;
    dev.respond = [this](const Bytes& f) { return tester.Answer(f); };
    dev.Start();
    D2xxUseApiForTesting(&kFakeApi);
    notices.clear();
  }
  void TearDown() override {
    link.Close();
    D2xxUseApiForTesting(nullptr);
    dev.Finish();
    device = nullptr;
  }
  static void OnNotice(int n) {
    std::lock_guard<std::mutex> g(noticeLock);
    notices.push_back(n);
  }
  static std::vector<int> Notices() {
    std::lock_guard<std::mutex> g(noticeLock);
    return notices;
  }
  uint16_t MeasureVbus(int* ok) {
    uint8_t temp = 0;
    uint16_t vbus = 0, set = 0, cur = 0, loop = 0;
    *ok = link.GetMeasurements(&temp, &vbus, &set, &cur, &loop);
    return vbus;
  }
  int PortStatus(uint16_t* mv) {
    uint32_t attach = 0, kind = 0, extra = 0;
    uint8_t index = 0, sub = 0;
    uint16_t ma = 0;
    return link.GetPortStatus(&attach, &index, &kind, &sub, mv, &ma, &extra);
  }

  FakeDevice dev;
  FakeTester tester;
  TesterLink link;
  static std::mutex noticeLock;
  static std::vector<int> notices;
};
std::mutex LinkOverFakeDevice::noticeLock;
std::vector<int> LinkOverFakeDevice::notices;

TEST_F(LinkOverFakeDevice, ListingGivesSerialsInOrder) {
  EXPECT_EQ(D2xxDeviceCount(), 3);
  char serial[32];
  ASSERT_TRUE(D2xxSerialAt(2, serial, sizeof serial));
  EXPECT_STREQ(serial, "VXPD0002");
  char small[5];
  ASSERT_TRUE(D2xxSerialAt(0, small, sizeof small));
  EXPECT_STREQ(small, "VXPD");
  EXPECT_FALSE(D2xxSerialAt(3, serial, sizeof serial));
  EXPECT_STREQ(serial, "");
  EXPECT_FALSE(D2xxSerialAt(-1, serial, sizeof serial));
}

TEST_F(LinkOverFakeDevice, OpenConfiguresTheLineAndReadsTheVersion) {
  eventLog->Clear();
  ASSERT_EQ(link.Open("VXPD0001", &OnNotice), 1);
  // This library has no latency timer or event character calls: the link works
  // without them and says so once.
  ASSERT_EQ(eventLog->RecordCount(), 1);
  wchar_t text[kLogTextChars];
  int32_t category = 0;
  int64_t time = 0;
  ASSERT_TRUE(eventLog->GetRecord(0, text, &category, &time));
  EXPECT_EQ(category, LogDiagnostics);
  EXPECT_STREQ(text, L"Low-latency setting refused (FT_SetLatencyTimer: not in the D2XX library; FT_SetChars: not in "
                     L"the D2XX library): the link stays at the bridge's default latency");
  EXPECT_EQ(dev.createFlags, 0x40000081u);
  EXPECT_EQ(dev.baud, 115200u);
  EXPECT_EQ(dev.bits, 8);
  EXPECT_EQ(dev.stop, 0);
  EXPECT_EQ(dev.parity, 0);
  EXPECT_EQ(dev.readTimeout, 10000u);
  EXPECT_EQ(dev.writeTimeout, 10000u);
  EXPECT_EQ(link.hardwareRevision, 20);
  EXPECT_EQ(link.firmwareVersion, 30);
  ASSERT_EQ(dev.written.size(), 1u);
  EXPECT_EQ(dev.written[0], (Bytes{0x02, 0x01, 0x01, 0x01, 0x03}));

  link.Close();
  EXPECT_FALSE(dev.open);
  // Reopening works and creates a fresh transport.
  ASSERT_EQ(link.Open("VXPD0001", &OnNotice), 1);
  EXPECT_TRUE(dev.open);
}

TEST_F(LinkOverFakeDevice, OpenFailures) {
  EXPECT_EQ(link.Open("VXPD9999", &OnNotice), 0);
  for (ULONG which : {1u, 2u, 3u}) {
    dev.failSetting = which;
    EXPECT_EQ(link.Open("VXPD0001", &OnNotice), 0) << which;
    EXPECT_FALSE(dev.open) << which;  // the handle was closed again
  }
  dev.failSetting = 0;
  // The version request is taken but never answered: 10 and 0 are stored, the
  // open fails and the device is not left open.
  tester.spoil = [](const Bytes& f, std::vector<Delivery>&) { return f[2] == 0x01; };
  link.hardwareRevision = 20;
  link.firmwareVersion = 30;
  EXPECT_EQ(link.Open("VXPD0001", &OnNotice), 0);
  EXPECT_EQ(link.hardwareRevision, 10);
  EXPECT_EQ(link.firmwareVersion, 0);
  EXPECT_FALSE(dev.open);
  EXPECT_FALSE(link.IsOpen());
  uint16_t mv = 0;
  EXPECT_EQ(PortStatus(&mv), 0);
}

TEST_F(LinkOverFakeDevice, LateReplyIsNeverTakenByTheNextCommand) {
  ASSERT_EQ(link.Open("VXPD0001", &OnNotice), 1);
  // The first measurement is answered 700 ms late, after its time-out.
  int spoiled = 0;
  tester.spoil = [&](const Bytes& f, std::vector<Delivery>& out) {
    if (f[2] != 0x0C || spoiled++ > 0) return false;
    out.push_back({700, Frame(0x0C, {0, 33, 0x0F, 0x27, 0, 0, 0, 0, 0, 0})});  // 9999 mV
    return true;
  };
  int ok = 0;
  MeasureVbus(&ok);
  EXPECT_EQ(ok, 0);
  Sleep(400);  // the late reply has now arrived and sits in the link
  // Same command: the answer is this round's, not the stale 9999 mV.
  const uint16_t vbus = MeasureVbus(&ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(vbus, 5001);
  EXPECT_EQ(tester.measurementRounds, 1);

  // Another command after a late reply of a different command also succeeds.
  spoiled = 0;
  MeasureVbus(&ok);
  EXPECT_EQ(ok, 0);
  Sleep(400);
  uint16_t mv = 0;
  EXPECT_EQ(PortStatus(&mv), 1);
  EXPECT_EQ(mv, 5000);
}

TEST_F(LinkOverFakeDevice, NoticesReachTheCallbackWithoutDisturbingReplies) {
  ASSERT_EQ(link.Open("VXPD0001", &OnNotice), 1);
  dev.Schedule(0, Frame(0x20));
  dev.Schedule(0, Frame(0x21));
  dev.Schedule(0, Frame(0x22));
  dev.Schedule(0, Frame(0x23));
  for (int i = 0; i < 100 && Notices().size() < 4; ++i) Sleep(10);
  EXPECT_EQ(Notices(), (std::vector<int>{1, 2, 3, 4}));

  // A notice that arrives between a request and its reply.
  tester.spoil = [](const Bytes& f, std::vector<Delivery>& out) {
    if (f[2] != 0x0A) return false;
    out.push_back({1, Frame(0x21)});
    out.push_back({30, Frame(0x0A, {1, 3, 5, 0, 0x28, 0x23, 0xB8, 0x0B, 0, 0, 0, 0})});
    return true;
  };
  uint16_t mv = 0;
  EXPECT_EQ(PortStatus(&mv), 1);
  EXPECT_EQ(mv, 9000);
  for (int i = 0; i < 100 && Notices().size() < 5; ++i) Sleep(10);
  EXPECT_EQ(Notices().back(), 2);
}

TEST_F(LinkOverFakeDevice, FailedWriteDoesNotKillTheLink) {
  ASSERT_EQ(link.Open("VXPD0001", &OnNotice), 1);
  dev.failWrites = 1;
  EXPECT_EQ(link.SetLoadCurrent(200), 0);
  EXPECT_EQ(link.SetLoadCurrent(200), 1);

  // A failed write in the settings sequence ends it, and the pauses are kept.
  const size_t before = dev.written.size();
  dev.failWrites = 1;
  EXPECT_EQ(link.WriteTesterSettings(), 0);
  EXPECT_EQ(dev.written.size(), before + 1);
  EXPECT_EQ(link.SetLoadCurrent(200), 1);
}

TEST_F(LinkOverFakeDevice, AGoneDeviceMarksTheLinkLost) {
  ASSERT_EQ(link.Open("VXPD0001", &OnNotice), 1);
  dev.gone = true;
  EXPECT_EQ(link.SetLoadCurrent(200), 0);
  EXPECT_TRUE(link.Lost());
  // The transport is not left busy: nothing more is tried until the next open.
  EXPECT_EQ(link.SetLoadCurrent(200), 0);
  dev.gone = false;
  link.Close();
  ASSERT_EQ(link.Open("VXPD0001", &OnNotice), 1);
  EXPECT_FALSE(link.Lost());
  EXPECT_EQ(link.SetLoadCurrent(200), 1);
}

TEST_F(LinkOverFakeDevice, WriteThatNeverCompletesFailsTheCommand) {
  ASSERT_EQ(link.Open("VXPD0001", &OnNotice), 1);
  dev.stallWrites = 1;
  uint16_t mv = 0;
  EXPECT_EQ(PortStatus(&mv), 0);
  // The write is still in flight: the next request cannot be queued.
  const size_t before = dev.written.size();
  EXPECT_EQ(PortStatus(&mv), 0);
  EXPECT_EQ(dev.written.size(), before);
}

TEST_F(LinkOverFakeDevice, ConcurrentCommandsAreSerialised) {
  ASSERT_EQ(link.Open("VXPD0001", &OnNotice), 1);
  std::atomic<int> failures{0};
  auto worker = [&](bool measure) {
    for (int i = 0; i < 20; ++i) {
      if (measure) {
        int ok = 0;
        MeasureVbus(&ok);
        if (!ok) ++failures;
      } else {
        uint16_t mv = 0;
        if (!PortStatus(&mv) || mv != 5000) ++failures;
      }
    }
  };
  std::thread a(worker, true), b(worker, false);
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(tester.measurementRounds, 20);
}

// ---------------------------------------------------------------------------
// Without a usable library: no crash, no devices, and one ERROR record.
int ErrorRecordsWith(const wchar_t* text) {
  int found = 0;
  wchar_t buffer[kLogTextChars];
  int32_t category = 0;
  int64_t time = 0;
  for (int32_t i = 0; i < eventLog->RecordCount(); ++i) {
    if (eventLog->GetRecord(i, buffer, &category, &time) && category == LogError && std::wcsstr(buffer, text)) {
      ++found;
    }
  }
  return found;
}

TEST(D2xxLoader, MissingLibraryIsLoggedOnceAndEverythingFailsCleanly) {
  if (!eventLog) eventLog = new Logger();
  eventLog->Clear();
  D2xxSetLibraryName(L"no_such_ftd2xx.dll");
  EXPECT_FALSE(D2xxAvailable());
  EXPECT_EQ(D2xxDeviceCount(), 0);
  char serial[20] = "junk";
  EXPECT_FALSE(D2xxSerialAt(0, serial, sizeof serial));
  EXPECT_STREQ(serial, "");
  TesterLink link;
  EXPECT_EQ(link.Open("VXPD0001", nullptr), 0);
  EXPECT_EQ(link.SetLoadCurrent(100), 0);
  EXPECT_EQ(D2xxDeviceCount(), 0);
  EXPECT_EQ(ErrorRecordsWith(L"D2XX library no_such_ftd2xx.dll not found"), 1);
  EXPECT_EQ(eventLog->RecordCount(), 1);
  D2xxSetLibraryName(nullptr);
}

TEST(D2xxLoader, LibraryWithoutTheEntryPointsIsRefused) {
  if (!eventLog) eventLog = new Logger();
  eventLog->Clear();
  // A system library that exists but exports none of the calls.
  D2xxSetLibraryName(L"version.dll");
  EXPECT_EQ(D2xxDeviceCount(), 0);
  EXPECT_FALSE(D2xxAvailable());
  EXPECT_EQ(eventLog->RecordCount(), 1);
  EXPECT_EQ(ErrorRecordsWith(L"D2XX library version.dll lacks FT_ListDevices, FT_W32_CreateFile"), 1);
  EXPECT_EQ(ErrorRecordsWith(L"FT_Close"), 1);
  D2xxSetLibraryName(nullptr);
}

TEST(D2xxLoader, LoadsOnceFromManyThreads) {
  if (!eventLog) eventLog = new Logger();
  eventLog->Clear();
  D2xxSetLibraryName(L"no_such_ftd2xx.dll");
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([] { D2xxDeviceCount(); });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(eventLog->RecordCount(), 1);
  D2xxSetLibraryName(nullptr);
}

}  // namespace
