// The command operations against the simulated tester, on its own clock: every command's round trip, the tester's
// spoiled replies, late and duplicate replies, and notices.
#include <gtest/gtest.h>

#include <vector>

#include "core/link/clocked_link.h"
#include "core/link/low_latency.h"
#include "core/link/tester_commands.h"
#include "sim/sim_tester.h"

namespace {

sim::DeviceSetup Kt60WithCharger() {
  sim::DeviceSetup setup;
  setup.serial = "VXPD0001";
  setup.hardwareRevision = 20;
  setup.firmwareVersion = 31;
  setup.hasCharger = true;
  setup.attached = true;
  setup.charger.name = "three fixed and a pps";
  setup.charger.profiles = {{5, 0, 5000, 5000, 3000}, {5, 0, 9000, 9000, 3000}, {5, 0, 15000, 15000, 3000},
                           {5, 3, 3300, 11000, 5000}};
  setup.settings.standardPortLimitMa = 900;
  setup.settings.cableResistanceMohm = 120;
  setup.settings.estimateUpstream = 1;
  return setup;
}

// The bridge runs with the settings the program asks for when it opens a tester.
struct SimBench {
  explicit SimBench(const sim::DeviceSetup& setup) : model(setup, nullptr), link(Pipe(), [this](int n) { notices.push_back(n); }) {
    model.SetLatencyTimer(kBridgeLatencyMs, 0);
    model.SetEventChar(kBridgeEventChar, true, 0);
  }

  ClockedPipe Pipe() {
    ClockedPipe p;
    p.write = [this](const uint8_t* b, size_t n, int64_t t) { return model.HostWrite(b, n, t); };
    p.read = [this](uint8_t* out, size_t max, int64_t t) { return model.HostRead(out, max, t); };
    p.nextChange = [this](int64_t t) {
      model.Advance(t);
      return model.NextEventTime();
    };
    return p;
  }
  void Fault(sim::FaultKind kind, int command, int param = -1) {
    sim::FaultRule rule;
    rule.kind = kind;
    rule.command = command;
    rule.param = param;
    model.AddFault(rule);
  }
  int Measure(uint16_t* vbusMv, uint16_t* currentMa = nullptr) {
    uint8_t temp = 0;
    uint16_t setpoint = 0, current = 0, loopback = 0;
    const int ok = commands::GetMeasurements(channel, &temp, vbusMv, &setpoint, &current, &loopback);
    if (currentMa) *currentMa = current;
    return ok;
  }
  int Status(uint32_t* attach, uint16_t* mv) {
    uint8_t index = 0, sub = 0;
    uint32_t kind = 0, extra = 0;
    uint16_t ma = 0;
    return commands::GetPortStatus(channel, attach, &index, &kind, &sub, mv, &ma, &extra);
  }

  sim::TesterModel model;
  std::vector<int> notices;
  ClockedLink link;
  CommandChannel channel = link.Channel();
};

TEST(LinkAgainstSimulator, VersionSettingsAndStatus) {
  SimBench b(Kt60WithCharger());
  b.link.Sleep(50);
  uint8_t hw = 0, fw = 0;
  ASSERT_EQ(commands::GetVersion(b.channel, &hw, &fw), 1);
  EXPECT_EQ((std::vector<int>{hw, fw}), (std::vector<int>{20, 31}));
  TesterSettings s;
  ASSERT_EQ(commands::ReadTesterSettings(b.channel, &s), kAllSettingsRead);
  EXPECT_EQ((std::vector<int>{s.standardPortLimitMa, s.cableResistanceMohm, s.estimateUpstream, s.loopbackEnabled}),
            (std::vector<int>{900, 120, 1, 0}));
  s.limitMode = 2;
  s.maxLoadCurrentMa = 3000;
  s.loopbackEnabled = 1;
  s.cableResistanceMohm = 45;
  const int64_t before = b.link.NowUs();
  ASSERT_EQ(commands::WriteTesterSettings(b.channel, s), 1);
  EXPECT_GE(b.link.NowUs() - before, 400 * 1000);
  const sim::StoredSettings& held = b.model.Settings();
  EXPECT_EQ((std::vector<int>{held.limitMode, held.maxLoadCurrentMa, held.cableResistanceMohm, held.loopbackEnabled}),
            (std::vector<int>{2, 3000, 45, 1}));
  uint32_t attach = 0;
  uint16_t mv = 0;
  ASSERT_EQ(b.Status(&attach, &mv), 1);
  EXPECT_EQ((std::vector<int>{int(attach), mv}), (std::vector<int>{1, 5000}));
  PdoList list;
  ASSERT_EQ(commands::GetSourceCapabilities(b.channel, &list), 1);
  EXPECT_TRUE(list.entries[3].IsProgrammable());
  EXPECT_EQ((std::vector<int>{list.count, list.entries[1].minMv, list.entries[3].maxMv}), (std::vector<int>{4, 9000, 11000}));
}

TEST(LinkAgainstSimulator, LoadProfileMeasurementsAndCalibration) {
  SimBench b(Kt60WithCharger());
  ASSERT_EQ(commands::SetLoadCurrent(b.channel, 1000), 1);
  EXPECT_EQ(b.model.AppliedLoadMa(), 1000);
  b.link.Sleep(300);
  uint16_t vbus = 0, current = 0;
  ASSERT_EQ(b.Measure(&vbus, &current), 1);
  EXPECT_NEAR(current, 1000, 30);
  EXPECT_NEAR(vbus, 4800, 300);
  PdoList list;
  ASSERT_EQ(commands::GetSourceCapabilities(b.channel, &list), 1);
  ASSERT_EQ(commands::RequestProfile(b.channel, static_cast<uint8_t>(list.entries[1].ObjectPosition()), 9000), 1);
  b.link.Sleep(1000);
  EXPECT_NE(std::find(b.notices.begin(), b.notices.end(), 3), b.notices.end());
  uint32_t attach = 0;
  uint16_t mv = 0;
  ASSERT_EQ(b.Status(&attach, &mv), 1);
  EXPECT_EQ(mv, 9000);
  // Calibration: the year survives the round trip, and a reset clears the record.
  ASSERT_EQ(commands::WriteCalibration(b.channel, 1, 2021, 11, 1000, 990, 3000, -2990), 1);
  EXPECT_EQ(b.model.Calibration(1).yearByte, 1);
  uint32_t cal = 0, year = 0, month = 0;
  int32_t r1 = 0, t1 = 0, r2 = 0, t2 = 0;
  ASSERT_EQ(commands::ReadCalibration(b.channel, 1, &cal, &year, &month, &r1, &t1, &r2, &t2), 1);
  EXPECT_NE(cal, 0u);
  EXPECT_EQ((std::vector<int>{int(year), int(month), t1, t2}), (std::vector<int>{2021, 11, 990, -2990}));
  ASSERT_EQ(commands::ResetCalibration(b.channel, 1), 1);
  ASSERT_EQ(commands::ReadCalibration(b.channel, 1, &cal, &year, &month, &r1, &t1, &r2, &t2), 1);
  EXPECT_EQ(cal, 0u);
}

TEST(LinkAgainstSimulator, SpoiledLateOrDuplicateRepliesFailAndTheNextCommandSucceeds) {
  struct Case {
    sim::FaultKind kind;
    int expected;
    bool waitsOut;  // a failure takes the whole reply time-out (else it is known at once)
  };
  const Case cases[] = {{sim::FaultKind::Drop, 0, true},    {sim::FaultKind::WrongCmd, 0, false},
                        {sim::FaultKind::Noise, 1, false},  {sim::FaultKind::BadEtx, 0, false},
                        {sim::FaultKind::BadLen, 0, true},  {sim::FaultKind::BadSum, 0, false},
                        {sim::FaultKind::Gap, 1, false}};
  for (const Case& c : cases) {
    SimBench b(Kt60WithCharger());
    b.Fault(c.kind, kCmdGetMeasurements);
    uint16_t vbus = 0;
    const int64_t start = b.link.NowUs();
    EXPECT_EQ(b.Measure(&vbus), c.expected) << static_cast<int>(c.kind);
    EXPECT_EQ(b.link.NowUs() - start >= 500'000, c.waitsOut) << static_cast<int>(c.kind);
    b.link.Sleep(5);
    EXPECT_EQ(b.Measure(&vbus), 1) << static_cast<int>(c.kind);
    EXPECT_GT(vbus, 4000) << static_cast<int>(c.kind);
  }
  SimBench b(Kt60WithCharger());
  // The reply starts 499 ms late; its 17 bytes take 1.5 ms on the wire, so the
  // request times out with the frame half received.
  b.Fault(sim::FaultKind::Late, kCmdGetPortStatus, 499);
  uint32_t attach = 0;
  uint16_t mv = 0, vbus = 0;
  EXPECT_EQ(b.Status(&attach, &mv), 0);
  EXPECT_NE(b.link.receiver.framePos, 0);
  EXPECT_EQ(b.Measure(&vbus), 1);
  EXPECT_GT(vbus, 4000);
  EXPECT_EQ(b.Status(&attach, &mv), 1);
  b.Fault(sim::FaultKind::Late, kCmdGetPortStatus, 700);
  EXPECT_EQ(b.Status(&attach, &mv), 0);
  mv = 0;
  const int64_t paused = b.link.NowUs();
  b.link.Sleep(300);  // the late 0x0A reply arrives now, with no command waiting: the pause is kept whole
  EXPECT_EQ(b.link.NowUs() - paused, 300'000);
  EXPECT_EQ(b.Measure(&vbus), 1);
  EXPECT_EQ(b.Status(&attach, &mv), 1);
  EXPECT_EQ(mv, 5000);
  EXPECT_GE(b.link.mailbox.Dropped(), 2u);
  // A duplicated reply is left over for the next command, which must not take it.
  b.Fault(sim::FaultKind::Duplicate, kCmdGetPortStatus);
  EXPECT_EQ(b.Status(&attach, &mv), 1);
  b.link.Sleep(5);
  EXPECT_EQ(b.Measure(&vbus), 1);
  EXPECT_EQ(b.Status(&attach, &mv), 1);
}

TEST(LinkAgainstSimulator, WriteSettingsStopsAtAMissingReply) {
  SimBench b(Kt60WithCharger());
  b.Fault(sim::FaultKind::Drop, kCmdWriteTesterSettings);
  TesterSettings s;
  s.standardPortLimitMa = 500;
  s.cableResistanceMohm = 300;
  const int64_t before = b.link.NowUs();
  EXPECT_EQ(commands::WriteTesterSettings(b.channel, s), 0);
  // 500 ms of reply wait and the four pauses; steps 2-5 never reach the tester.
  EXPECT_GE(b.link.NowUs() - before, 900 * 1000);
  EXPECT_LT(b.link.NowUs() - before, 1000 * 1000);
  EXPECT_EQ(b.model.Settings().cableResistanceMohm, 120);
}

TEST(LinkAgainstSimulator, NoticesArriveBetweenCommands) {
  sim::DeviceSetup setup = Kt60WithCharger();
  setup.attached = false;
  SimBench b(setup);
  uint32_t attach = 9;
  uint16_t mv = 0;
  ASSERT_EQ(b.Status(&attach, &mv), 1);
  EXPECT_EQ(attach, 0u);
  b.model.Attach(b.link.NowUs());
  b.link.Sleep(20);
  b.model.ChangeCapabilities(b.link.NowUs());
  b.model.Detach(b.link.NowUs() + 5000);
  ASSERT_EQ(b.Status(&attach, &mv), 1);
  b.link.Sleep(20);
  EXPECT_EQ(b.notices, (std::vector<int>{1, 4, 2}));
}

}  // namespace
