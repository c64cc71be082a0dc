// The simulated tester seen from the host: reply layouts (decoded by hand here), stored settings and calibration,
// profile switching, the load model, wire timing, fault injection and the frame record.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/sim_pipe.h"
#include "sim/sim_scenario.h"
#include "sim/sim_tester.h"

namespace {

using sim::Bytes;
using sim::SimTime;

constexpr SimTime kMs = 1000;

uint16_t U16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8)); }
// A port status reply as {attached, entry, kind, sub-kind, mV, mA}; a
// measurement reply as {VBUS, set-point, current, loopback}.
using Ints = std::vector<int>;
Ints Status(const Bytes& s) { return {s.at(1), s.at(2), s.at(3), s.at(4), U16(s, 5), U16(s, 7)}; }
Ints Meas(const Bytes& m) { return {U16(m, 3), U16(m, 5), U16(m, 7), U16(m, 9)}; }

sim::ChargerSetup Charger(const std::string& name) {
  for (const sim::ChargerSetup& c : sim::BuiltInChargers()) {
    if (c.name == name) return c;
  }
  ADD_FAILURE() << "no built-in charger " << name;
  return {};
}

sim::DeviceSetup Kt60(const std::string& charger = "pd65") {
  sim::DeviceSetup d;
  d.serial = "VXPD0001";
  d.hasCharger = !charger.empty();
  if (d.hasCharger) d.charger = Charger(charger);
  return d;
}

// A tester with a clock that moves on by itself between exchanges.
struct Bench {
  explicit Bench(const sim::DeviceSetup& setup) : tester(setup, &record) {}

  sim::ExchangeResult Ask(uint8_t cmd, const Bytes& data = {}) {
    auto r = sim::RunExchange(tester, sim::BuildFrame(cmd, data), now);
    now = r.doneAt + 1 * kMs;
    return r;
  }
  Bytes Body(uint8_t cmd, const Bytes& data = {}) {
    auto r = Ask(cmd, data);
    EXPECT_TRUE(r.ok) << "no reply to " << int(cmd);
    return r.body;
  }
  std::vector<uint8_t> Wait(SimTime us) {
    auto notices = sim::CollectNotices(tester, now, now + us);
    now += us;
    return notices;
  }

  sim::FrameRecorder record;
  sim::TesterModel tester;
  SimTime now = 0;
};

TEST(SimReplies, VersionReplyCarriesHardwareAndFirmware) {
  Bench b(Kt60());
  auto r = b.Ask(0x01);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(sim::HexString(r.frame), "02 03 01 14 1E 09 03");
  sim::DeviceSetup old = Kt60();
  old.hardwareRevision = 10;
  old.firmwareVersion = 26;
  Bench kt40(old);
  EXPECT_EQ(kt40.Body(0x01), (Bytes{0x01, 10, 26}));
  EXPECT_FALSE(kt40.Ask(0xE4, {0x00}).ok);  // a KT-40 has no calibration commands
}

TEST(SimReplies, PortStatusAndMeasurementsFollowTheSourceAndTheLoad) {
  Bench b(Kt60());
  Bytes s = b.Body(0x0A);
  ASSERT_EQ(s.size(), 13u);
  EXPECT_EQ(s[0], 0x0A);
  EXPECT_EQ(Status(s), (Ints{1, 0, 5, 0, 5000, 3000}));  // attached, first entry, PD fixed
  Bytes m = b.Body(0x0C);
  ASSERT_EQ(m.size(), 11u);
  EXPECT_EQ(m[2], 25);                        // ambient temperature at rest
  EXPECT_EQ(Meas(m), (Ints{5000, 0, 0, 0}));  // no load, no drop
  EXPECT_EQ(b.Body(0x10, {0xB8, 0x0B}), Bytes{0x10});  // 3000 mA
  // 30 mOhm in the charger + 80 mOhm of cable at 3 A.
  EXPECT_EQ(Meas(b.Body(0x0C)), (Ints{5000 - 330, 3000, 3000, 0}));
  b.tester.Detach(b.now);
  b.Wait(10 * kMs);
  const Ints gone = Status(b.Body(0x0A)), read = Meas(b.Body(0x0C));
  EXPECT_EQ((Ints{gone[0], gone[4], read[0], read[2]}), (Ints{0, 0, 0, 0}));  // detached, no VBUS, no current
}

TEST(SimReplies, NonPdPortsListOneEntryOfTheirKind) {
  struct Case {
    const char* charger;
    int kind, sub;
    uint16_t ratedMa;
  } cases[] = {{"sdp", 2, 0, 500},       {"cdp", 2, 1, 1500},   {"dcp", 2, 2, 1500}, {"typec3", 4, 1, 3000},
               {"typec1.5", 4, 0, 1500}, {"legacy", 0, 0, 500}, {"pty", 1, 0, 2400}};
  for (const Case& k : cases) {
    Bench b(Kt60(k.charger));
    Bytes c = b.Body(0x0B);
    ASSERT_EQ(c.size(), 59u);
    EXPECT_EQ(c[1], 1) << k.charger;
    EXPECT_EQ((U16(c, 3) >> 4) & 0x0F, k.kind) << k.charger;
    EXPECT_EQ(Status(b.Body(0x0A)), (Ints{1, 0, k.kind, k.sub, 5000, k.ratedMa})) << k.charger;
  }
}

TEST(SimSettings, LimitModeDecidesWhatTheLoadMayDraw) {
  Bench b(Kt60());
  b.Body(0x10, {0xA0, 0x0F});  // 4000 mA, enforce: held to the 3 A rating
  EXPECT_EQ(b.tester.AppliedLoadMa(), 3000);
  b.Body(0xE0, {0x01, 0x01});  // allow over limit
  b.Body(0x10, {0xA0, 0x0F});
  EXPECT_EQ(b.tester.AppliedLoadMa(), 4000);
  b.Body(0x10, {0xD0, 0x1B});  // 7120 mA: the tester's own ceiling
  EXPECT_EQ(b.tester.AppliedLoadMa(), sim::kTesterMaxLoadMa);
  b.Body(0xE0, {0x01, 0x02, 0xDC, 0x05});  // forced ceiling 1500 mA lowers the load at once
  EXPECT_EQ(b.tester.AppliedLoadMa(), 1500);
  EXPECT_EQ(U16(b.Body(0x0C), 5), 1500);
}

TEST(SimSettings, LoopbackAndUpstreamEstimateShowInMeasurements) {
  sim::DeviceSetup d = Kt60();
  d.loopbackMa = 250;
  Bench b(d);
  EXPECT_EQ(U16(b.Body(0x0C), 9), 0);
  b.Body(0xE0, {0x00, 0x01});
  const Bytes m = b.Body(0x0C);
  EXPECT_EQ((Ints{U16(m, 9), U16(m, 3)}), (Ints{250, 4973}));  // 27.5 mV lost in charger and cable
  b.Body(0xE0, {0x03, 0x01});                 // estimate upstream with 80 mOhm
  EXPECT_EQ(U16(b.Body(0x0C), 3), 4993);      // the 20 mV of the cable added back
}

TEST(SimCalibration, CalibrationCorrectsTheVbusReading) {
  sim::DeviceSetup d = Kt60();
  d.gain[0] = 0.99;  // this tester reads 1 % low
  Bench b(d);
  EXPECT_EQ(U16(b.Body(0x0C), 3), 4950);
  // 4000 mV applied read as 3960, 20000 as 19800: 4950 lies between them.
  b.Body(0xE3, {0x00, 0x05, 0x01, 0xA0, 0x0F, 0x78, 0x0F, 0x20, 0x4E, 0x58, 0x4D});
  EXPECT_EQ(U16(b.Body(0x0C), 3), 5000);
  // A channel the tester does not have is answered, empty, so that the host does not wait.
  EXPECT_EQ(b.Body(0xE4, {0x02}), (Bytes{0xE4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(b.Body(0xE5, {0x02}), Bytes{0xE5});
}

TEST(SimProfiles, RequestSwitchesAfterTheDelayWithNotice) {
  Bench b(Kt60());
  const SimTime asked = b.now;
  EXPECT_EQ(b.Body(0x0D, {0x02, 0x28, 0x23}), Bytes{0x0D});  // position 2 (9 V)
  // Straight after the request the entry is the new one but the contract is not.
  EXPECT_EQ(Status(b.Body(0x0A)), (Ints{1, 1, 5, 0, 5000, 3000}));
  auto r = sim::RunExchange(b.tester, sim::BuildFrame(0x0C), b.now, 1000 * kMs);
  ASSERT_TRUE(r.ok);
  b.now = r.doneAt;
  const auto notices = b.Wait(300 * kMs);
  ASSERT_EQ(notices, std::vector<uint8_t>{0x22});
  const auto& lines = b.record.Lines();
  SimTime noticeAt = -1;
  for (const std::string& line : lines) {
    if (line.find(" TX 02 01 22 22 03") != std::string::npos) noticeAt = static_cast<SimTime>(std::stod(line) * 1e6 + 0.5);
  }
  EXPECT_GE(noticeAt - asked, 200 * kMs);
  EXPECT_LT(noticeAt - asked, 210 * kMs);
  EXPECT_EQ(U16(b.Body(0x0A), 5), 9000);
  EXPECT_EQ(U16(b.Body(0x0C), 3), 9000);
}

TEST(SimProfiles, RequestedVoltagesAreSteppedClampedOrTheNearestLevel) {
  struct Case {
    const char* charger;
    uint8_t position;
    uint16_t mv, expected;
  } cases[] = {
      {"pd65", 5, 7994, 8000},    // PPS: 20 mV steps
      {"pd65", 5, 10000, 10000},  //
      {"pd65", 5, 1000, 3300},    // held at the bottom of the range
      {"pd65", 7, 9000, 5000},    // no such position: rejected without notice
      {"qc3", 2, 8300, 8400},     // QC3: 200 mV steps
      {"qc3", 1, 12000, 12000},   // QC2
      {"qc3", 1, 10000, 9000},    // QC2 has no 10 V: the nearest level
  };
  for (const Case& c : cases) {
    Bench b(Kt60(c.charger));
    EXPECT_EQ(b.Body(0x0D, {c.position, static_cast<uint8_t>(c.mv & 0xFF), static_cast<uint8_t>(c.mv >> 8)}),
              Bytes{0x0D});
    EXPECT_EQ(b.Wait(500 * kMs).size(), c.position == 7 ? 0u : 1u) << c.charger << " " << c.mv;
    const Ints s = Status(b.Body(0x0A));
    EXPECT_EQ(s[4], c.expected) << c.charger << " " << c.mv;
    if (c.position >= 5) { EXPECT_EQ(s[1], c.position == 5 ? 4 : 0); }  // the PPS entry, or still the first
    if (c.position == 5) { EXPECT_EQ(s[3], 3); }
  }
}

TEST(SimSource, NoticesForAttachDetachCapabilityChangeAndNewProfile) {
  Bench b(Kt60());
  b.tester.Detach(b.now);
  b.tester.Attach(b.now + 10 * kMs);
  b.tester.ChangeCapabilities(b.now + 20 * kMs, nullptr);
  b.tester.SourceNewProfile(b.now + 30 * kMs, 3, 0);
  EXPECT_EQ(b.Wait(50 * kMs), (std::vector<uint8_t>{0x21, 0x20, 0x23, 0x22}));
  EXPECT_EQ(U16(b.Body(0x0A), 5), 15000);
  // Another charger: out, then in after the replug time, with its own list.
  const sim::ChargerSetup dcp = Charger("dcp");
  b.tester.SwapCharger(dcp, b.now, 300);
  EXPECT_EQ(b.Wait(400 * kMs), (std::vector<uint8_t>{0x21, 0x20}));
  EXPECT_EQ(Status(b.Body(0x0A)), (Ints{1, 0, 2, 2, 5000, 1500}));
}

TEST(SimLoad, VbusFallsWithLoadAndTheSourceShutsDownPastItsRating) {
  sim::DeviceSetup d = Kt60();
  d.settings.limitMode = 1;  // the tester lets the load go past the rating
  Bench b(d);
  uint16_t last = 0xFFFF;
  for (uint16_t ma : {0, 1000, 2000, 3000}) {
    b.Body(0x10, {static_cast<uint8_t>(ma & 0xFF), static_cast<uint8_t>(ma >> 8)});
    const uint16_t v = U16(b.Body(0x0C), 3);
    EXPECT_LT(v, last) << ma;
    last = v;
  }
  // 125 % is tolerated for as long as it lasts; past 130 % the charger trips.
  b.Body(0x10, {0xA6, 0x0E});  // 3750 mA
  EXPECT_TRUE(b.Wait(2000 * kMs).empty());
  EXPECT_TRUE(b.tester.Attached());
  const uint16_t folded = U16(b.Body(0x0C), 3);
  EXPECT_LT(folded, last - 700);  // steeper droop above the rating
  b.Body(0x10, {0x3C, 0x0F});  // 3900 mA = 130 %: still no trip
  EXPECT_TRUE(b.Wait(1000 * kMs).empty());
  b.Body(0x10, {0xA0, 0x0F});  // 4000 mA: the trip after its time
  EXPECT_TRUE(b.Wait(400 * kMs).empty());
  EXPECT_EQ(b.Wait(200 * kMs), std::vector<uint8_t>{0x21});
  EXPECT_FALSE(b.tester.Attached());
  EXPECT_EQ(Meas(b.Body(0x0C)), (Ints{0, 0, 0, 0}));
}

TEST(SimLoad, ShortOverloadDoesNotTripAndRestartComesBack) {
  sim::DeviceSetup d = Kt60();
  d.settings.limitMode = 1;
  d.charger.restartMs = 1000;
  Bench b(d);
  b.Body(0x10, {0xA0, 0x0F});  // 4000 mA for 300 ms only
  b.Wait(300 * kMs);
  b.Body(0x10, {0xE8, 0x03});
  EXPECT_TRUE(b.Wait(1000 * kMs).empty());
  b.Body(0x10, {0xA0, 0x0F});
  EXPECT_EQ(b.Wait(2000 * kMs), (std::vector<uint8_t>{0x21, 0x20}));
  EXPECT_TRUE(b.tester.Attached());
  EXPECT_EQ(b.tester.AppliedLoadMa(), 0);  // the load went off with the source
}

TEST(SimBridge, RepliesReachTheHostByPacketTimerOrEventCharacter) {
  // The request's 5 bytes cross by 435 us, the reply starts 200 us later; a GetMeasurements reply (15 bytes) is all
  // across at 1938 us, the capability list's 62nd byte at 6017 us and its 63rd at 6104 us. The bridge was opened at 0,
  // so its timer runs out at 16, 32, ... ms.
  struct Step {
    SimTime at;
    size_t readable;
  };
  struct Case {
    const char* what;
    int latencyMs;
    bool eventChar;
    uint8_t command;
    SimTime writeAt;
    std::vector<Step> steps;
  } cases[] = {
      {"15 bytes wait for the default timer", 16, false, 0x0C, 0, {{15999, 0}, {16000, 15}}},
      {"the timer keeps its pace while idle", 16, false, 0x0C, 20 * kMs, {{31999, 0}, {32000, 15}}},
      {"the event character sends them with the last byte", 16, true, 0x0C, 0, {{1937, 0}, {1938, 15}}},
      {"the shortest useful timer", 2, false, 0x0C, 0, {{1999, 0}, {2000, 15}}},
      // A full packet goes at once and restarts the timer.
      {"a full packet is not held", 16, false, 0x0B, 0, {{6016, 0}, {6017, 62}, {22016, 62}, {22017, 63}}},
      // This list has an 03 as its 39th byte (4021 us).
      {"an 03 inside the data sends what came before it", 16, true, 0x0B, 0, {{4020, 0}, {4021, 39}, {6103, 39}, {6104, 63}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::TesterModel t(Kt60(), nullptr);
    ASSERT_TRUE(t.SetLatencyTimer(c.latencyMs, 0));
    ASSERT_TRUE(t.SetEventChar(0x03, c.eventChar, 0));
    t.HostWrite(sim::BuildFrame(c.command), c.writeAt);
    for (const Step& s : c.steps) EXPECT_EQ(t.HostAvailable(s.at), s.readable) << "at " << s.at;
    EXPECT_EQ(t.HostReadAll(40 * kMs).back(), 0x03);
  }
}

TEST(SimBridge, RefusedAndOutOfRangeSettingsChangeNothingAndOpeningStartsAfresh) {
  sim::DeviceSetup d = Kt60();
  d.latencyMs = 255;
  d.faults.push_back({sim::FaultKind::RefuseLatency, sim::kAnyCommand, 1, -1, {}});
  d.faults.push_back({sim::FaultKind::RefuseChars, sim::kAnyCommand, 1, -1, {}});
  sim::TesterModel t(d, nullptr);
  EXPECT_EQ(t.LatencyTimer(), 255);
  for (int ms : {2, 0, 256}) EXPECT_FALSE(t.SetLatencyTimer(ms, 0)) << ms;  // refused once, then out of range
  EXPECT_EQ(t.LatencyTimer(), 255);
  EXPECT_TRUE(t.SetLatencyTimer(1, 0));
  EXPECT_EQ(t.LatencyTimer(), 1);
  EXPECT_FALSE(t.SetEventChar(0x03, true, 0));
  EXPECT_FALSE(t.Bridge().EventCharEnabled());
  EXPECT_TRUE(t.SetEventChar(0x03, true, 0));
  EXPECT_TRUE(t.Bridge().EventCharEnabled());
  t.SetHostOpen(false, 1 * kMs);
  t.SetHostOpen(true, 2 * kMs);
  EXPECT_EQ(t.LatencyTimer(), 255);
  EXPECT_FALSE(t.Bridge().EventCharEnabled());
}

TEST(SimWire, WrongLineSettingsOrBadFramesGetNoAnswerAndTheReceiverResynchronises) {
  Bench b(Kt60());
  b.tester.SetHostLine(9600, 8, 0, 0);
  EXPECT_FALSE(b.Ask(0x01).ok);
  b.tester.SetHostLine(115200, 8, 0, 0);
  b.now += 100 * kMs;  // the receiver gives up the garbage after a pause
  EXPECT_TRUE(b.Ask(0x01).ok);
  // Checksum wrong, ETX wrong, LEN too large: no answers, then a good frame works.
  Bench w(Kt60());
  w.tester.HostWrite(Bytes{0x02, 0x01, 0x01, 0x00, 0x03}, w.now);
  w.tester.HostWrite(Bytes{0x02, 0x01, 0x01, 0x01, 0x04}, w.now);
  w.tester.HostWrite(Bytes{0x02, 0x90, 0x01}, w.now);
  w.tester.HostWrite(Bytes{0x55, 0xAA}, w.now);
  auto r = sim::RunExchange(w.tester, sim::BuildFrame(0x01), w.now);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.body, (Bytes{0x01, 20, 30}));
  EXPECT_EQ(w.record.FramesOf(sim::RecordKind::Rejected).size(), 4u);
  EXPECT_EQ(w.record.FramesOf(sim::RecordKind::Received), std::vector<std::string>{"02 01 01 01 03"});
}

TEST(SimFaults, DropCountsDownPerCommandOrKeepsGoingForAny) {
  sim::DeviceSetup d = Kt60();
  d.faults.push_back({sim::FaultKind::Drop, 0x0C, 2, -1, {}});
  Bench b(d);
  EXPECT_TRUE(b.Ask(0x0A).ok);  // other commands are not touched
  EXPECT_FALSE(b.Ask(0x0C).ok);
  EXPECT_FALSE(b.Ask(0x0C).ok);
  EXPECT_TRUE(b.Ask(0x0C).ok);
  // "always" keeps going, "any" matches every command.
  b.tester.AddFault({sim::FaultKind::Drop, sim::kAnyCommand, sim::kAlways, -1, {}});
  for (uint8_t cmd : {0x01, 0x0A, 0x0B, 0x0C, 0x01}) EXPECT_FALSE(b.Ask(cmd).ok);
  b.tester.ClearFaults();
  EXPECT_TRUE(b.Ask(0x01).ok);
}

TEST(SimFaults, LateAndSpoiltReplies) {
  sim::DeviceSetup d = Kt60();
  d.faults.push_back({sim::FaultKind::Late, 0x0C, 1, -1, {}});
  Bench b(d);
  const SimTime start = b.now;
  auto r = sim::RunExchange(b.tester, sim::BuildFrame(0x0C), start, 500 * kMs);
  EXPECT_FALSE(r.ok);
  // The tester answers in order: the next request waits for the late reply.
  auto late = sim::RunExchange(b.tester, sim::BuildFrame(0x0A), r.doneAt, 500 * kMs);
  ASSERT_TRUE(late.ok);
  EXPECT_EQ(late.body[0], 0x0C);
  EXPECT_GE(late.doneAt - start, 600 * kMs);
  auto next = sim::RunExchange(b.tester, Bytes{}, late.doneAt, 500 * kMs);
  ASSERT_TRUE(next.ok);
  EXPECT_EQ(next.body[0], 0x0A);
  struct Case {
    sim::FaultKind kind;
    int param;
    const char* expect;  // the SetLoadCurrent reply as it arrives
  } cases[] = {
      {sim::FaultKind::WrongCmd, -1, "02 01 11 11 03"},    {sim::FaultKind::WrongCmd, 0x00, "02 01 00 00 03"},
      {sim::FaultKind::BadSum, -1, "02 01 10 4A 03"},      {sim::FaultKind::BadEtx, -1, "02 01 10 10 04"},
      {sim::FaultKind::BadEtx, 0x00, "02 01 10 10 00"},    {sim::FaultKind::BadLen, -1, "02 85 10 10 03"},
      {sim::FaultKind::BadLen, 0x00, "02 00 10 10 03"},
  };
  for (const Case& c : cases) {
    Bench b(Kt60());
    b.tester.AddFault({c.kind, 0x10, 1, c.param, {}});
    b.tester.HostWrite(sim::BuildFrame(0x10, {0, 0}), 0);
    EXPECT_EQ(sim::HexString(b.tester.HostReadAll(100 * kMs)), c.expect);
    // One reply only: the next is sound.
    b.tester.HostWrite(sim::BuildFrame(0x10, {0, 0}), 100 * kMs);
    EXPECT_EQ(sim::HexString(b.tester.HostReadAll(200 * kMs)), "02 01 10 10 03");
  }
}

TEST(SimFaults, NoiseGapDuplicate) {
  Bench b(Kt60());
  b.tester.AddFault({sim::FaultKind::Noise, sim::kAnyCommand, 1, -1, {0xFF, 0x00}});
  b.tester.HostWrite(sim::BuildFrame(0x10, {0, 0}), 0);
  EXPECT_EQ(sim::HexString(b.tester.HostReadAll(20 * kMs)), "FF 00 02 01 10 10 03");
  b.tester.AddFault({sim::FaultKind::Gap, 0x10, 1, 30, {}});
  b.tester.HostWrite(sim::BuildFrame(0x10, {0, 0}), 20 * kMs);
  EXPECT_EQ(sim::HexString(b.tester.HostReadAll(40 * kMs)), "02 01");
  EXPECT_EQ(b.tester.HostAvailable(45 * kMs), 0u);
  EXPECT_EQ(sim::HexString(b.tester.HostReadAll(80 * kMs)), "10 10 03");
  b.tester.AddFault({sim::FaultKind::Duplicate, 0x10, 1, -1, {}});
  b.tester.HostWrite(sim::BuildFrame(0x10, {0, 0}), 100 * kMs);
  EXPECT_EQ(sim::HexString(b.tester.HostReadAll(120 * kMs)), "02 01 10 10 03 02 01 10 10 03");
}

}  // namespace
