// TesterLink and SerialTransport over an in-process fake D2XX device, which lets the tests spoil single replies, writes
// and timings at will; and the D2XX loader's behaviour when the library or its entry points are missing.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/d2xx/d2xx.h"
#include "core/d2xx/d2xx_api.h"
#include "core/link/frame.h"
#include "core/link/tester_link_win.h"
#include "core/base/log_event.h"
#include "core/base/logger.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(uint8_t command, Bytes data = {}) {
  uint8_t out[kFrameBufferBytes];
  return Bytes(out, out + BuildFrame(command, data.data(), data.size(), out, sizeof out));
}

// The fake device answers each written frame at once as a well-behaved tester would, unless told to drop replies, fail
// or stall writes, or act unplugged. Bytes it sends complete the outstanding overlapped read once it can be filled
// whole, as the real library does within its read time-out.
struct FakeDevice {
  std::mutex m;
  bool open = false;
  DWORD createFlags = 0;
  std::vector<ULONG> line;  // baud rate, data characteristics, time-outs as set
  int failSetting = 0;      // 1: baud rate, 2: data characteristics, 3: time-outs
  std::deque<uint8_t> rx;
  OVERLAPPED* readOv = nullptr;
  uint8_t* readBuffer = nullptr;
  DWORD readWant = 0;
  std::vector<Bytes> written;
  int drop[256] = {};                  // replies to drop, by command
  int failWrites = 0, stallWrites = 0;  // next writes fail / never complete
  std::atomic<bool> gone{false};        // unplugged: reads and writes fail at once

  Bytes Answer(uint8_t command) {
    if (drop[command] > 0) return --drop[command], Bytes{};
    switch (command) {
      case 0x01: return Frame(0x01, {20, 30});
      case 0x0A: {  // a notice comes just before the port status
        Bytes out = Frame(0x21), reply = Frame(0x0A, {1, 0, 5, 0, 0x88, 0x13, 0xB8, 0x0B, 1, 2, 3, 4});
        out.insert(out.end(), reply.begin(), reply.end());
        return out;
      }
      case 0x0C: return Frame(0x0C, {0, 33, 0x88, 0x13, 0xF4, 0x01, 0xF0, 0x01, 0, 0});  // 5000 mV
      default: return Frame(command);
    }
  }
  void Deliver(const Bytes& bytes) {
    std::lock_guard<std::mutex> g(m);
    rx.insert(rx.end(), bytes.begin(), bytes.end());
    if (!readOv || rx.size() < readWant) return;
    for (DWORD i = 0; i < readWant; ++i, rx.pop_front()) readBuffer[i] = rx.front();
    readOv->Internal = 0;
    readOv->InternalHigh = readWant;
    SetEvent(std::exchange(readOv, nullptr)->hEvent);
  }
};

FakeDevice* device = nullptr;

BOOL Unplugged() {
  SetLastError(ERROR_DEVICE_NOT_CONNECTED);
  return FALSE;
}

FT_STATUS Setting(int which, std::initializer_list<ULONG> values) {
  device->line.insert(device->line.end(), values);
  return device->failSetting == which ? FT_INVALID_PARAMETER : FT_OK;
}

const D2xxApi kFakeApi = {
    nullptr,
    [](const char* name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags, HANDLE) -> FT_HANDLE {
      std::lock_guard<std::mutex> g(device->m);
      device->createFlags = flags;
      device->line.clear();
      if (device->open || !name || name != std::string("VXPD0001")) return INVALID_HANDLE_VALUE;
      device->open = true;
      return reinterpret_cast<FT_HANDLE>(0x5150);
    },
    [](FT_HANDLE, ULONG baud) { return Setting(1, {baud}); },
    [](FT_HANDLE, UCHAR bits, UCHAR stop, UCHAR parity) { return Setting(2, {bits, stop, parity}); },
    [](FT_HANDLE, ULONG readMs, ULONG writeMs) { return Setting(3, {readMs, writeMs}); },
    [](FT_HANDLE, LPVOID buffer, DWORD want, LPDWORD, LPOVERLAPPED ov) -> BOOL {
      if (device->gone) return Unplugged();
      {
        std::lock_guard<std::mutex> g(device->m);
        ResetEvent(ov->hEvent);
        device->readOv = ov;
        device->readBuffer = static_cast<uint8_t*>(buffer), device->readWant = want;
      }
      device->Deliver({});
      SetLastError(ERROR_IO_PENDING);
      return FALSE;
    },
    [](FT_HANDLE, LPVOID buffer, DWORD length, LPDWORD, LPOVERLAPPED ov) -> BOOL {
      if (device->gone) return Unplugged();
      const Bytes frame(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
      bool fail = false, stall = false;
      {
        std::lock_guard<std::mutex> g(device->m);
        device->written.push_back(frame);
        stall = device->stallWrites > 0 && device->stallWrites--;
        fail = !stall && device->failWrites > 0 && device->failWrites--;
      }
      if (!stall) {
        ov->Internal = fail ? 0xC0000001 : 0;
        ov->InternalHigh = fail ? 0 : length;
        SetEvent(ov->hEvent);
        if (!fail) device->Deliver(device->Answer(frame[2]));
      }
      SetLastError(ERROR_IO_PENDING);
      return FALSE;
    },
    [](FT_HANDLE, LPOVERLAPPED ov, LPDWORD n, BOOL) -> BOOL {
      *n = static_cast<DWORD>(ov->InternalHigh);
      return ov->Internal == 0;
    },
    [](FT_HANDLE) -> FT_STATUS {
      std::lock_guard<std::mutex> g(device->m);
      device->open = false;
      device->readOv = nullptr;
      return FT_OK;
    }};

std::vector<std::wstring> LogRecords(int32_t category) {
  std::vector<std::wstring> records;
  wchar_t text[kLogTextChars];
  int32_t c = 0;
  int64_t time = 0;
  for (int32_t i = 0; i < eventLog->RecordCount(); ++i) {
    if (eventLog->GetRecord(i, text, &c, &time) && c == category) records.push_back(text);
  }
  return records;
}

std::mutex noticeLock;
std::vector<int> notices;

void OnNotice(int n) {
  std::lock_guard<std::mutex> g(noticeLock);
  notices.push_back(n);
}

class LinkOverFakeDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!eventLog) eventLog = new Logger();
    eventLog->Clear();
    device = &dev;
    D2xxUseApiForTesting(&kFakeApi);
    notices.clear();
  }
  void TearDown() override {
    link.Close();
    D2xxUseApiForTesting(nullptr);
    device = nullptr;
  }
  int Open(const char* serial = "VXPD0001") { return link.Open(serial, &OnNotice); }
  int Measure(uint16_t* vbus) {
    uint8_t temp = 0;
    uint16_t set = 0, cur = 0, loop = 0;
    return link.GetMeasurements(&temp, vbus, &set, &cur, &loop);
  }
  int PortStatus(uint16_t* mv) {
    uint32_t attach = 0, kind = 0, extra = 0;
    uint8_t index = 0, sub = 0;
    uint16_t ma = 0;
    return link.GetPortStatus(&attach, &index, &kind, &sub, mv, &ma, &extra);
  }

  FakeDevice dev;
  TesterLink link;
};

TEST_F(LinkOverFakeDevice, OpenConfiguresTheLineAndReadsTheVersion) {
  ASSERT_EQ(Open(), 1);
  // This library has no latency timer or event character calls: the link works without them and says so once.
  EXPECT_EQ(LogRecords(LogDiagnostics),
            std::vector<std::wstring>{L"Low-latency setting refused (FT_SetLatencyTimer: not in the D2XX library; "
                                      L"FT_SetChars: not in the D2XX library): the link stays at the bridge's default "
                                      L"latency"});
  EXPECT_EQ(eventLog->RecordCount(), 1);
  EXPECT_EQ(dev.createFlags, 0x40000081u);
  EXPECT_EQ(dev.line, (std::vector<ULONG>{115200, 8, 0, 0, 10000, 10000}));
  EXPECT_EQ((std::vector<int>{link.hardwareRevision, link.firmwareVersion}), (std::vector<int>{20, 30}));
  EXPECT_EQ(dev.written, std::vector<Bytes>{Frame(0x01)});
  link.Close();
  EXPECT_FALSE(dev.open);
  ASSERT_EQ(Open(), 1);  // reopening creates a fresh transport
  EXPECT_TRUE(dev.open);
}

TEST_F(LinkOverFakeDevice, OpenFailures) {
  EXPECT_EQ(Open("VXPD9999"), 0);
  for (int which : {1, 2, 3}) {
    dev.failSetting = which;
    EXPECT_EQ(Open(), 0) << which;
    EXPECT_FALSE(dev.open) << which;  // the handle was closed again
  }
  dev.failSetting = 0;
  // The version request is taken but never answered: 10 and 0 are stored, the
  // open fails and the device is not left open.
  dev.drop[0x01] = 100;
  link.hardwareRevision = 20;
  link.firmwareVersion = 30;
  EXPECT_EQ(Open(), 0);
  EXPECT_EQ((std::vector<int>{link.hardwareRevision, link.firmwareVersion}), (std::vector<int>{10, 0}));
  EXPECT_FALSE(dev.open);
  EXPECT_FALSE(link.IsOpen());
  uint16_t mv = 0;
  EXPECT_EQ(PortStatus(&mv), 0);
}

// A measurement goes unanswered and its reply (a stale 9999 mV) arrives after
// the time-out: neither the same command nor another one takes it.
TEST_F(LinkOverFakeDevice, LateReplyIsNeverTakenByTheNextCommand) {
  ASSERT_EQ(Open(), 1);
  for (bool sameCommand : {true, false}) {
    dev.drop[0x0C] = 1;
    uint16_t mv = 0;
    EXPECT_EQ(Measure(&mv), 0);
    dev.Deliver(Frame(0x0C, {0, 33, 0x0F, 0x27, 0, 0, 0, 0, 0, 0}));
    Sleep(200);  // the late reply now sits in the link
    EXPECT_EQ(sameCommand ? Measure(&mv) : PortStatus(&mv), 1) << sameCommand;
    EXPECT_EQ(mv, 5000) << sameCommand;
  }
}

TEST_F(LinkOverFakeDevice, FailedWriteDoesNotKillTheLink) {
  ASSERT_EQ(Open(), 1);
  dev.failWrites = 1;
  EXPECT_EQ(link.SetLoadCurrent(200), 0);
  EXPECT_EQ(link.SetLoadCurrent(200), 1);
  // A failed write in the settings sequence ends it.
  const size_t before = dev.written.size();
  dev.failWrites = 1;
  EXPECT_EQ(link.WriteTesterSettings(), 0);
  EXPECT_EQ(dev.written.size(), before + 1);
  EXPECT_EQ(link.SetLoadCurrent(200), 1);
}

TEST_F(LinkOverFakeDevice, AGoneDeviceMarksTheLinkLost) {
  ASSERT_EQ(Open(), 1);
  dev.gone = true;
  EXPECT_EQ(link.SetLoadCurrent(200), 0);
  EXPECT_TRUE(link.Lost());
  // The transport is not left busy: nothing more is tried until the next open.
  const size_t before = dev.written.size();
  EXPECT_EQ(link.SetLoadCurrent(200), 0);
  EXPECT_EQ(dev.written.size(), before);
  dev.gone = false;
  link.Close();
  ASSERT_EQ(Open(), 1);
  EXPECT_FALSE(link.Lost());
  EXPECT_EQ(link.SetLoadCurrent(200), 1);
}

TEST_F(LinkOverFakeDevice, WriteThatNeverCompletesFailsTheCommand) {
  ASSERT_EQ(Open(), 1);
  dev.stallWrites = 1;
  uint16_t mv = 0;
  EXPECT_EQ(PortStatus(&mv), 0);
  // The write is still in flight: the next request cannot be queued.
  const size_t before = dev.written.size();
  EXPECT_EQ(PortStatus(&mv), 0);
  EXPECT_EQ(dev.written.size(), before);
}

// Two threads' commands never mix their replies, and the notice that comes
// before every port status reaches the callback without disturbing it.
TEST_F(LinkOverFakeDevice, ConcurrentCommandsAreSerialised) {
  ASSERT_EQ(Open(), 1);
  std::atomic<int> failures{0};
  auto worker = [&](bool measure) {
    for (int i = 0; i < 20; ++i) {
      uint16_t mv = 0;
      failures += !(measure ? Measure(&mv) : PortStatus(&mv)) || mv != 5000;
    }
  };
  std::thread a(worker, true), b(worker, false);
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(std::count_if(dev.written.begin(), dev.written.end(), [](const Bytes& f) { return f[2] == 0x0C; }), 20);
  std::lock_guard<std::mutex> g(noticeLock);
  EXPECT_EQ(notices, std::vector<int>(20, 2));
}

// A missing library, or one without the entry points (a system library that exports none of them): no devices, every
// call fails, one ERROR record even when many threads ask at once.
TEST(D2xxLoader, UnusableLibraryIsLoggedOnceAndEverythingFailsCleanly) {
  if (!eventLog) eventLog = new Logger();
  const struct {
    const wchar_t* library;
    const wchar_t* record;
  } cases[] = {{L"no_such_ftd2xx.dll", L"D2XX library no_such_ftd2xx.dll not found"},
               {L"version.dll", L"D2XX library version.dll lacks FT_ListDevices, FT_W32_CreateFile"}};
  for (const auto& c : cases) {
    eventLog->Clear();
    D2xxSetLibraryName(c.library);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([] { D2xxDeviceCount(); });
    for (std::thread& t : threads) t.join();
    EXPECT_FALSE(D2xxAvailable());
    EXPECT_EQ(D2xxDeviceCount(), 0);
    char serial[20] = "junk";
    EXPECT_FALSE(D2xxSerialAt(0, serial, sizeof serial));
    EXPECT_STREQ(serial, "");
    TesterLink link;
    EXPECT_EQ(link.Open("VXPD0001", nullptr), 0);
    EXPECT_EQ(link.SetLoadCurrent(100), 0);
    const std::vector<std::wstring> errors = LogRecords(LogError);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(c.record), std::wstring::npos) << c.library;
    EXPECT_EQ(eventLog->RecordCount(), 1);
    D2xxSetLibraryName(nullptr);
  }
}

}  // namespace
