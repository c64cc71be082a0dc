// Scenario files, control commands and the simulated USB bus.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sim/sim_pipe.h"
#include "sim/sim_scenario.h"
#include "sim/sim_world.h"

namespace {

using sim::Scenario;
using sim::SimTime;

constexpr SimTime kMs = 1000;

const std::filesystem::path kScenarioDir = LOADPOST_SCENARIO_DIR;

Scenario Parse(const std::string& text) {
  Scenario s;
  std::string error;
  EXPECT_TRUE(sim::ParseScenario(text, "test.sim", &s, &error)) << error;
  return s;
}

std::string ErrorOf(const std::string& text) {
  Scenario s;
  std::string error;
  EXPECT_FALSE(sim::ParseScenario(text, "bad.sim", &s, &error)) << text;
  return error;
}

Scenario LoadFile(const std::string& name) {
  Scenario s;
  std::string error;
  EXPECT_TRUE(sim::LoadScenarioFile((kScenarioDir / name).string(), &s, &error)) << error;
  return s;
}

TEST(SimScenario, EveryShippedScenarioLoads) {
  struct Want {
    const char* file;
    size_t devices;
    int firstHw, firstFw;
    int kind, subKind;  // of the first tester's active profile; -1 = no charger attached
  } wants[] = {
      {"two-testers.sim", 3, 20, 30, 5, 0}, {"kt40.sim", 1, 10, 27, 5, 0},    {"kt40-fw26.sim", 1, 10, 26, 5, 0},
      {"hw21.sim", 1, 21, 30, 5, 0},        {"qc3.sim", 1, 20, 30, 3, 2},     {"dcp.sim", 1, 20, 30, 2, 2},
      {"sdp.sim", 1, 20, 30, 2, 0},         {"cdp.sim", 1, 20, 30, 2, 1},     {"typec3.sim", 1, 20, 30, 4, 1},
      {"legacy.sim", 1, 20, 30, 0, 0},      {"no-source.sim", 1, 20, 30, -1, 0}, {"no-devices.sim", 0, 0, 0, 0, 0},
      {"ripple.sim", 1, 20, 30, 5, 0},      {"timeline.sim", 2, 20, 30, -1, 0}, {"faults.sim", 1, 20, 30, 5, 0},
      {"slow-bridge.sim", 1, 20, 30, 5, 0},
      {"faulty.sim", 1, 20, 30, 5, 0},
  };
  for (const Want& w : wants) {
    SCOPED_TRACE(w.file);
    const Scenario s = LoadFile(w.file);
    ASSERT_EQ(s.devices.size(), w.devices);
    if (!w.devices) continue;
    sim::TesterModel t(s.devices[0], nullptr);
    EXPECT_EQ(t.Setup().hardwareRevision, w.firstHw);
    EXPECT_EQ(t.Setup().firmwareVersion, w.firstFw);
    if (w.kind < 0) {
      EXPECT_FALSE(t.Attached());
      continue;
    }
    ASSERT_TRUE(t.Attached());
    EXPECT_EQ(t.Source()->Active().kind, w.kind);
    EXPECT_EQ(t.Source()->Active().subKind, w.subKind);
  }
  const Scenario two = LoadFile("two-testers.sim");
  EXPECT_FALSE(two.devices[1].isTester);
  EXPECT_NE(two.devices[1].serial.rfind("VXPD", 0), 0u);
  EXPECT_EQ(LoadFile("dcp.sim").devices[0].charger.profiles[0].maxMa, 1500);
}

TEST(SimScenario, UnitsAndOptionalParts) {
  const Scenario s = Parse(R"(
option seed 42
option profile-delay 250
option latency 255
option clock Simulated
charger mine   # a comment
  fixed 5000 3000
  pps 3300-11000mV 5A
  battery 5V-20V 2500mA
  trip 150% 1.5s
  restart 2s
  resistance 0.05ohm
  active 2
  start 9V
end
tester VXPD1 kt40 fw 2.6
  charger mine
  cable 120mohm
  ripple 30 100
  settings loopback 1 mode force ceiling 2.5A standard 900 upstream 1 cable 90
  calibration vbus 2021 5 4000 3990 20000 19980
  reply-delay 1ms
  failopen 2
  fault late 0c 3 700ms
  fault noise any always FF 00
  fault nochars always
end
ftdi FT123 unplugged failopen always
at 1.5s @VXPD1 detach
at 500 attach
)");
  EXPECT_EQ(s.seed, 42u);
  EXPECT_EQ(s.clock, sim::Clock::Simulated);
  EXPECT_EQ(Parse("tester A\nend\n").clock, sim::Clock::Real);
  using N = std::vector<int>;
  const sim::DeviceSetup& d = s.devices.at(0);
  EXPECT_EQ((N{d.hardwareRevision, d.firmwareVersion, d.profileDelayMs, d.replyDelayUs, d.latencyMs, d.cableMohm}),
            (N{10, 26, 250, 1000, 255, 120}));
  const sim::ChargerSetup& c = d.charger;
  ASSERT_EQ(c.profiles.size(), 3u);
  EXPECT_EQ((N{c.profiles[1].minMv, c.profiles[1].maxMv, c.profiles[1].maxMa, c.profiles[2].subKind, c.profiles[2].maxMa}),
            (N{3300, 11000, 5000, 1, 2500}));
  EXPECT_EQ((N{c.tripPercent, c.tripMs, c.restartMs, c.resistanceMohm, c.activeIndex, c.startMv}),
            (N{150, 1500, 2000, 50, 1, 9000}));
  const sim::StoredSettings& st = d.settings;
  EXPECT_EQ((N{st.loopbackEnabled, st.limitMode, st.maxLoadCurrentMa, st.standardPortLimitMa, st.cableResistanceMohm}),
            (N{1, 2, 2500, 900, 90}));
  EXPECT_EQ((N{d.calibration[0].yearByte, d.calibration[0].testerPoint2}), (N{1, 19980}));
  ASSERT_EQ(d.faults.size(), 4u);
  const auto rule = [](const sim::FaultRule& f) { return N{static_cast<int>(f.kind), f.command, f.remaining}; };
  EXPECT_EQ((N{static_cast<int>(d.faults[0].kind), d.faults[0].remaining, static_cast<int>(d.faults[3].kind),
               d.faults[3].remaining}),
            (N{static_cast<int>(sim::FaultKind::FailOpen), 2, static_cast<int>(sim::FaultKind::RefuseChars), sim::kAlways}));
  EXPECT_EQ(rule(d.faults[1]), (N{static_cast<int>(sim::FaultKind::Late), 0x0C, 3}));
  EXPECT_EQ(d.faults[1].param, 700);
  EXPECT_EQ(rule(d.faults[2]), (N{static_cast<int>(sim::FaultKind::Noise), sim::kAnyCommand, sim::kAlways}));
  EXPECT_EQ(d.faults[2].bytes, (sim::Bytes{0xFF, 0x00}));
  EXPECT_FALSE(s.devices.at(1).isTester || s.devices.at(1).plugged);
  // The timeline is in time order whatever the file order.
  ASSERT_EQ(s.timeline.size(), 2u);
  EXPECT_EQ((std::vector<SimTime>{s.timeline[0].at, s.timeline[1].at}), (std::vector<SimTime>{500 * kMs, 1500 * kMs}));
  EXPECT_EQ(s.timeline[1].command.target, "VXPD1");
  // A PPS charger on a program-chosen start voltage starts there.
  sim::TesterModel t(d, nullptr);
  EXPECT_EQ(t.Source()->ActiveMv(), 9000);
}

TEST(SimScenario, ErrorsNameTheLineAndControlCommandsParse) {
  EXPECT_EQ(ErrorOf("tester VXPD1\n  chargr pd65\nend\n").rfind("bad.sim:2: unknown tester line 'chargr'", 0), 0u);
  EXPECT_EQ(ErrorOf("\ntester VXPD1 kt60\n  charger pd65\n"), "bad.sim:2: tester 'VXPD1' is not closed with 'end'");
  EXPECT_EQ(ErrorOf("tester A\nend\ntester A\nend\n"), "bad.sim:3: serial 'A' is already used on line 1");
  EXPECT_EQ(ErrorOf("tester A\n  charger pd66\nend\n").rfind("bad.sim:2: unknown charger 'pd66' (built in: pd65", 0), 0u);
  EXPECT_EQ(ErrorOf("charger x\n  fixed 5V\n  dcp 1500\nend\n"),
            "bad.sim:3: voltage 1500 is outside 3 V..48 V (a current needs A or mA)");
  EXPECT_EQ(ErrorOf("charger x\n fixed 5V\n fixed 5V\n fixed 5V\n fixed 5V\n fixed 5V\n fixed 5V\n fixed 5V\n fixed 5V\nend"),
            "bad.sim:9: a charger advertises at most 7 profiles");
  EXPECT_EQ(ErrorOf("charger x\n  fixed 5V\n  active 3\nend\n"), "bad.sim:1: charger 'x': active position 3 is beyond its 1 profiles");
  EXPECT_EQ(ErrorOf("tester A\n  fault drop 0C two\nend\n"), "bad.sim:2: 'two' is not a whole number (fault count)");
  EXPECT_EQ(ErrorOf("tester A\n  fault drop 0C 1.5\nend\n"), "bad.sim:2: '1.5' is not a whole number (fault count)");
  EXPECT_EQ(ErrorOf("charger x\n  fixed 5V\nend\ncharger x\nend\n"), "bad.sim:4: charger 'x' is defined twice");
  EXPECT_EQ(ErrorOf("tester A\n  fault drop\nend\n"), "bad.sim:2: fault 'drop' needs a command code (e.g. 0C) or 'any'");
  EXPECT_EQ(ErrorOf("tester A\n  latency 0ms\nend\n"), "bad.sim:2: latency is 1 to 255 ms in whole ms");
  EXPECT_EQ(ErrorOf("tester A hw 300\nend\n"), "bad.sim:1: version 300 does not fit one byte");
  EXPECT_EQ(ErrorOf("tester A\n  calibration vbus 2021 13 1 2 3 4\nend\n"), "bad.sim:2: month 13 is outside 1..12");
  EXPECT_EQ(ErrorOf("end\n"), "bad.sim:1: 'end' without a charger or tester block");
  EXPECT_EQ(ErrorOf("option clock fast\n"), "bad.sim:1: option clock is 'real' or 'simulated', not 'fast'");
  EXPECT_EQ(ErrorOf("tester A\nend\nat soon detach\n"), "bad.sim:3: 'soon' is not a time (write e.g. 500ms or 1.5s)");
  EXPECT_EQ(ErrorOf("tester A\nend\nat 1s @B detach\n"), "bad.sim:3: no device 'B' at that time");
  EXPECT_EQ(ErrorOf("ftdi F1\nat 1s detach\n"), "bad.sim:2: there is no tester for this command");
  EXPECT_EQ(ErrorOf("tester A B\nend\n").rfind("bad.sim:1: unknown model word 'B'", 0), 0u);
  EXPECT_EQ(ErrorOf("tester A@B\nend\n"), "bad.sim:1: serial 'A@B' has a character that is not allowed");
  EXPECT_EQ(Parse("charger x\n  fixed 5V\n  restart off\nend\n").chargers.at(0).restartMs, 0);
  EXPECT_EQ(ErrorOf("tester A\n  fault dropp 0C\nend\n").rfind("bad.sim:2: unknown fault 'dropp'", 0), 0u);
  EXPECT_EQ(ErrorOf("tester A\nend\nat 1s jump\n").rfind("bad.sim:3: unknown command 'jump'", 0), 0u);
  // A device plugged in by the timeline may be used after that.
  Parse("tester A\nend\nat 1s plug B kt40\nat 2s @B detach\n");
  Scenario s;
  std::string error;
  EXPECT_FALSE(sim::LoadScenarioFile((kScenarioDir / "missing.sim").string(), &s, &error));
  EXPECT_NE(error.find("missing.sim: cannot be read"), std::string::npos);
  // Control commands, with targets and inline chargers.
  sim::ControlCommand c;
  ASSERT_TRUE(sim::ParseControlCommand("@VXPD0002 charger fixed 5V 3A; pps 3.3-11V 3A; resistance 40", {}, &c, &error));
  EXPECT_EQ(c.kind, sim::ControlCommand::Kind::Charger);
  EXPECT_EQ(c.target, "VXPD0002");
  EXPECT_EQ((std::vector<int>{int(c.charger.profiles.size()), c.charger.resistanceMohm}), (std::vector<int>{2, 40}));
  ASSERT_TRUE(sim::ParseControlCommand("plug VXPD0009 hw 10 fw 26", {}, &c, &error));
  EXPECT_EQ((std::vector<int>{c.device.hardwareRevision, c.device.firmwareVersion}), (std::vector<int>{10, 26}));
  ASSERT_TRUE(sim::ParseControlCommand("plug FTX1 ftdi", {}, &c, &error));
  EXPECT_FALSE(c.device.isTester);
  ASSERT_TRUE(sim::ParseControlCommand("fault drop 0C 2", {}, &c, &error));
  EXPECT_EQ(c.fault.remaining, 2);
  ASSERT_TRUE(sim::ParseControlCommand("ripple 25 1000", {}, &c, &error));
  EXPECT_EQ((std::vector<int>{c.a, c.b}), (std::vector<int>{25, 1000}));
  for (const auto& [line, refusal] : {std::pair{"ripple 25", "usage: ripple <mV> <Hz>"},
                                      {"charger", "a charger name or description is missing"},
                                      {"newprofile 9", "object position 9 is outside 1..7"}}) {
    EXPECT_FALSE(sim::ParseControlCommand(line, {}, &c, &error));
    EXPECT_EQ(error, refusal);
  }
}

TEST(SimWorld, ListsPluggedDevicesInOrderAndOpensBySerialUnlessRefused) {
  sim::FrameRecorder record;
  sim::SimWorld world(&record);
  world.Load(LoadFile("two-testers.sim"));
  ASSERT_EQ(world.PluggedCount(), 3);
  const char* serials[] = {"VXPD0001", "FT7QX2LB", "VXPD0002"};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(world.PluggedAt(i)->Serial(), serials[i]);
  EXPECT_EQ(world.PluggedAt(3), nullptr);
  uint64_t gen = 0, gen2 = 0;
  EXPECT_EQ(world.Open("VXPD0009", 0, &gen), sim::OpenResult::Unknown);
  ASSERT_EQ(world.Open("VXPD0002", 0, &gen), sim::OpenResult::Ok);
  EXPECT_EQ(world.Open("VXPD0002", 0, &gen2), sim::OpenResult::AlreadyOpen);
  auto r = sim::RunExchange(*world.Opened("VXPD0002", gen), sim::BuildFrame(0x0B), 1 * kMs);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.body[1], 3);  // the 20 W charger's three entries
  world.Close("VXPD0002", gen, 10 * kMs);
  EXPECT_EQ(world.Opened("VXPD0002", gen), nullptr);
  EXPECT_EQ(world.Open("VXPD0002", 10 * kMs, &gen2), sim::OpenResult::Ok);
  // The non-tester opens but never answers.
  ASSERT_EQ(world.Open("FT7QX2LB", 10 * kMs, &gen), sim::OpenResult::Ok);
  EXPECT_FALSE(sim::RunExchange(*world.Opened("FT7QX2LB", gen), sim::BuildFrame(0x01), 10 * kMs).ok);
  // "failopen" counts down, or refuses always.
  sim::SimWorld refusing;
  refusing.Load(Parse("tester A\n  failopen 2\nend\nftdi B failopen always\n"));
  EXPECT_EQ(refusing.Open("A", 0, &gen), sim::OpenResult::Refused);
  EXPECT_EQ(refusing.Open("A", 0, &gen), sim::OpenResult::Refused);
  EXPECT_EQ(refusing.Open("A", 0, &gen), sim::OpenResult::Ok);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(refusing.Open("B", 0, &gen), sim::OpenResult::Refused);
}

TEST(SimWorld, PlugAndUnplugChangeTheListAndEndOpenHandles) {
  sim::SimWorld world;
  world.Load(Parse(sim::DefaultScenarioText()));
  uint64_t gen = 0;
  ASSERT_EQ(world.Open("VXPD0001", 0, &gen), sim::OpenResult::Ok);
  std::string error;
  ASSERT_TRUE(world.Execute("plug VXPD0002 kt40", 5 * kMs, &error)) << error;
  EXPECT_EQ(world.PluggedCount(), 2);
  EXPECT_EQ(world.PluggedAt(1)->Setup().hardwareRevision, 10);
  ASSERT_TRUE(world.Execute("unplug VXPD0001", 6 * kMs, &error)) << error;
  EXPECT_EQ(world.PluggedCount(), 1);
  EXPECT_EQ(world.Opened("VXPD0001", gen), nullptr);
  EXPECT_FALSE(world.Execute("unplug VXPD0001", 7 * kMs, &error));
  EXPECT_EQ(error, "'VXPD0001' is not plugged in");
  EXPECT_FALSE(world.Execute("frobnicate", 7 * kMs, &error));
  // Plugged in again it is a new device: the old handle stays dead.
  ASSERT_TRUE(world.Execute("plug VXPD0001", 8 * kMs, &error)) << error;
  EXPECT_EQ(world.Opened("VXPD0001", gen), nullptr);
  uint64_t gen2 = 0;
  EXPECT_EQ(world.Open("VXPD0001", 9 * kMs, &gen2), sim::OpenResult::Ok);
  EXPECT_NE(gen2, gen);
  const auto events = world.TakePlugEvents();
  ASSERT_EQ(events.size(), 3u);
  std::string seen;  // + arrived, - gone
  for (const auto& e : events) seen += (e.arrived ? "+" : "-") + e.serial + " ";
  EXPECT_EQ(seen, "+VXPD0002 -VXPD0001 +VXPD0001 ");
  EXPECT_TRUE(world.TakePlugEvents().empty());
}

TEST(SimWorld, TimelineRunsInTimeOrder) {
  sim::SimWorld world;
  world.Load(LoadFile("timeline.sim"));
  uint64_t gen = 0;
  ASSERT_EQ(world.Open("VXPD0001", 0, &gen), sim::OpenResult::Ok);
  sim::TesterModel* t = world.Opened("VXPD0001", gen);
  EXPECT_EQ(sim::CollectNotices(*t, 0, 900 * kMs), std::vector<uint8_t>{});
  world.Advance(1100 * kMs);
  EXPECT_TRUE(t->Attached());
  world.Advance(9500 * kMs);
  EXPECT_EQ(sim::CollectNotices(*t, 9500 * kMs, 9500 * kMs), (std::vector<uint8_t>{0x20, 0x22, 0x23, 0x21, 0x20}));
  EXPECT_EQ(t->Source()->Setup().name, "pd20");
  EXPECT_EQ(world.PluggedCount(), 1);
  world.Advance(10 * 1000 * kMs);
  EXPECT_EQ(world.PluggedCount(), 2);
  world.Advance(16 * 1000 * kMs);
  EXPECT_EQ(world.PluggedCount(), 1);
  EXPECT_EQ(t->Source()->Setup().name, "qc3");
  EXPECT_EQ(world.TakePlugEvents().size(), 2u);
}

TEST(SimWorld, ControlCommandsReachTheTarget) {
  sim::SimWorld world;
  world.Load(LoadFile("two-testers.sim"));
  std::string error;
  ASSERT_TRUE(world.Execute("@VXPD0002 detach", 0, &error)) << error;
  EXPECT_FALSE(world.Find("VXPD0002")->Attached());
  EXPECT_TRUE(world.Find("VXPD0001")->Attached());
  ASSERT_TRUE(world.Execute("@VXPD0002 attach typec3", 1 * kMs, &error)) << error;
  EXPECT_EQ(world.Find("VXPD0002")->Source()->Active().kind, 4);
  // Attaching another charger to an attached port unplugs the old one first.
  uint64_t gen = 0;
  ASSERT_EQ(world.Open("VXPD0001", 1 * kMs, &gen), sim::OpenResult::Ok);
  ASSERT_TRUE(world.Execute("attach dcp", 1 * kMs, &error)) << error;
  EXPECT_EQ(sim::CollectNotices(*world.Opened("VXPD0001", gen), 1 * kMs, 400 * kMs), (std::vector<uint8_t>{0x21, 0x20}));
  EXPECT_EQ(world.Find("VXPD0001")->Source()->Active().subKind, 2);
  ASSERT_TRUE(world.Execute("capchange sdp", 400 * kMs, &error)) << error;
  EXPECT_EQ(world.Find("VXPD0001")->Source()->Active().kind, 2);
  ASSERT_TRUE(world.Execute("@VXPD0001 detach", 403 * kMs, &error)) << error;
  EXPECT_FALSE(world.Execute("capchange", 404 * kMs, &error));
  EXPECT_EQ(error, "VXPD0001 has no source attached");
  EXPECT_FALSE(world.Execute("@FT7QX2LB newprofile", 405 * kMs, &error));
  EXPECT_FALSE(world.Execute("@NOPE detach", 405 * kMs, &error));
  EXPECT_EQ(error, "no device 'NOPE'");
  EXPECT_FALSE(world.Execute("plug VXPD0001", 406 * kMs, &error));
  EXPECT_EQ(error, "'VXPD0001' is already plugged in");
}

TEST(SimWorld, UnplugFaultTakesTheDeviceOffTheBus) {
  sim::SimWorld world;
  world.Load(Parse("tester A\n  charger pd65\n  fault unplug 0C\nend\n"));
  uint64_t gen = 0;
  ASSERT_EQ(world.Open("A", 0, &gen), sim::OpenResult::Ok);
  sim::TesterModel* t = world.Opened("A", gen);
  t->HostWrite(sim::BuildFrame(0x0C), 0);
  world.Advance(50 * kMs);
  EXPECT_EQ(world.PluggedCount(), 0);
  EXPECT_EQ(world.Opened("A", gen), nullptr);
  const auto events = world.TakePlugEvents();
  EXPECT_TRUE(events.size() == 1u && !events[0].arrived);
}

}  // namespace
