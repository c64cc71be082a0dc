// The monitor core against the simulated tester with faults injected: failed requests, the settings read at connect, a
// tester or source that goes away, capacity, and damaged replies.
#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/native/monitor_rig.h"

namespace {

using rig::kPd65;

constexpr const char* kPps = "tester VXPD0001 kt60\n  charger pps 3.3-21V 3A\nend\n";

// One that keeps failing is reported once, never dropped silently.
TEST(MonitorRequests, AFailedSendIsRetriedThenReported) {
  struct Case {
    const char* scenario;
    uint8_t command;  // the requests lost on their way
    std::function<void(TesterState&, int)> request;
    std::function<bool(rig::Monitor&, int)> done;
    std::wstring report;
  };
  const Case cases[] = {
      {kPd65, kCmdWriteTesterSettings,
       [](TesterState& S, int v) {
         S.config.cableResistanceMohm = static_cast<uint16_t>(v);
         S.requests.configPending = 1;
       },
       [](rig::Monitor& m, int v) { return m.model.Settings().cableResistanceMohm == v; },
       kSettingsNotWrittenText},
      {kPd65, kCmdSetLoadCurrent,
       [](TesterState& S, int v) {
         S.requests.requestedLoadMa = static_cast<uint16_t>(v * 10);
         S.requests.loadRequestPending = 1;
       },
       [](rig::Monitor& m, int v) { return m.model.AppliedLoadMa() == v * 10; }, L"The load could not be set"},
      {kPd65, kCmdRequestProfile,
       [](TesterState& S, int v) {
         S.requests.requestedProfileRow = static_cast<uint8_t>(v / 100);
         S.requests.profileRequestPending = 1;
       },
       [](rig::Monitor& m, int v) { return m.model.Source()->ActiveIndex() == v / 100; },
       L"The profile request could not be sent"},
      {kPps, kCmdRequestProfile,
       [](TesterState& S, int v) {
         S.requests.requestedVoltageMv = static_cast<uint16_t>(v * 60);
         S.requests.voltageRequestPending = 1;
       },
       [](rig::Monitor& m, int v) { return m.model.Source()->ActiveMv() == v * 60; }, L"The voltage request of"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.report);
    rig::Monitor m(c.scenario);
    TesterState& S = m.state;
    m.PassFor(1000);
    // One request lost: the next pass sends it again.
    m.link.LoseRequests(c.command, 1);
    c.request(S, 150);
    EXPECT_TRUE(m.PassUntil([&] { return c.done(m, 150); }, 5000));
    EXPECT_EQ(m.Count(c.report), 0);
    // Every one lost: a few attempts, then one ERROR record.
    m.link.LoseRequests(c.command, -1);
    c.request(S, 200);
    m.PassFor(15000);
    EXPECT_FALSE(c.done(m, 200));
    EXPECT_EQ(m.Count(c.report, LogError), 1);
    EXPECT_EQ(S.live.testerConnected, 1);  // the tester still answers the rest
  }
}

// While the tester has not confirmed the program's settings, a load above the
// stricter of its old and the new ceiling is not sent.
TEST(MonitorRequests, LoadsWaitForTheTestersSettings) {
  rig::Monitor m("tester VXPD0001 kt60\n  charger pd65\n  settings mode force ceiling 5A\nend\n", false);
  TesterState& S = m.state;
  m.link.LoseRequests(kCmdWriteTesterSettings, -1);
  ASSERT_TRUE(m.core.Connect().ok);
  ASSERT_TRUE(m.PassUntil([&] { return S.live.portReady != 0; }));
  S.requests.requestedLoadMa = 4500;
  S.requests.loadRequestPending = 1;
  m.PassFor(3000);
  EXPECT_EQ(m.model.AppliedLoadMa(), 0);  // the tester still runs at "force 5 A"
  const CommandResult held = m.core.SetLoad(4500);
  EXPECT_FALSE(held.ok);
  EXPECT_NE(held.message.find(L"waits"), std::wstring::npos);
  m.link.LoseRequests(kCmdSetLoadCurrent, 1);
  EXPECT_FALSE(m.core.SetLoad(2000).ok);  // a step's failure is returned, not hidden
  EXPECT_TRUE(m.core.SetLoad(2000).ok);   // within the program's 3000 mA ceiling
  EXPECT_EQ(m.model.AppliedLoadMa(), 2000);
  EXPECT_EQ(m.Count(kSettingsNotWrittenText, LogError), 1);
  // Once the settings are written, the tester applies its own ceiling.
  S.requests.requestedLoadMa = 4500;
  S.requests.loadRequestPending = 1;
  m.link.LoseRequests(kCmdWriteTesterSettings, 0);
  ASSERT_TRUE(m.PassUntil([&] { return !m.core.SettingsOwed(); }, 8000));
  EXPECT_EQ(m.model.Settings().limitMode, 0);
  EXPECT_TRUE(m.PassUntil([&] { return S.requests.loadRequestPending == 0; }, 2000));
  EXPECT_EQ(m.model.AppliedLoadMa(), 3000);
}

TEST(MonitorConnect, UnreadSettingsKeepTheDefaultsAndRefusedTestersChangeNothing) {
  struct Case {
    const char* fault;
    uint8_t loopback;
    uint16_t standardMa, cableMohm;
  };
  const Case cases[] = {
      {"fault drop E1 1", 0, 900, 150},       // the first round lost
      {"fault drop E1 always", 0, 500, 80},   // nothing read
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    rig::Monitor m("tester VXPD0001 kt60\n  charger pd65\n  settings loopback 1 standard 900 cable 150\nend\n", false);
    TesterState& S = m.state;
    m.Fault(c.fault);
    ASSERT_TRUE(m.core.Connect().ok);
    const TestConfiguration& k = S.config;
    EXPECT_EQ((std::vector<int>{int(k.loopbackEnabled), k.standardPortLimitMa, k.cableResistanceMohm}),
              (std::vector<int>{c.loopback, c.standardMa, c.cableMohm}));
    m.model.ClearFaults();
    ASSERT_TRUE(m.PassUntil([&] { return !m.core.SettingsOwed(); }));
    // What the tester now holds is a value the program vouches for, never 0.
    EXPECT_EQ((std::vector<int>{m.model.Settings().standardPortLimitMa, m.model.Settings().cableResistanceMohm}),
              (std::vector<int>{c.standardMa, c.cableMohm}));
  }
  rig::Monitor old("tester VXPD0026 kt40 fw 2.6\n  charger pd65\nend\n", false);
  TesterState& S = old.state;
  S.config.cableResistanceMohm = 123;
  const ConnectResult refused = old.core.Connect();
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.message, L"Please update the device firmware");
  EXPECT_EQ((std::vector<int>{S.config.cableResistanceMohm, int(S.live.testerConnected)}), (std::vector<int>{123, 0}));
}

// A tester that goes away or stops answering ends the connection: ERROR record, link closed, values cleared, controls
// off, the running test told; the loop then idles instead of spinning.
TEST(MonitorFaults, ALostTesterEndsTheConnection) {
  const std::function<void(rig::Monitor&)> ways[] = {
      [](rig::Monitor& m) { m.model.Unplug(m.link.NowUs()); },
      [](rig::Monitor& m) { m.Fault("fault drop any always"); },
      [](rig::Monitor& m) { m.Fault("fault unplug 0C 1"); },
  };
  for (size_t i = 0; i < std::size(ways); ++i) {
    SCOPED_TRACE(i);
    rig::Monitor m(kPd65);
    TesterState& S = m.state;
    ASSERT_TRUE(m.core.SetLoad(1000).ok);
    m.PassFor(1000);
    EXPECT_EQ(S.live.measuredCurrentMa, 1000);
    const FeedMark mark = m.core.Feed().Mark();
    ways[i](m);
    ASSERT_TRUE(m.PassUntil([&] { return S.live.testerConnected == 0; }, 5000));
    EXPECT_EQ(m.Count(kLinkLostText, LogError), 1);
    EXPECT_FALSE(m.link.IsOpen());
    EXPECT_EQ(m.core.Feed().Check(mark, nullptr), FeedEvent::LinkLost);
    EXPECT_EQ((std::vector<int>{S.live.measuredCurrentMa, int(S.live.portReady)}), (std::vector<int>{0, 0}));
    EXPECT_FALSE(m.view.controls.back());
    const int64_t before = m.link.NowUs();
    for (int k = 0; k < 20; ++k) m.core.Pass();
    EXPECT_GE(m.link.NowUs() - before, 20 * 100 * 1000);
    EXPECT_EQ(m.Count(kLinkLostText), 1);
  }
}

// The tester is sent each switch as the user set it, either way.
TEST(MonitorRequests, SettingsFollowTheConfiguration) {
  TesterState S;
  for (uint32_t on : {0u, 1u}) {
    S.config.loopbackEnabled = on;
    S.config.estimateUpstream = 1 - on;
    const TesterSettings s = SettingsFromConfig(S);
    EXPECT_EQ((std::vector<int>{s.loopbackEnabled, s.estimateUpstream}), (std::vector<int>{int(on), int(1 - on)}));
  }
}

// A source that goes away (its notice arriving or lost) stops the capacity, zeroes the live current and loopback, drops
// the requests meant for it and leaves the next source at 0 mA with no profile requested.
TEST(MonitorFaults, ADetachedSourceLeavesNothingBehind) {
  for (bool noticeLost : {false, true}) {
    SCOPED_TRACE(noticeLost);
    rig::Monitor m("tester VXPD0001 kt60\n  charger pd65\n  loopback 250\n  noise 0 0\nend\n");
    TesterState& S = m.state;
    EXPECT_FALSE(m.view.controls.front());  // off until the source was read
    S.config.loopbackEnabled = 1;
    S.requests.configPending = 1;
    ASSERT_TRUE(m.core.SetLoad(1000).ok);
    m.PassFor(36000);
    // 1000 mA for 36 s, counted by the time that passed.
    EXPECT_NEAR(S.live.capacityMah, 10.0, 0.1);
    EXPECT_NEAR(S.live.capacityMwh, 10.0 * 4.89, 0.5);  // at the 4.89 V the source gives at 1 A
    EXPECT_EQ(S.live.loopbackCurrentMa, 250);
    m.link.LoseRequests(kCmdRequestProfile, -1);
    EXPECT_EQ(m.core.RequestProfileRow(1).message, L"The profile request could not be sent");
    m.link.LoseRequests(kCmdRequestProfile, 0);
    m.model.Detach(m.link.NowUs());
    if (noticeLost) {
      m.link.Link().Sleep(1);
      m.link.ClearNotice(2);
    }
    S.requests.requestedLoadMa = 2000;
    S.requests.loadRequestPending = 1;
    S.requests.requestedProfileRow = 2;
    S.requests.profileRequestPending = 1;
    ASSERT_TRUE(m.PassUntil([&] { return S.live.portReady == 0; }, 3000));
    EXPECT_EQ(m.core.SetLoad(500).message, kNoSourceText);
    const double mah = S.live.capacityMah;
    m.PassFor(10000);
    EXPECT_EQ(S.live.capacityMah, mah);
    EXPECT_EQ((std::vector<int>{S.live.measuredCurrentMa, S.live.loopbackCurrentMa}), (std::vector<int>{0, 0}));
    EXPECT_FALSE(m.view.controls.back());
    EXPECT_EQ(m.Count(L"Port detached"), 1);
    m.model.Attach(m.link.NowUs());
    ASSERT_TRUE(m.PassUntil([&] { return S.live.portReady != 0; }, 5000));
    m.PassFor(3000);
    EXPECT_EQ((std::vector<int>{m.model.AppliedLoadMa(), m.model.Source()->ActiveIndex()}), (std::vector<int>{0, 0}));
    EXPECT_TRUE(m.view.controls.back());
  }
}

// Damaged replies never become readings, and many of them make one record.
TEST(MonitorFaults, DamagedRepliesAreDroppedNeverRead) {
  const char* faults[] = {"fault badsum 0C 1", "fault badetx 0C 1", "fault noise 0C 1 02 0F 0C 55",
                          "fault late 0C 1 600ms"};
  for (const char* fault : faults) {
    SCOPED_TRACE(fault);
    rig::Monitor m("tester VXPD0001 kt60\n  charger pd65\n  noise 0 0\nend\n");
    m.Fault(fault);
    for (int k = 0; k < 3; ++k) {
      const std::optional<Reading> r = m.core.Measure();
      if (r) { EXPECT_NEAR(r->vbusMv, 5000, 50); }
    }
  }
  rig::Monitor m(kPd65);
  TesterState& S = m.state;
  m.Fault("fault badsum 0C 20");
  m.PassFor(8000);
  EXPECT_EQ(m.Count(L"damaged frames from the tester were dropped", LogDiagnostics), 1);
  EXPECT_EQ(S.live.testerConnected, 1);
}

// A weak 5 V charger sags under 2 A: each stretch of low voltage is logged
// once, however many passes it lasts, and a recovery starts a new episode.
// The pace of readings on the tester's own clock: idle, about four a second;
// while a sweep runs, one at least every 50 ms, so that each step's reading
// follows its hold time closely; never a loop that floods the tester.
TEST(MonitorReadings, IdleAndWhileASweepRunsAtTheirPace) {
  sim::FrameRecorder record;
  rig::Monitor m(rig::kPd65, true, &record);
  const auto measurements = [&] {
    const std::vector<std::string> frames = record.FramesOf(sim::RecordKind::Received);
    return std::count(frames.begin(), frames.end(), "02 01 0C 0C 03");
  };
  record.Clear();
  m.PassFor(2000);
  EXPECT_NEAR(measurements(), 8, 1);
  m.state.graph.graphMode = Sweep;
  m.state.config.timeStepMs = 667;
  m.state.graph.testStopped = 0;
  record.Clear();
  m.PassFor(1000);
  EXPECT_GE(measurements(), 16);
  EXPECT_LE(measurements(), 20);
}

TEST(MonitorReadings, UnderVoltageIsLoggedOncePerEpisode) {
  rig::Monitor m(
      "charger weak\n  fixed 5V 3A\n  resistance 400\n  trip off\nend\n"
      "tester VXPD0001 kt60\n  charger weak\n  noise 0 0\nend\n");
  for (int ma : {2000, 200, 2000}) {
    ASSERT_TRUE(m.core.SetLoad(static_cast<uint16_t>(ma)).ok);
    m.PassFor(3000);
  }
  EXPECT_EQ(m.Count(L"Under voltage detected", LogError), 2);
  EXPECT_EQ(m.Count(L"Over voltage detected"), 0);
}

// One tester of a scenario with its own state and monitor core, in its own simulated time.
struct Tester {
  Tester(const sim::DeviceSetup& device, uint64_t seed)
      : model(device, nullptr, seed), link(model), core(state, link, link, view) {}
  sim::TesterModel model;
  sim::SimLink link;
  MonitorView view;
  TesterState state;
  MonitorCore core;
  FeedMark mark;
};

// What a tester gave: every reading, its capacity and what it read of its source.
struct Outcome {
  std::vector<std::vector<int64_t>> readings;  // time, VBUS, current, set-point
  double mah = 0.0, mwh = 0.0;
  uint16_t ratedMa = 0;
  int profiles = 0;
};

// Connects every tester, sets its load, then runs the cores in turns, one pass
// each, until every one has run `ms` of its own time.
std::vector<Outcome> RunInTurns(const std::vector<Tester*>& testers, const std::vector<uint16_t>& loadsMa, int64_t ms) {
  for (size_t i = 0; i < testers.size(); ++i) {
    Tester& t = *testers[i];
    EXPECT_TRUE(t.core.Connect().ok);
    for (int pass = 0; pass < 200 && !(t.state.live.portReady && !t.core.SettingsOwed()); ++pass) t.core.Pass();
    EXPECT_TRUE(t.core.SetLoad(loadsMa[i]).ok);
    t.core.ResetCapacity();
    t.mark = t.core.Feed().Mark();
  }
  std::vector<Outcome> out(testers.size());
  std::vector<int64_t> endUs;
  for (Tester* t : testers) endUs.push_back(t->link.NowUs() + ms * 1000);
  for (bool running = true; running;) {
    running = false;
    for (size_t i = 0; i < testers.size(); ++i) {
      Tester& t = *testers[i];
      if (t.link.NowUs() >= endUs[i]) continue;
      running = true;
      t.core.Pass();
      for (Reading r; t.core.Feed().Take(&t.mark, &r, true) == FeedEvent::Reading;) {
        out[i].readings.push_back({r.timeUs, r.vbusMv, r.currentMa, r.setpointMa});
      }
    }
  }
  for (size_t i = 0; i < testers.size(); ++i) {
    const TesterState& s = testers[i]->state;
    out[i].mah = s.live.capacityMah;
    out[i].mwh = s.live.capacityMwh;
    out[i].ratedMa = s.live.ratedCurrentMa;
    out[i].profiles = s.GetPdoList().count;
  }
  return out;
}

// Two testers in one process, each with its own state and core, run side by side: each one's readings, capacity and
// source are exactly what it gives when it runs alone.
TEST(MonitorTesters, TwoCoresInOneProcessWorkApart) {
  rig::Log().Clear();
  sim::Scenario scenario;
  std::string error;
  ASSERT_TRUE(sim::LoadScenarioFile(LOADPOST_SCENARIO_DIR "/two-testers.sim", &scenario, &error)) << error;
  std::vector<sim::DeviceSetup> devices;
  for (const sim::DeviceSetup& d : scenario.devices) {
    if (d.isTester) devices.push_back(d);
  }
  ASSERT_EQ(devices.size(), 2u);
  const std::vector<uint16_t> loads = {1000, 2500};
  constexpr int64_t kRunMs = 20000;
  std::vector<Outcome> alone;
  for (size_t i = 0; i < devices.size(); ++i) {
    Tester t(devices[i], scenario.seed);
    alone.push_back(RunInTurns({&t}, {loads[i]}, kRunMs)[0]);
  }
  // The two differ (other chargers, other loads), so a shared value would show;
  // each counts its own load (less the first pause before its first reading).
  EXPECT_NE(alone[0].profiles, alone[1].profiles);
  for (size_t i = 0; i < devices.size(); ++i) {
    const double mah = loads[i] * kRunMs / 3.6e6;
    EXPECT_NEAR(alone[i].mah, mah, mah * 0.02);
  }
  Tester a(devices[0], scenario.seed), b(devices[1], scenario.seed);
  const std::vector<Outcome> together = RunInTurns({&a, &b}, loads, kRunMs);
  for (size_t i = 0; i < devices.size(); ++i) {
    SCOPED_TRACE(devices[i].serial);
    EXPECT_GT(together[i].readings.size(), 50u);  // a reading every 250 ms
    EXPECT_EQ(together[i].readings, alone[i].readings);
    const auto values = [](const Outcome& o) {
      return std::vector<double>{o.mah, o.mwh, double(o.ratedMa), double(o.profiles)};
    };
    EXPECT_EQ(values(together[i]), values(alone[i]));
  }
}

// Captures keep a second measurement request on the wire. Through a bridge handing replies on at its latency timer (no
// event character, as a pseudo-terminal), readings per second one at a time and pipelined, each reading the values the
// tester sent for it; a link that damages one measurement reply in ten costs those readings only.
TEST(MonitorCapture, ReadingsAtTheWiresPace) {
  struct Case {
    int latencyMs;
    double minPerSecond;  // pipelined, clean link
  };
  const Case cases[] = {{1, 0.85 * 576}, {2, 0.85 * 576}, {16, 100}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.latencyMs);
    sim::FrameRecorder record;
    rig::Monitor m("tester VXPD0001 kt60\n  charger pd65\n  noise 20 10\nend\n", true, &record);
    m.model.SetLatencyTimer(c.latencyMs, m.link.NowUs());
    m.model.SetEventChar(kEtx, false, m.link.NowUs());
    // Half a second of readings (counted per second); with `damageEvery`, that many replies in ten are spoilt.
    const auto take = [&](bool capture, int damageEvery) {
      m.state.graph.capturing = capture ? 1 : 0;
      record.Clear();
      std::vector<Reading> got;
      FeedMark mark = m.core.Feed().Mark();
      const auto follow = [&] {
        Reading r;
        while (m.core.Feed().Take(&mark, &r, true) == FeedEvent::Reading) got.push_back(r);
      };
      const int64_t until = m.link.NowUs() + 500'000;
      for (int k = 1; m.link.NowUs() < until; ++k) {
        if (damageEvery && k % damageEvery == 0) m.Fault("fault badsum 0C 1");
        m.core.Measure();
        follow();
      }
      m.state.graph.capturing = 0;
      m.core.DrainCapture();
      follow();
      int missing = -1;
      EXPECT_TRUE(rig::RepliesInOrder(got, rig::Monitor::GoodReplies(record), &missing));
      EXPECT_EQ(missing, 0);
      return 2.0 * static_cast<double>(got.size());
    };
    const double single = take(false, 0);
    const double pipelined = take(true, 0);
    const double damaged = take(true, 10);
    std::printf("bridge %d ms: %.0f readings/s one at a time, %.0f pipelined, %.0f with 1 reply in 10 damaged\n",
                c.latencyMs, single, pipelined, damaged);
    EXPECT_GT(pipelined, single);
    EXPECT_GE(pipelined, c.minPerSecond);
    EXPECT_GE(damaged, 0.8 * pipelined);
    EXPECT_FALSE(m.core.CaptureOneAtATime());
  }
}

}  // namespace
