// Log file lines, the shared tester registry and device paths.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/base/device_path.h"
#include "core/base/log_file.h"
#include "core/base/logger.h"
#include "core/base/registry_slots.h"
#include "core/base/utf8.h"

namespace {

bool UtcTime(int64_t seconds, std::tm* out) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  return gmtime_r(&t, out) != nullptr;
}

constexpr int64_t kSatDec5 = 1796450857;  // Sat Dec 05 06:07:37 2026 UTC
int64_t clockNow = kSatDec5;
int64_t TestClock() { return clockNow; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogClock(TestClock);
    clockNow = kSatDec5;
    std::strcpy(dir, "/tmp/rules_log_XXXXXX");
    ASSERT_NE(mkdtemp(dir), nullptr);
    path = std::string(dir) + "/LoadpostLog.txt";
  }
  void TearDown() override {
    SetLogClock(nullptr);
    std::remove(path.c_str());
    rmdir(dir);
  }
  std::unique_ptr<Logger> log = std::make_unique<Logger>();
  char dir[64];
  std::string path;
};

TEST_F(LogFileTest, HeaderAndRecordLines) {
  const std::string header = "TREVANE Loadpost tester Log file\r\n===========================================\r\n";
  ASSERT_EQ(SaveLogFile(*log, Wide(path).c_str(), UtcTime), FileWriteResult::Ok);
  EXPECT_EQ(ReadFile(path), header + "Number of records logged: 0\r\n\r\n");
  log->AddRecord(L"Loadpost started", LogInformation);
  clockNow = 1799539145;  // Sat Jan 09 23:59:05 2027
  log->AddRecord(L"Under  voltage   detected", LogError);
  log->AddRecord(L"odd category", 42);
  log->AddRecord(L"caf\u00e9 5\u20ac \U0001F600 end", LogDiagnostics);
  ASSERT_EQ(SaveLogFile(*log, Wide(path).c_str(), UtcTime), FileWriteResult::Ok);
  EXPECT_EQ(ReadFile(path), header +
                                "Number of records logged: 4\r\n"
                                "\r\n"
                                "Sat Dec 05 06:07:37 2026: Information- Loadpost started\r\n"
                                "Sat Jan 09 23:59:05 2027: ERROR      - Under voltage detected\r\n"
                                "Sat Jan 09 23:59:05 2027: ERROR      - odd category\r\n"
                                "Sat Jan 09 23:59:05 2027: Diagnostics- caf\xe9 5? ? end\r\n");
}

TEST_F(LogFileTest, FullLogWritesEveryRecord) {
  for (int i = 0; i < 100005; ++i) log->AddRecord(i == 100004 ? L"last" : L"record", LogResults);
  ASSERT_EQ(SaveLogFile(*log, Wide(path).c_str(), UtcTime), FileWriteResult::Ok);
  const std::string text = ReadFile(path);
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, 4u + 100000u);
  EXPECT_NE(text.find("Number of records logged: 100000\r\n"), std::string::npos);
  const std::string tail = "Results    - last\r\n";
  EXPECT_EQ(text.compare(text.size() - tail.size(), tail.size(), tail), 0);
}

// The log and the exports (written whole by WriteFileBytes) report what went wrong.
TEST_F(LogFileTest, FailuresAreReported) {
  log->AddRecord(L"x", LogInformation);
  const std::wstring missing = Wide(std::string(dir) + "/missing/out.txt");
  EXPECT_EQ(SaveLogFile(*log, missing.c_str(), UtcTime), FileWriteResult::OpenFailed);
  EXPECT_EQ(SaveLogFile(*log, L"", UtcTime), FileWriteResult::OpenFailed);
  EXPECT_EQ(SaveLogFile(*log, L"/dev/full", UtcTime), FileWriteResult::WriteFailed);
  const std::string csv = "Voltage (V), Current (mA), Power (W)\r\n5.00,0,0.00\r\n";
  EXPECT_EQ(WriteFileBytes(Wide(path).c_str(), csv), FileWriteResult::Ok);
  EXPECT_EQ(ReadFile(path), csv);
  EXPECT_EQ(WriteFileBytes(missing.c_str(), csv), FileWriteResult::OpenFailed);
  EXPECT_EQ(WriteFileBytes(L"/dev/full", csv), FileWriteResult::WriteFailed);
}

// Paths and report texts: each encoded length at both of its edges; a lone
// surrogate and a value past Unicode become U+FFFD.
TEST(Utf8, EveryLengthAtItsEdges) {
  EXPECT_EQ(Utf8(L"\x7F\x80\x7FF\x800\xFFFF\x10000"),
            "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80");
  EXPECT_EQ(Utf8(L"\xD800"), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8(nullptr), "");
}

TEST(LogTimestamp, LocalTimeLayoutRecordLinesAndSavePaths) {
  char out[64];
  FormatLogTimestamp(kSatDec5, out, sizeof out, UtcTime);
  EXPECT_STREQ(out, "Sat Dec 05 06:07:37 2026");
  // No conversion, or one that hands back a day or month past the names, is not trusted.
  for (const auto bad : {+[](int64_t, std::tm*) { return false; },
                         +[](int64_t, std::tm* tm) { return (tm->tm_wday = 7, true); },
                         +[](int64_t, std::tm* tm) { return (tm->tm_mon = 12, true); }}) {
    FormatLogTimestamp(kSatDec5, out, sizeof out, bad);
    EXPECT_STREQ(out, "??? ??? ?? ??:??:?? ????");
  }
  EXPECT_EQ(FormatLogTimestamp(kSatDec5, out, 11, UtcTime), 10u);
  EXPECT_STREQ(out, "Sat Dec 05");
  // The system conversion follows the local zone.
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "EET-2", 1);
  tzset();
  FormatLogTimestamp(kSatDec5, out, sizeof out, SystemLocalTime);
  EXPECT_STREQ(out, "Sat Dec 05 08:07:37 2026");
  if (old) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
  // Record lines: category labels, and text cut to one byte per character.
  EXPECT_EQ(FormatLogRecordLine(kSatDec5, LogPass, L"ok", UtcTime), "Sat Dec 05 06:07:37 2026: PASS       - ok");
  EXPECT_EQ(FormatLogRecordLine(kSatDec5, -1, L"x", UtcTime), "Sat Dec 05 06:07:37 2026: ERROR      - x");
  std::string s;
  const wchar_t pair[] = {L'a', static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00), L'b', 0};
  AppendOneByteText(s, pair);
  EXPECT_EQ(s, "a?b");  // a surrogate pair is one character
  s.clear();
  AppendOneByteText(s, L"\u0085\u00a0\u00ff\u0100\t");
  EXPECT_EQ(s, "?\xa0\xff? ");
  // Save paths: text is appended only when it fits.
  wchar_t buf[14] = L"C:\\Docs";
  EXPECT_TRUE(AppendPathText(buf, 14, L"\\a.txt"));  // 13 characters + terminator
  EXPECT_FALSE(AppendPathText(buf, 14, L"x"));
  EXPECT_STREQ(buf, L"C:\\Docs\\a.txt");
  wchar_t title[kSaveFileTitleChars];
  EXPECT_TRUE(CopyPathText(title, kSaveFileTitleChars, kDefaultLogFileTitle));
  EXPECT_FALSE(CopyPathText(title, kSaveFileTitleChars, std::wstring(kSaveFileTitleChars, L'n').c_str()));
  EXPECT_STREQ(title, L"\\LoadpostLog.txt");
}

using Registry = std::array<uint8_t, kRegistryBytes>;

int32_t PidOf(const Registry& r, int slot) {
  int32_t pid = -1;
  ReadRegistrySlot(r.data(), slot, &pid, nullptr);
  return pid;
}
std::wstring SerialOf(const Registry& r, int slot) {
  wchar_t serial[kRegistrySerialUnits];
  ReadRegistrySlot(r.data(), slot, nullptr, serial);
  return serial;
}

TEST(Registry, ClaimMoveAndRelease) {
  Registry r{};
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"VXPD0001", 100).slot, 0);
  // Layout: UTF-16 little-endian serial, process ID little-endian at offset 40.
  EXPECT_EQ((std::vector<uint8_t>{r[0], r[1], r[14], r[16], r[40], r[41]}), (std::vector<uint8_t>{'V', 0, '1', 0, 100, 0}));
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"VXPD0009", 200).slot, 1);
  // Copy 100 switches to another tester: its one slot moves, the first is free again.
  ClaimOutcome moved = ClaimTesterSlot(r.data(), L"VXPD0002", 100);
  EXPECT_EQ(moved.slot, 0);
  EXPECT_EQ(SerialOf(r, 0), L"VXPD0002");
  EXPECT_EQ(r[16], 0);
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"VXPD0001", 300).result, ClaimResult::NotInUse);
  // Re-selecting its own tester is not "in use".
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"VXPD0009", 200).result, ClaimResult::NotInUse);
  ReleaseTesterSlots(r.data(), 100);
  EXPECT_EQ((std::vector<int>{PidOf(r, 0), PidOf(r, 1)}), (std::vector<int>{0, 200}));
  EXPECT_EQ(SerialOf(r, 0), L"");
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"VXPD0002", 400).slot, 0);
}

// A copy that drives several testers at once holds one slot per tester and gives each back on its own.
TEST(Registry, ACopyOfSeveralTestersHoldsASlotForEach) {
  Registry r{};
  EXPECT_EQ(AddTesterSlot(r.data(), L"VXPD0001", 100).slot, 0);
  EXPECT_EQ(AddTesterSlot(r.data(), L"VXPD0002", 100).slot, 1);
  EXPECT_EQ(AddTesterSlot(r.data(), L"VXPD0001", 100).slot, 0);  // claimed again: the same slot
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"VXPD0002", 200).result, ClaimResult::InUse);
  EXPECT_EQ(AddTesterSlot(r.data(), L"VXPD0001", 200).result, ClaimResult::InUse);
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"VXPD0003", 200).slot, 2);
  ReleaseTesterSlot(r.data(), L"VXPD0003", 100);  // not its own
  ReleaseTesterSlot(r.data(), L"VXPD0001", 100);
  EXPECT_EQ((std::vector<int>{PidOf(r, 0), PidOf(r, 1), PidOf(r, 2)}), (std::vector<int>{0, 100, 200}));
  EXPECT_EQ(SerialOf(r, 1), L"VXPD0002");
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"VXPD0001", 200).slot, 2);  // the window's copy moves its one slot
}

TEST(Registry, InUseByAnotherCopyOrNoFreeSlotChangesNothing) {
  Registry r{};
  ClaimTesterSlot(r.data(), L"VXPD0001", 100);
  ClaimTesterSlot(r.data(), L"VXPD0002", 200);
  Registry before = r;
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"VXPD0001", 200).result, ClaimResult::InUse);
  EXPECT_EQ(r, before);
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"vxpd0001", 300).slot, 2);  // case-sensitive
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"VXPD000", 400).slot, 3);   // whole serial only
  // The thirty-third copy claims nothing.
  for (int i = 4; i < kRegistrySlots; ++i)
    ASSERT_EQ(ClaimTesterSlot(r.data(), (L"VXPD" + std::to_wstring(1000 + i)).c_str(), 10 + i).slot, i);
  before = r;
  ClaimOutcome late = ClaimTesterSlot(r.data(), L"VXPD9999", 999);
  EXPECT_TRUE(late.result == ClaimResult::NotInUse && late.slot == -1);
  EXPECT_EQ(r, before);
}

// The system's processes in the tests below: ID 103 runs since time 5, 102
// since 9, the start of 104 cannot be read, and no other ID exists.
ProcessStart FakeProcesses(int32_t pid, void*) {
  switch (pid) {
    case 102: return {ProcessStart::Started, 9};
    case 103: return {ProcessStart::Started, 5};
    case 104: return {ProcessStart::Unreadable, 0};
    default: return {};
  }
}

TEST(Registry, ASlotIsLiveOnlyWhileTheProcessThatWroteItRuns) {
  struct Case {
    int32_t writer;
    bool live;
  } cases[] = {
      {101, false},  // the writer has ended
      {102, false},  // its process ID now belongs to a process started later
      {103, true},   // the writer itself
      {104, true},   // cannot tell: the tester stays reserved
  };
  for (const Case& c : cases) {
    Registry r{};
    ClaimTesterSlot(r.data(), L"VXPD0001", c.writer, 5);
    EXPECT_EQ(SlotOwnerRunning(c.writer, 5, FakeProcesses, nullptr), c.live) << c.writer;
    const ClaimOutcome other = ClaimTesterSlot(r.data(), L"VXPD0001", 300, 7, FakeProcesses, nullptr);
    EXPECT_EQ(other.result, c.live ? ClaimResult::InUse : ClaimResult::NotInUse) << c.writer;
    // A slot that is not live is cleared and reused.
    EXPECT_EQ(PidOf(r, 0), c.live ? c.writer : 300) << c.writer;
  }
  // Without a lookup a slot is held until it is released.
  Registry r{};
  ClaimTesterSlot(r.data(), L"VXPD0003", 501);
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"VXPD0003", 600).result, ClaimResult::InUse);
}

TEST(Registry, SerialsThatDoNotFitAreRefusedAndNeverReadPast) {
  Registry r{};
  const Registry before = r;
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"VXPD0123456789AB", 100).result, ClaimResult::SerialTooLong);  // 16
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"", 100).result, ClaimResult::SerialEmpty);
  EXPECT_EQ(r, before);
  EXPECT_EQ(ClaimTesterSlot(r.data(), L"VXPD0123456789A", 100, -2).slot, 0);  // 15
  EXPECT_EQ(SerialOf(r, 0), L"VXPD0123456789A");
  int64_t start = 0;
  ReadRegistrySlot(r.data(), 0, nullptr, nullptr, &start);
  EXPECT_EQ(start, -2);
  // The terminator in the last unit, then the start time, little-endian.
  EXPECT_EQ((std::vector<uint8_t>{r[30], r[31], r[32], r[39]}), (std::vector<uint8_t>{0, 0, 0xFE, 0xFF}));
  // A slot without a terminator is never read past.
  Registry u{};
  for (int i = 0; i < kRegistrySerialUnits; ++i) u[2 * i] = 'A';
  u[40] = 7;
  EXPECT_EQ(ClaimTesterSlot(u.data(), L"AAAAAAAAAAAAAAA", 100).result, ClaimResult::NotInUse);
  EXPECT_EQ(SerialOf(u, 0).size(), static_cast<size_t>(kRegistrySerialUnits - 1));
}

TEST(DevicePath, SerialOfTheBridgeOnlyWhenItFits) {
  const std::wstring prefix = L"\\\\?\\USB#VID_0403&PID_6015#";
  const struct {
    std::wstring path;
    DevicePathResult result;
    std::wstring serial;  // "-": not checked
  } cases[] = {
      {prefix + L"VXPD1234#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", DevicePathResult::Serial, L"VXPD1234"},
      {L"\\\\?\\usb#vid_0403&pid_6015#VXPD77#{guid}", DevicePathResult::Serial, L"VXPD77"},
      {L"\\\\?\\USB#VID_046D&PID_C52B#5&1234#{guid}", DevicePathResult::OtherDevice, L"-"},
      {prefix + L"VXPD1234", DevicePathResult::NoSerial, L""},
      {prefix + L"#{guid}", DevicePathResult::NoSerial, L"-"},
      {prefix + std::wstring(63, L'S') + L"#{guid}", DevicePathResult::Serial, std::wstring(63, L'S')},
      {prefix + std::wstring(64, L'S') + L"#{guid}", DevicePathResult::SerialTooLong, L"-"},
  };
  wchar_t serial[kDevicePathSerialChars + 1];
  for (const auto& c : cases) {
    EXPECT_EQ(ParseTesterDevicePath(c.path.c_str(), serial, kDevicePathSerialChars + 1), c.result) << c.path.size();
    if (c.serial != L"-") { EXPECT_EQ(std::wstring(serial), c.serial); }
  }
  wchar_t small[8];
  EXPECT_EQ(ParseTesterDevicePath((prefix + L"VXPD12345#x").c_str(), small, 8), DevicePathResult::SerialTooLong);
  // A path shorter than the prefix is never read past its end.
  auto shortPath = std::make_unique<wchar_t[]>(8);
  std::wcscpy(shortPath.get(), L"\\\\?\\USB");
  EXPECT_EQ(ParseTesterDevicePath(shortPath.get(), serial, kDevicePathSerialChars + 1), DevicePathResult::OtherDevice);
  EXPECT_EQ(ParseTesterDevicePath(nullptr, serial, kDevicePathSerialChars + 1), DevicePathResult::OtherDevice);
}

}  // namespace
