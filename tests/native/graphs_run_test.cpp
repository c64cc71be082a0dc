// The graph window's run without a window: chart set-up of both graphs, the status line, the real-time series and band,
// and the runs themselves against the simulated tester with faults injected.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/chart/line_chart.h"
#include "core/graphs/direct_run_link.h"
#include "core/graphs/graph_run.h"
#include "core/report/run_verdict.h"
#include "core/graphs/run_link.h"
#include "core/link/real_clock.h"
#include "core/graphs/sweep_csv.h"
#include "core/graphs/sweep_plan.h"
#include "core/base/tester_state.h"
#include "tests/native/monitor_rig.h"

namespace {

std::unique_ptr<LineChart> NewChart() { return std::make_unique<LineChart>(); }

GraphSetupInputs RunInputs(uint32_t mode, uint32_t kind, uint16_t mv, uint16_t ceilingMa, uint16_t stepMa,
                       uint16_t ratedMa = 3000, uint16_t timeStepMs = 500) {
  return {.graphMode = mode, .profileKind = kind, .maxLoadCurrentMa = ceilingMa, .ratedCurrentMa = ratedMa,
          .profileVoltageMv = mv, .currentStepMa = stepMa, .timeStepMs = timeStepMs};
}

std::wstring Text(const wchar_t* p) { return p ? std::wstring(p) : std::wstring(); }
using Ints = std::vector<int>;

TEST(GraphSetUp, AxisFollowsModeAndProfileKindAndTheSweepChartHasOneSlotPerStep) {
  struct Case {
    uint32_t mode, kind;
    uint16_t mv;
    int32_t min, max;
    int divisions;
  } cases[] = {
      {RealTime, 5, 5000, 3, 7, 8},   // real-time 5 V
      {RealTime, 2, 5000, 3, 7, 8},   // real-time on a BC port is centred too
      {Sweep, 2, 5000, 0, 6, 12},     // BC 5 V sweep
      {Sweep, 5, 9000, 7, 11, 8},     // PD 9 V sweep
      {Sweep, 3, 12000, 10, 14, 8},   // QC 12 V
      {Sweep, 4, 5000, 0, 6, 12},     // Type-C current
      {Sweep, 0, 5000, 0, 6, 12},     // legacy
      {Sweep, 5, 9999, 7, 11, 8},     // whole volts, truncated
  };
  for (const Case& c : cases) {
    const GraphAxis axis = ChooseGraphAxis(c.mode, c.kind, c.mv);
    EXPECT_EQ((std::vector<int>{axis.minVolts, axis.maxVolts, axis.divisions}), (std::vector<int>{c.min, c.max, c.divisions}))
        << c.mode << "/" << c.kind << "/" << c.mv;
  }
  // The sweep chart has one slot per step, cleared tables, and room for the largest sweep.
  auto chart = NewChart();
  GraphSession session;
  SweepTables tables;
  for (float& v : tables.volts) v = 1.0f;
  for (float& v : tables.plot) v = 1.0f;
  session.tables = &tables;
  SetUpGraphChart(session, *chart, RunInputs(Sweep, 5, 9000, 3000, 25, 2000));
  EXPECT_EQ((Ints{session.StepCount(), session.sweepEndMa, session.sweepRatedMa, session.sweepProfileMv}),
            (Ints{121, 3000, 2000, 9000}));
  EXPECT_EQ((Ints{chart->categoryMode, chart->xDivisions, chart->yDivisions, chart->categoryCount[0]}), (Ints{1, 60, 8, 121}));
  EXPECT_EQ((std::vector<double>{chart->yMin, chart->yMax, chart->xMax}), (std::vector<double>{7, 11, 3000}));
  EXPECT_EQ((std::vector<std::wstring>{Text(chart->categoryLabel[0]), Text(chart->categoryLabel[1]),
                                       Text(chart->categoryLabel[120])}),
            (std::vector<std::wstring>{L"0", L"25", L"3000"}));
  // Entries 0..n cleared, the one after untouched.
  for (int i = 0; i <= 121; ++i) {
    ASSERT_EQ(tables.volts[i], kSweepNoValue) << i;
    ASSERT_EQ(tables.plot[i], kSweepNoValue) << i;
  }
  EXPECT_EQ(tables.volts[122], 1.0f);
  EXPECT_EQ(chart->categoryValue[0][120], kSweepNoValue);
  // The largest sweep the settings allow: 5100 mA in 5 mA steps.
  SetUpGraphChart(session, *chart, RunInputs(Sweep, 5, 5000, 5100, 5));
  EXPECT_EQ((Ints{session.StepCount(), chart->categoryCount[0]}), (Ints{1021, 1021}));
  // A tester's stored ceiling is not bounded by the program: the sweep is.
  SetUpGraphChart(session, *chart, RunInputs(Sweep, 5, 5000, 65535, 5));
  EXPECT_LE(session.StepCount() + 5, kSweepTableSize);
  EXPECT_EQ(chart->categoryCount[0], session.StepCount());
  EXPECT_EQ(chart->xMax, static_cast<double>(session.sweepEndMa));
}

TEST(GraphSetUp, LoadSweepIntoChartLabelsWithTheStepCurrent) {
  auto chart = NewChart();
  const float values[4] = {5.0f, 4.9f, kSweepNoValue, kSweepNoValue};
  chart->showDots[1] = 1;
  LoadSweepIntoChart(*chart, values, 4, 1, 500);
  EXPECT_EQ((std::vector<int>{chart->categoryCount[1], chart->showDots[1], chart->lineWidth[1]}), (std::vector<int>{4, 0, 2}));
  EXPECT_EQ((std::vector<float>{chart->categoryValue[1][1], chart->categoryValue[1][3]}), (std::vector<float>{4.9f, kSweepNoValue}));
  EXPECT_EQ(Text(chart->categoryLabel[3]), L"1500");
  // A bad series changes nothing.
  LoadSweepIntoChart(*chart, values, 4, 2, 500);
  LoadSweepIntoChart(*chart, values, 4, -1, 500);
  EXPECT_EQ(chart->categoryCount[0], 0);
}

TEST(GraphStatus, TextsOfBothModes) {
  const auto status = [](uint32_t mode, float low, float high, RunEnd end = RunEnd::Running) {
    wchar_t text[kGraphStatusChars];
    FormatGraphStatus(text, kGraphStatusChars, mode, low, high, end);
    return std::wstring(text);
  };
  EXPECT_EQ(status(Sweep, 4.5f, 5.126f), L"Minimum:4.50V   Maximum:5.13V");
  EXPECT_EQ(status(RealTime, 5.0f, 5.0f), L"Minimum:5.00V   Maximum:5.00V   Ripple:0.00V");
  EXPECT_EQ(status(RealTime, 4.96f, 5.04f), L"Minimum:4.96V   Maximum:5.04V   Ripple:0.08V");
  EXPECT_EQ(status(Sweep, 4.5f, 5.126f, RunEnd::Detached), L"Minimum:4.50V   Maximum:5.13V   Incomplete: source detached");
  EXPECT_EQ(status(RealTime, kMinVoltsStart, kMaxVoltsStart, RunEnd::LinkLost), L"Incomplete: tester lost");
  // A short buffer is cut, never overrun.
  wchar_t shortText[8];
  FormatGraphStatus(shortText, 8, RealTime, 5.0f, 5.0f);
  EXPECT_LT(std::wcslen(shortText), 8u);
}

TEST(RealtimeSeries, FullSeriesKeepsTheLastHundredMillisecondsAndTheBandFitsTheAxis) {
  auto chart = NewChart();
  for (int i = 0; i < kMaxPoints; ++i) ASSERT_EQ(AddRealtimeSample(*chart, static_cast<float>(i), 5.0f), 0);
  ASSERT_EQ(chart->pointCount[0], kMaxPoints);
  const float t = static_cast<float>(kMaxPoints);
  EXPECT_EQ(AddRealtimeSample(*chart, t, 4.5f), 0);
  // Samples at t - 100 .. t - 1 stay (100 of them), then the new one.
  ASSERT_EQ(chart->pointCount[0], 101);
  const ChartPoint* p = chart->points[0];
  EXPECT_EQ((std::vector<double>{p[0].x, p[99].x, p[100].x, p[100].y}),
            (std::vector<double>{t - 100.0f, t - 1.0f, t, 4.5}));
  // And the series takes samples again.
  EXPECT_EQ(AddRealtimeSample(*chart, t + 1.0f, 5.0f), 0);
  EXPECT_EQ(chart->pointCount[0], 102);
  // A standing clock still makes room.
  chart = NewChart();
  for (int i = 0; i < kMaxPoints; ++i) chart->AddPoint(0, 7.0, 5.0);
  EXPECT_EQ(AddRealtimeSample(*chart, 7.0f, 4.0f), 0);
  EXPECT_EQ(chart->pointCount[0], kMaxPoints / 2 + 1);
  EXPECT_EQ(chart->points[0][kMaxPoints / 2].y, 4.0);
  // The band is clamped to the axis, or empty.
  const GraphAxis axis = ChooseGraphAxis(RealTime, 5, 5000);
  // PD 5 V, 1000 mA of a 3000 mA ceiling, no upstream estimate: 4.50..5.25 V.
  const VoltageWindowInputs in{.profileKind = 5, .profileVoltageMv = 5000, .loadSetpointMa = 1000, .maxLoadCurrentMa = 3000};
  BandRange band = RealtimeBand(ComputeVoltageWindow(in), axis);
  EXPECT_NEAR(band.low, 4.50f, 1e-5);
  EXPECT_NEAR(band.high, 5.25f, 1e-5);
  band = RealtimeBand(VoltageWindow{2.0f, 9.0f}, axis);
  EXPECT_EQ((std::vector<float>{band.low, band.high}), (std::vector<float>{3.0f, 7.0f}));
  // No window (legacy), or one entirely off the axis: no band at all.
  for (std::optional<VoltageWindow> w : {std::optional<VoltageWindow>{}, std::optional(VoltageWindow{8.0f, 9.0f}),
                                         std::optional(VoltageWindow{1.0f, 2.0f})}) {
    band = RealtimeBand(w, axis);
    EXPECT_FALSE(band.low < band.high);
  }
}

// A graph run over the monitor core and the simulated tester, in simulated time. `at` is called with each log line the
// run writes, to inject a fault at that moment.
struct RunRig {
  explicit RunRig(const std::string& scenario, sim::FrameRecorder* record = nullptr) : m(scenario, true, record) {
    session.tables = &tables;
    host.context = this;
    host.log = [](void* c, const wchar_t* text, int32_t category) {
      auto* r = static_cast<RunRig*>(c);
      r->logs.emplace_back(text, category);
      if (r->at) r->at(r->logs.size() - 1, text);
    };
    host.showStatus = [](void* c, const wchar_t* text) { static_cast<RunRig*>(c)->status = text; };
  }
  void Run(uint32_t mode, uint16_t stepMa = 500, uint16_t timeStepMs = 700) {
    m.state.config.currentStepMa = stepMa;
    m.state.config.timeStepMs = timeStepMs;
    SyncRunLink link(m.core);
    RunOver(link, mode);
  }
  void RunOver(RunLink& link, uint32_t mode = RealTime) {
    m.state.graph.graphMode = mode;
    SetUpGraphChart(session, *chart, CurrentGraphSetupInputs(m.state));
    m.state.graph.testStopped = 0;
    m.state.graph.testFinished = 0;
    startUs = m.link.NowUs();
    RunGraphTest(session, host, link);
  }
  int Lines(const std::wstring& part) const {
    int n = 0;
    for (const auto& l : logs) n += l.first.find(part) != std::wstring::npos ? 1 : 0;
    return n;
  }
  int CsvRows() const {
    const std::string csv = RunCsv(session);
    return static_cast<int>(std::count(csv.begin(), csv.end(), '\n')) - 1;
  }

  rig::Monitor m;
  std::unique_ptr<LineChart> chart = NewChart();
  GraphSession session;
  SweepTables tables;
  GraphTestHost host;
  std::function<void(size_t, const std::wstring&)> at;
  std::vector<std::pair<std::wstring, int32_t>> logs;
  std::wstring status;
  int64_t startUs = 0;
};

// A run's link with `hook` called (with the time) before each wait for a reading; it keeps the readings the run took.
template <typename Link>
struct Hooked : RunLink {
  template <typename... Args>
  explicit Hooked(std::function<void(int64_t)> hook, Args&... args) : hook(std::move(hook)), link(args...) {}
  TesterState& State() override { return link.State(); }
  int64_t NowUs() override { return link.NowUs(); }
  void Begin() override { link.Begin(); }
  void RequestLoad(uint16_t ma) override { link.RequestLoad(ma); }
  FeedEvent Hold(uint32_t ms) override { return link.Hold(ms); }
  FeedEvent NextReading(uint32_t ms, Reading* out) override {
    hook(NowUs());
    const FeedEvent e = link.NextReading(ms, out);
    if (e == FeedEvent::Reading) taken.push_back(*out);
    return e;
  }
  std::function<void(int64_t)> hook;
  Link link;
  std::vector<Reading> taken;
};

// A charger whose VBUS sags 0.38 V per ampere (300 mOhm and the 80 mOhm cable).
constexpr const char* kWeak =
    "charger weak\n  fixed 5V 3A\n  resistance 300\n  trip off\nend\n"
    "tester VXPD0001 kt60\n  charger weak\n  noise 0 0\nend\n";

// Every step records the VBUS of its own load, whatever the time step and however slow the link: a step waits for a
// reading taken after its hold with its set-point applied.
TEST(SweepRun, EachStepRecordsTheVoltageOfItsOwnLoad) {
  struct Case {
    uint16_t timeStepMs;
    int lostLoads;  // load requests lost on the way (sent again by the monitor)
    const char* fault;
  };
  const Case cases[] = {{700, 0, nullptr}, {10, 0, nullptr}, {10, 0, "fault late 0C always 40ms"}, {10, 2, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.timeStepMs);
    RunRig r(kWeak);
    TesterState& S = r.m.state;
    if (c.fault) r.m.Fault(c.fault);
    r.m.link.LoseRequests(kCmdSetLoadCurrent, c.lostLoads);
    r.Run(Sweep, 500, c.timeStepMs);
    EXPECT_EQ(r.session.end, RunEnd::Complete);
    ASSERT_EQ(r.CsvRows(), 7);
    for (int i = 0; i < 7; ++i) EXPECT_NEAR(r.tables.volts[i], 5.0f - 0.38f * i * 0.5f, 0.003f) << i;
    EXPECT_EQ(r.logs.size(), 9u);
    EXPECT_EQ(r.logs[7].first, L"Under Voltage, V=3.860V, I=3000mA, P=11.58W");
    EXPECT_EQ(r.logs.back().first, kSweepEndLine);
    EXPECT_EQ(r.status, L"Minimum:3.86V   Maximum:5.00V");
    EXPECT_EQ(S.requests.requestedLoadMa, 0);
    EXPECT_TRUE(r.m.PassUntil([&] { return r.m.model.AppliedLoadMa() == 0; }, 2000));
    // The verdict names the first step outside the window, the very first one included.
    EXPECT_EQ(JudgeSweep(r.session, r.tables, {}).firstFailing, 4);  // 2000 mA, 4.24 V
    r.tables.volts[0] = 5.5f;
    EXPECT_EQ(JudgeSweep(r.session, r.tables, {}).firstFailing, 0);
  }
}

// Whatever ends a sweep early ends it at once: an ERROR record (none for Stop), the incomplete status line, only the
// measured steps in the tables and the export, and the load back to 0 mA.
TEST(SweepRun, AnEarlyEndKeepsOnlyTheMeasuredSteps) {
  struct Case {
    const char* what;
    size_t afterLine;  // the fault comes as this log line is written (1 = step 0; kBefore: before the run)
    std::function<void(rig::Monitor&)> fault;
    RunEnd end;
    int measured;
  };
  constexpr size_t kBefore = ~size_t{0};
  const Case cases[] = {
      {"unplug while the current falls", kBefore, [](rig::Monitor& m) { m.model.Unplug(m.link.NowUs()); },
       RunEnd::LinkLost, 0},
      {"stop", 0, [](rig::Monitor& m) { m.core.Feed().Stop(); }, RunEnd::Stopped, 0},
      {"detach", 3, [](rig::Monitor& m) { m.model.Detach(m.link.NowUs()); }, RunEnd::Detached, 3},
      {"unplug", 3, [](rig::Monitor& m) { m.model.Unplug(m.link.NowUs()); }, RunEnd::LinkLost, 3},
      {"silent tester", 2, [](rig::Monitor& m) { m.Fault("fault drop any always"); }, RunEnd::LinkLost, 2},
      {"load never applied", 2, [](rig::Monitor& m) { m.link.LoseRequests(kCmdSetLoadCurrent, -1); },
       RunEnd::TimedOut, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RunRig r(kWeak);
    TesterState& S = r.m.state;
    int64_t faultAt = 0;
    r.at = [&](size_t line, const std::wstring&) {
      if (line == c.afterLine) {
        faultAt = r.m.link.NowUs();
        c.fault(r.m);
      }
    };
    if (c.afterLine == kBefore) {
      faultAt = r.m.link.NowUs();
      c.fault(r.m);
    }
    r.Run(Sweep);
    EXPECT_EQ(r.session.end, c.end);
    EXPECT_LT(r.m.link.NowUs() - faultAt, 5'000'000);  // at most a hold and the reading limit
    EXPECT_EQ(r.CsvRows(), c.measured);
    EXPECT_EQ(r.tables.volts[c.measured], kSweepNoValue);
    const wchar_t* record = RunEndRecord(c.end);
    EXPECT_EQ(record ? r.Lines(record) : 0, record ? 1 : 0);
    EXPECT_EQ(r.status.find(L"Incomplete") != std::wstring::npos, record != nullptr) << Text(r.status.c_str());
    EXPECT_EQ(r.logs.back().first, kSweepEndLine);
    EXPECT_EQ(S.requests.requestedLoadMa, 0);
    EXPECT_EQ(S.graph.testFinished, 1);
  }
}

// The window's way: readings published by another thread reach the run in order, and an event ends its wait.
TEST(ThreadedRun, ReadingsFromAnotherThreadThenTheDetach) {
  TesterState S;
  ReadingFeed feed;
  RealClock clock;
  ThreadedRunLink link(S, feed, clock);
  link.Begin();
  std::thread monitor([&] {
    for (uint32_t seq = 1; seq <= 3; ++seq) feed.Publish(Reading{0, seq, 0, static_cast<uint16_t>(5000 + seq)});
  });
  Reading r;
  for (uint32_t seq = 1; seq <= 3; ++seq) {
    EXPECT_EQ(link.NextReading(5000, &r), FeedEvent::Reading);
    EXPECT_EQ(r.seq, seq);
  }
  monitor.join();
  // A detach while the run waits ends the wait.
  std::thread detach([&] {
    clock.Sleep(20);
    feed.Detached();
  });
  EXPECT_EQ(link.NextReading(5000, &r), FeedEvent::Detached);
  detach.join();
  EXPECT_EQ(link.Hold(5000), FeedEvent::Detached);
  link.Begin();
  EXPECT_EQ(link.NextReading(1, &r), FeedEvent::None);
}

// The exports and drawing of a run use the run's own values: a new ceiling,
// step, profile or load afterwards changes nothing in them.
TEST(SweepRun, ExportsKeepTheRunsOwnValues) {
  RunRig r(kWeak);
  TesterState& S = r.m.state;
  r.Run(Sweep);
  const std::string csv = RunCsv(r.session);
  S.config.maxLoadCurrentMa = 1000;
  S.config.currentStepMa = 100;
  S.live.profileKind = 2;
  S.live.loadSetpointMa = 2500;
  EXPECT_EQ(RunCsv(r.session), csv);
  EXPECT_NE(csv.find("3.86,3000,11.58\r\n"), std::string::npos);
  const SweepRegionInputs region = RunRegionInputs(r.session);
  EXPECT_EQ((Ints{int(region.profileKind), region.sweepEndMa}), (Ints{5, 3000}));
}

// The real-time graph takes each reading once, at its own time, and ends on
// Stop; the band and "Set Current" follow the set-point the tester reported.
TEST(RealtimeRun, EachReadingAtItsOwnTime) {
  for (bool detach : {false, true}) {
    SCOPED_TRACE(detach);
    RunRig r("tester VXPD0001 kt60\n  charger pd65\n  ripple 40 120\nend\n");
    TesterState& S = r.m.state;
    ASSERT_TRUE(r.m.core.SetLoad(1000).ok);
    r.m.PassFor(500);
    // Stop (or the detach) comes 300 ms into the run.
    bool done = false;
    Hooked<SyncRunLink> link([&](int64_t now) {
      if (done || now - r.startUs <= 300'000) return;
      done = true;
      if (detach) r.m.model.Detach(now);
      else r.m.core.Feed().Stop();
    }, r.m.core);
    r.RunOver(link);
    EXPECT_EQ(r.session.end, detach ? RunEnd::Detached : RunEnd::Stopped);
    const int n = r.chart->pointCount[0];
    ASSERT_GT(n, 50);
    for (int i = 1; i < n; ++i) ASSERT_GT(r.chart->points[0][i].x, r.chart->points[0][i - 1].x) << i;
    EXPECT_NEAR(r.chart->points[0][n - 1].x, 300.0, 20.0);
    EXPECT_EQ(r.chart->xMax, r.chart->points[0][n - 1].x);
    EXPECT_NE(r.status.find(L"Ripple:0.08V"), std::wstring::npos) << Text(r.status.c_str());
    EXPECT_EQ(r.status.find(L"Incomplete") != std::wstring::npos, detach);
    EXPECT_EQ(r.session.setpointMa, 1000);
    S.live.loadSetpointMa = 0;
    const BandRange band = RunBand(r.session);
    EXPECT_NEAR(band.low, 4.50f, 1e-5);  // 5 V PD at 1000 mA of a 3000 mA ceiling
  }
}

// Faults while a ripple capture (the command line's and the server's path) keeps two measurement requests on the wire:
// the run ends or goes on as it should, every reading it took is a reply the tester sent whole, in order and once, a
// run of losses goes on one request at a time (one record), and the load ends at 0.
TEST(RealtimeRun, FaultsWithTwoRequestsOnTheWire) {
  struct Case {
    const char* name;
    const char* fault;  // a control command 300 ms into the run
    RunEnd end;
    bool oneAtATime;
    int maxMissing;  // replies the run passed over
  };
  const Case cases[] = {
      {"damaged", "fault badsum 0C 1", RunEnd::Stopped, false, 1},
      {"dropped", "fault drop 0C 1", RunEnd::Stopped, false, 1},
      {"losses in a row", "fault badsum 0C 3", RunEnd::Stopped, true, 3},
      {"detach", "detach", RunEnd::Detached, false, 0},
      {"capabilities", "capchange", RunEnd::Stopped, false, 2},
      {"stop", "", RunEnd::Stopped, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::FrameRecorder record;
    RunRig r("tester VXPD0001 kt60\n  charger pd65\n  noise 20 10\nend\n", &record);
    r.m.model.SetEventChar(kEtx, false, r.m.link.NowUs());  // replies wait for the 2 ms timer
    TesterState& S = r.m.state;
    ASSERT_TRUE(r.m.core.SetLoad(1000).ok);
    r.m.PassFor(300);
    const char* fault = c.fault;
    Hooked<DirectRunLink> link([&](int64_t now) {
      if (fault && now - r.startUs > 300'000) {
        if (std::string(fault) == "detach") r.m.model.Detach(now);
        else if (std::string(fault) == "capchange") r.m.model.ChangeCapabilities(now);
        else if (*fault) r.m.Fault(fault);
        fault = nullptr;
      }
      if (now - r.startUs > 600'000) r.m.core.Feed().Stop();
    }, r.m.core, r.m.link);
    record.Clear();
    r.RunOver(link);
    EXPECT_EQ(r.session.end, c.end);
    EXPECT_EQ(S.graph.capturing, 0);
    int missing = -1;
    EXPECT_TRUE(rig::RepliesInOrder(link.taken, rig::Monitor::GoodReplies(record), &missing));
    EXPECT_LE(missing, c.maxMissing);
    EXPECT_GT(link.taken.size(), 150u);
    EXPECT_EQ(r.m.core.CaptureOneAtATime(), c.oneAtATime);
    EXPECT_EQ(r.m.Count(kCaptureOneAtATimeText), c.oneAtATime ? 1 : 0);
    // The command line's end: whatever is still owed does not confuse the next command.
    r.m.PassFor(1500);
    if (S.live.portReady) {
      EXPECT_TRUE(r.m.core.SetLoad(0).ok);
    }
    EXPECT_EQ(r.m.model.AppliedLoadMa(), 0);
  }
}

}  // namespace
