// The global testerLink against the simulated tester's stand-in ftd2xx.dll,
// loaded from beside the test program as the real library would be. The test
// writes its own scenario and drives the simulated world through its control
// file (faults, attach and detach).
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "d2xx/d2xx.h"
#include "link/tester_link_win.h"
#include "shell/log_event.h"
#include "shell/logger.h"

namespace {

constexpr const char kScenario[] =
    "tester VXPD0001 kt60\n"
    "  charger pd65\n"
    "end\n"
    "ftdi FT7QX2LB description USB Serial Converter\n"
    "tester VXPD0040 kt40 fw 2.7\n"
    "  charger pd65\n"
    "end\n";

std::wstring controlPath;
std::wstring recordPath;
std::atomic<int> noticeMask{0};
std::atomic<int> noticeCount{0};

void OnNotice(int n) {
  noticeMask |= 1 << n;
  ++noticeCount;
}

bool WriteFileText(const std::wstring& path, const char* text, bool append) {
  HANDLE f = CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(f, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  CloseHandle(f);
  return ok != 0;
}

// Hands a control line to the simulated world and waits until it has been
// taken up (the world looks at its control file every 50 ms).
void Control(const char* line) {
  std::string text = std::string(line) + "\n";
  ASSERT_TRUE(WriteFileText(controlPath, text.c_str(), true));
  Sleep(250);
}

// Points the stand-in DLL at this test's scenario and control file before the
// first D2XX call loads it.
class SimEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring base = std::wstring(temp) + L"link_sim_dll_test_" + std::to_wstring(GetCurrentProcessId());
    const std::wstring scenario = base + L".sim";
    controlPath = base + L".control";
    recordPath = base + L".record";
    ASSERT_TRUE(WriteFileText(scenario, kScenario, false));
    ASSERT_TRUE(WriteFileText(controlPath, "", false));
    ASSERT_TRUE(WriteFileText(recordPath, "", false));
    SetEnvironmentVariableW(L"LOADPOST_SIM_SCENARIO", scenario.c_str());
    SetEnvironmentVariableW(L"LOADPOST_SIM_CONTROL", controlPath.c_str());
    SetEnvironmentVariableW(L"LOADPOST_SIM_RECORD", recordPath.c_str());
    if (!eventLog) eventLog = new Logger();
  }
  void TearDown() override { testerLink.Close(); }
};
const auto* const registered = ::testing::AddGlobalTestEnvironment(new SimEnvironment);

// Lines of the frame record that contain `text`.
int RecordLinesWith(const std::string& text) {
  std::string record;
  HANDLE f = CreateFileW(recordPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return -1;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0) record.append(buffer, n);
  CloseHandle(f);
  int count = 0;
  for (size_t at = record.find(text); at != std::string::npos; at = record.find(text, at + 1)) ++count;
  return count;
}

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

int Measure(uint16_t* vbus, uint16_t* current = nullptr) {
  uint8_t temp = 0;
  uint16_t setpoint = 0, c = 0, loopback = 0;
  const int ok = testerLink.GetMeasurements(&temp, vbus, &setpoint, &c, &loopback);
  if (current) *current = c;
  return ok;
}

int Status(uint32_t* attach, uint16_t* mv) {
  uint8_t index = 0, sub = 0;
  uint32_t kind = 0, extra = 0;
  uint16_t ma = 0;
  return testerLink.GetPortStatus(attach, &index, &kind, &sub, mv, &ma, &extra);
}

class LinkThroughStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(testerLink.Open("VXPD0001", &OnNotice), 1);
    Control("nofaults");
  }
  void TearDown() override { testerLink.Close(); }
};

TEST(StandInOpen, VersionsOfEachTesterAndRefusals) {
  ASSERT_EQ(testerLink.Open("VXPD0040", &OnNotice), 1);
  EXPECT_EQ(testerLink.hardwareRevision, 10);
  EXPECT_EQ(testerLink.firmwareVersion, 27);
  testerLink.Close();
  ASSERT_EQ(testerLink.Open("VXPD0001", &OnNotice), 1);
  EXPECT_EQ(testerLink.hardwareRevision, 20);
  EXPECT_EQ(testerLink.firmwareVersion, 30);
  testerLink.Close();

  EXPECT_EQ(testerLink.Open("VXPD7777", &OnNotice), 0);
  EXPECT_FALSE(testerLink.IsOpen());
  // An FTDI device that is not a tester takes the request and never answers.
  EXPECT_EQ(testerLink.Open("FT7QX2LB", &OnNotice), 0);
  EXPECT_EQ(testerLink.hardwareRevision, 10);
  EXPECT_EQ(testerLink.firmwareVersion, 0);
  // Its handle was given back: a second open of it is not refused as busy.
  EXPECT_EQ(testerLink.Open("FT7QX2LB", &OnNotice), 0);
  EXPECT_EQ(testerLink.hardwareRevision, 10);
}

TEST_F(LinkThroughStandIn, OpenAsksTheBridgeForLowLatencyAndARefusalOnlySlowsIt) {
  // The fixture's open asked for both settings and the bridge took them.
  EXPECT_GE(RecordLinesWith("VXPD0001 bridge latency timer 2 ms"), 1);
  EXPECT_GE(RecordLinesWith("VXPD0001 bridge event character 03 on"), 1);
  struct Case {
    const char* faults;
    const wchar_t* record;
  } cases[] = {
      {"fault nolatency", L"Low-latency setting refused (FT_SetLatencyTimer: status 4): the link stays at the bridge's default latency"},
      {"fault nochars", L"Low-latency setting refused (FT_SetChars: status 4): the link stays at the bridge's default latency"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.faults);
    testerLink.Close();
    Control(c.faults);
    eventLog->Clear();
    ASSERT_EQ(testerLink.Open("VXPD0001", &OnNotice), 1);
    EXPECT_EQ(LogRecords(LogDiagnostics), std::vector<std::wstring>{c.record});
    EXPECT_TRUE(LogRecords(LogError).empty());
    uint16_t vbus = 0;
    EXPECT_EQ(Measure(&vbus), 1);
    EXPECT_GT(vbus, 4000);
  }
}

// The command set itself runs against the simulated tester natively; through
// the stand-in a load reaches the tester and its current is measured.
TEST_F(LinkThroughStandIn, LoadAndMeasurementsRoundTrip) {
  ASSERT_EQ(testerLink.SetLoadCurrent(1000), 1);
  Sleep(100);
  uint16_t vbus = 0, current = 0;
  ASSERT_EQ(Measure(&vbus, &current), 1);
  EXPECT_NEAR(current, 1000, 50);
  EXPECT_GT(vbus, 4500);
  ASSERT_EQ(testerLink.SetLoadCurrent(0), 1);
}

TEST_F(LinkThroughStandIn, NoiseAndBrokenFrames) {
  uint16_t vbus = 0;
  const struct {
    const char* fault;
    int firstResult;
  } cases[] = {{"fault noise 0C 1 FF 00 55 03", 1}, {"fault badsum 0C 1", 0},        {"fault badetx 0C 1", 0},
               {"fault badlen 0C 1 85", 0},          {"fault wrongcmd 0C 1 0A", 0}, {"fault gap 0C 1 30ms", 1}};
  for (const auto& c : cases) {
    Control(c.fault);
    EXPECT_EQ(Measure(&vbus), c.firstResult) << c.fault;
    EXPECT_EQ(Measure(&vbus), 1) << c.fault;  // the next command is not disturbed
    EXPECT_GT(vbus, 4000);
  }
}

TEST_F(LinkThroughStandIn, NoticesReachTheCallback) {
  noticeMask = 0;
  noticeCount = 0;
  Control("detach");
  Control("attach");
  Control("capchange");
  Control("newprofile 2");
  for (int i = 0; i < 100 && noticeCount < 4; ++i) Sleep(20);
  EXPECT_EQ(noticeMask.load(), (1 << 1) | (1 << 2) | (1 << 3) | (1 << 4));
  // Commands still work after the notices.
  uint32_t attach = 0;
  uint16_t mv = 0;
  EXPECT_EQ(Status(&attach, &mv), 1);
  EXPECT_EQ(attach, 1u);
}

}  // namespace
