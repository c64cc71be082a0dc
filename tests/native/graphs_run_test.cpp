// The graph window's run without a window: chart set-up of both graphs, the
// status line, the real-time series and band, and the test thread's steps
// against a scripted monitor loop.
#include <gtest/gtest.h>

#include <cmath>
#include <cwchar>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "chart/line_chart.h"
#include "graphs/graph_run.h"
#include "graphs/sweep_csv.h"
#include "graphs/sweep_plan.h"
#include "shell/shared_state.h"

namespace {

std::unique_ptr<LineChart> NewChart() { return std::make_unique<LineChart>(); }

GraphSetupInputs RunInputs(uint32_t mode, uint32_t kind, uint16_t mv, uint16_t ceilingMa, uint16_t stepMa,
                       uint16_t ratedMa = 3000, uint16_t timeStepMs = 500) {
  GraphSetupInputs in;
  in.graphMode = mode;
  in.profileKind = kind;
  in.profileVoltageMv = mv;
  in.maxLoadCurrentMa = ceilingMa;
  in.currentStepMa = stepMa;
  in.ratedCurrentMa = ratedMa;
  in.timeStepMs = timeStepMs;
  return in;
}

std::wstring Text(const wchar_t* p) { return p ? std::wstring(p) : std::wstring(); }

// --- Set-up --------------------------------------------------------------------

TEST(GraphSetUp, AxisFollowsModeAndProfileKind) {
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
    EXPECT_EQ(axis.minVolts, c.min) << c.mode << "/" << c.kind << "/" << c.mv;
    EXPECT_EQ(axis.maxVolts, c.max) << c.mode << "/" << c.kind << "/" << c.mv;
    EXPECT_EQ(axis.divisions, c.divisions) << c.mode << "/" << c.kind << "/" << c.mv;
  }
}

TEST(GraphSetUp, SweepChartHasOneSlotPerStepAndClearedTables) {
  auto chart = NewChart();
  GraphSession session;
  SweepTables tables;
  for (float& v : tables.volts) v = 1.0f;
  for (float& v : tables.plot) v = 1.0f;
  session.tables = &tables;

  SetUpGraphChart(session, *chart, RunInputs(Sweep, 5, 9000, 3000, 25, 2000));
  EXPECT_EQ(session.StepCount(), 121);
  EXPECT_EQ(session.sweepEndMa, 3000);
  EXPECT_EQ(session.sweepRatedMa, 2000);
  EXPECT_EQ(session.sweepProfileMv, 9000);
  EXPECT_EQ(chart->categoryMode, 1);
  EXPECT_EQ(chart->xDivisions, 60);
  EXPECT_EQ(chart->yDivisions, 8);
  EXPECT_EQ(chart->yMin, 7.0f);
  EXPECT_EQ(chart->yMax, 11.0f);
  EXPECT_EQ(chart->xMin, 0.0);
  EXPECT_EQ(chart->xMax, 3000.0);
  EXPECT_EQ(chart->seriesCount, 1);
  EXPECT_EQ(chart->categoryCount[0], 121);
  EXPECT_EQ(chart->showXLabels, 0);
  EXPECT_EQ(chart->showGrid, 1);
  EXPECT_EQ(chart->plotColour, 0u);
  EXPECT_EQ(chart->seriesColour[0], 0u);
  EXPECT_EQ(chart->lineWidth[0], 2);
  EXPECT_EQ(chart->showDots[0], 0);
  EXPECT_EQ(Text(chart->title), L"Voltage vs. Current");
  EXPECT_EQ(Text(chart->xAxisTitle), L"Current (mA)");
  EXPECT_EQ(Text(chart->yAxisTitle), L"Voltage");
  EXPECT_EQ(Text(chart->categoryLabel[0]), L"0");
  EXPECT_EQ(Text(chart->categoryLabel[1]), L"25");
  EXPECT_EQ(Text(chart->categoryLabel[120]), L"3000");
  // Entries 0..n cleared, the one after untouched.
  for (int i = 0; i <= 121; ++i) {
    ASSERT_EQ(tables.volts[i], kSweepNoValue) << i;
    ASSERT_EQ(tables.plot[i], kSweepNoValue) << i;
  }
  EXPECT_EQ(tables.volts[122], 1.0f);
  EXPECT_EQ(chart->categoryValue[0][120], kSweepNoValue);

  // 5 mA steps: 601 slots, 600 halved to 37 labelled divisions.
  SetUpGraphChart(session, *chart, RunInputs(Sweep, 2, 5000, 3000, 5));
  EXPECT_EQ(session.StepCount(), 601);
  EXPECT_EQ(chart->xDivisions, 37);
  EXPECT_EQ(chart->yMin, 0.0f);
  EXPECT_EQ(chart->yMax, 6.0f);
  EXPECT_EQ(chart->yDivisions, 12);
}

TEST(GraphSetUp, LargestCeilingsFitTheTables) {
  auto chart = NewChart();
  GraphSession session;
  SweepTables tables;
  session.tables = &tables;
  // The largest sweep the settings allow: 5100 mA in 5 mA steps.
  SetUpGraphChart(session, *chart, RunInputs(Sweep, 5, 5000, 5100, 5));
  EXPECT_EQ(session.StepCount(), 1021);
  EXPECT_EQ(chart->categoryCount[0], 1021);
  // A tester's stored ceiling is not bounded by the program: the sweep is.
  SetUpGraphChart(session, *chart, RunInputs(Sweep, 5, 5000, 65535, 5));
  EXPECT_LE(session.StepCount() + 5, kSweepTableSize);
  EXPECT_EQ(chart->categoryCount[0], session.StepCount());
  EXPECT_EQ(chart->xMax, static_cast<double>(session.sweepEndMa));
}

TEST(GraphSetUp, RealTimeChartIsXyWithoutTitle) {
  auto chart = NewChart();
  GraphSession session;
  SweepTables tables;
  session.tables = &tables;
  SetUpGraphChart(session, *chart, RunInputs(RealTime, 5, 5000, 3000, 25));
  EXPECT_EQ(chart->categoryMode, 0);
  EXPECT_EQ(chart->title, nullptr);
  EXPECT_EQ(chart->yMin, 3.0f);
  EXPECT_EQ(chart->yMax, 7.0f);
  EXPECT_EQ(chart->yDivisions, 8);
  EXPECT_EQ(Text(chart->xAxisTitle), L"Current (mA)");
  EXPECT_EQ(session.mode, static_cast<uint32_t>(RealTime));
}

TEST(GraphSetUp, LoadSweepIntoChartLabelsWithTheStepCurrent) {
  auto chart = NewChart();
  const float values[4] = {5.0f, 4.9f, kSweepNoValue, kSweepNoValue};
  chart->showDots[1] = 1;
  LoadSweepIntoChart(*chart, values, 4, 1, 500);
  EXPECT_EQ(chart->categoryCount[1], 4);
  EXPECT_EQ(chart->categoryValue[1][1], 4.9f);
  EXPECT_EQ(chart->categoryValue[1][3], kSweepNoValue);
  EXPECT_EQ(Text(chart->categoryLabel[3]), L"1500");
  EXPECT_EQ(chart->showDots[1], 0);
  EXPECT_EQ(chart->lineWidth[1], 2);
  // A bad series changes nothing.
  LoadSweepIntoChart(*chart, values, 4, 2, 500);
  LoadSweepIntoChart(*chart, values, 4, -1, 500);
  EXPECT_EQ(chart->categoryCount[0], 0);
}

// --- Status line, clock, real-time series and band -------------------------------

TEST(GraphStatus, TextsOfBothModes) {
  wchar_t text[kGraphStatusChars];
  FormatGraphStatus(text, kGraphStatusChars, Sweep, 4.5f, 5.126f);
  EXPECT_EQ(std::wstring(text), L"Minimum:4.50V   Maximum:5.13V");
  FormatGraphStatus(text, kGraphStatusChars, RealTime, 5.0f, 5.0f);
  EXPECT_EQ(std::wstring(text), L"Minimum:5.00V   Maximum:5.00V   Ripple:0.00V");
  FormatGraphStatus(text, kGraphStatusChars, RealTime, 4.96f, 5.04f);
  EXPECT_EQ(std::wstring(text), L"Minimum:4.96V   Maximum:5.04V   Ripple:0.08V");
  // A short buffer is cut, never overrun.
  wchar_t shortText[8];
  FormatGraphStatus(shortText, 8, RealTime, 5.0f, 5.0f);
  EXPECT_LT(std::wcslen(shortText), 8u);
}

TEST(GraphClock, CounterTicksToMilliseconds) {
  EXPECT_DOUBLE_EQ(CounterToMs(10'000'000 + 15'000, 10'000'000, 10'000'000), 1.5);
  // An hour at 10 MHz stays exact in the 64-bit product.
  EXPECT_DOUBLE_EQ(CounterToMs(36'000'000'000LL, 0, 10'000'000), 3'600'000.0);
  EXPECT_EQ(CounterToMs(5, 0, 0), 0.0);
}

TEST(RealtimeSeries, FullSeriesKeepsTheLastHundredMilliseconds) {
  auto chart = NewChart();
  for (int i = 0; i < kMaxPoints; ++i) ASSERT_EQ(AddRealtimeSample(*chart, static_cast<float>(i), 5.0f), 0);
  ASSERT_EQ(chart->pointCount[0], kMaxPoints);
  const float t = static_cast<float>(kMaxPoints);
  EXPECT_EQ(AddRealtimeSample(*chart, t, 4.5f), 0);
  // Samples at t - 100 .. t - 1 stay (100 of them), then the new one.
  ASSERT_EQ(chart->pointCount[0], 101);
  EXPECT_EQ(chart->points[0][0].x, static_cast<double>(t - 100.0f));
  EXPECT_EQ(chart->points[0][99].x, static_cast<double>(t - 1.0f));
  EXPECT_EQ(chart->points[0][100].x, static_cast<double>(t));
  EXPECT_EQ(chart->points[0][100].y, 4.5);
  // And the series takes samples again.
  EXPECT_EQ(AddRealtimeSample(*chart, t + 1.0f, 5.0f), 0);
  EXPECT_EQ(chart->pointCount[0], 102);
}

TEST(RealtimeSeries, StandingClockStillMakesRoom) {
  auto chart = NewChart();
  for (int i = 0; i < kMaxPoints; ++i) chart->AddPoint(0, 7.0, 5.0);
  EXPECT_EQ(AddRealtimeSample(*chart, 7.0f, 4.0f), 0);
  EXPECT_EQ(chart->pointCount[0], kMaxPoints / 2 + 1);
  EXPECT_EQ(chart->points[0][kMaxPoints / 2].y, 4.0);
}

TEST(RealtimeBand, ClampedToTheAxisOrEmpty) {
  const GraphAxis axis = ChooseGraphAxis(RealTime, 5, 5000);
  // PD 5 V, 1000 mA of a 3000 mA ceiling, no upstream estimate: 4.50..5.25 V.
  VoltageWindowInputs in;
  in.profileKind = 5;
  in.profileVoltageMv = 5000;
  in.loadSetpointMa = 1000;
  in.maxLoadCurrentMa = 3000;
  BandRange band = RealtimeBand(ComputeVoltageWindow(in), axis);
  EXPECT_NEAR(band.low, 4.50f, 1e-5);
  EXPECT_NEAR(band.high, 5.25f, 1e-5);

  band = RealtimeBand(VoltageWindow{2.0f, 9.0f}, axis);
  EXPECT_EQ(band.low, 3.0f);
  EXPECT_EQ(band.high, 7.0f);
  // No window (legacy), or one entirely off the axis: no band at all.
  band = RealtimeBand(std::nullopt, axis);
  EXPECT_FALSE(band.low < band.high);
  band = RealtimeBand(VoltageWindow{8.0f, 9.0f}, axis);
  EXPECT_FALSE(band.low < band.high);
  band = RealtimeBand(VoltageWindow{1.0f, 2.0f}, axis);
  EXPECT_FALSE(band.low < band.high);
}

// --- The test thread against a scripted monitor loop -----------------------------

// Plays the monitor loop: each wait takes a pending load request, lets the
// source settle to it, and answers what the script says for that wait.
class Bench {
 public:
  Bench() {
    ResetSharedState();
    live.portReady = 1;
    live.profileKind = 5;
    live.profileSubKind = 0;
    live.profileVoltageMv = 5000;
    live.vbusVolts = 5.0f;
    config.maxLoadCurrentMa = 3000;
    graph.testStopped = 0;
    graph.testFinished = 0;
    host.context = this;
    host.wait = [](void* c, uint32_t ms) { return static_cast<Bench*>(c)->Wait(ms); };
    host.begin = [](void* c) { static_cast<Bench*>(c)->begun++; };
    host.startClock = [](void* c) { static_cast<Bench*>(c)->clockStartedAt = static_cast<Bench*>(c)->nowMs; };
    host.elapsedMs = [](void* c) {
      auto* b = static_cast<Bench*>(c);
      return b->nowMs - b->clockStartedAt;
    };
    host.log = [](void* c, const wchar_t* text, int32_t category) {
      static_cast<Bench*>(c)->logs.emplace_back(text, category);
    };
    host.showStatus = [](void* c, const wchar_t* text) { static_cast<Bench*>(c)->statuses.emplace_back(text); };
  }
  ~Bench() { ResetSharedState(); }

  // VBUS at a load, and what the wait with this number (from 0) answers.
  std::function<float(uint16_t)> source = [](uint16_t ma) { return 5.0f - ma * 0.0001f; };
  std::function<TestWake(int)> script = [](int) { return TestWake::Timeout; };
  // When set, each wait settles the current to the load only after this many waits.
  int settleWaits = 0;

  TestWake Wait(uint32_t ms) {
    waitsMs.push_back(ms);
    nowMs += ms;
    if (requests.loadRequestPending) {
      requests.loadRequestPending = 0;
      const uint16_t ma = requests.requestedLoadMa;
      sentLoads.push_back(ma);
      live.loadSetpointMa = ma;
      pendingSettle = settleWaits;
    }
    if (pendingSettle > 0) {
      --pendingSettle;
    } else {
      live.measuredCurrentMa = live.loadSetpointMa.load();
    }
    live.vbusVolts = source(live.measuredCurrentMa);
    return script(waitCount++);
  }

  std::vector<std::wstring> LogTexts() const {
    std::vector<std::wstring> out;
    for (const auto& l : logs) out.push_back(l.first);
    return out;
  }

  GraphTestHost host;
  int waitCount = 0;
  int begun = 0;
  int pendingSettle = 0;
  double nowMs = 0.0;
  double clockStartedAt = -1.0;
  std::vector<uint32_t> waitsMs;
  std::vector<uint16_t> sentLoads;
  std::vector<std::pair<std::wstring, int32_t>> logs;
  std::vector<std::wstring> statuses;
};

struct SweepRig {
  explicit SweepRig(uint16_t ceilingMa = 3000, uint16_t stepMa = 500, uint16_t timeStepMs = 700) {
    session.tables = &tables;
    config.maxLoadCurrentMa = ceilingMa;
    SetUpGraphChart(session, *chart, RunInputs(Sweep, 5, 5000, ceilingMa, stepMa, 3000, timeStepMs));
  }
  std::unique_ptr<LineChart> chart = NewChart();
  GraphSession session;
  SweepTables tables;
};

TEST(SweepRun, StepsFromZeroToTheCeilingAndBack) {
  Bench bench;
  SweepRig rig;
  RunGraphTest(rig.session, bench.host);

  // 0, 500, ..., 3000 mA: seven steps between the start and the end line.
  const std::vector<std::wstring> lines = bench.LogTexts();
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines.front(), L"Start Voltage vs. Current Test");
  EXPECT_EQ(lines.back(), L"End Voltage vs. Current Test");
  EXPECT_EQ(lines[1], L"V=5.00V, I=0mA, P=0.00W");
  EXPECT_EQ(lines[7], L"V=4.70V, I=3000mA, P=14.10W");
  for (const auto& l : bench.logs) EXPECT_EQ(l.second, 4) << std::string(l.first.begin(), l.first.end());
  // The loads asked for: 0 before the start and each step; then 0 at the end.
  EXPECT_EQ(bench.sentLoads, (std::vector<uint16_t>{0, 500, 1000, 1500, 2000, 2500, 3000}));
  EXPECT_EQ(requests.requestedLoadMa, 0);
  EXPECT_EQ(requests.loadRequestPending, 1u);
  // Each step waits the time step (the preparation needed no wait).
  EXPECT_EQ(bench.waitsMs, std::vector<uint32_t>(7, 700u));
  EXPECT_EQ(bench.begun, 1);

  for (int i = 0; i < 7; ++i) EXPECT_NEAR(rig.tables.volts[i], 5.0f - i * 0.05f, 1e-5) << i;
  EXPECT_EQ(rig.tables.volts[7], kSweepNoValue);
  EXPECT_NEAR(rig.chart->categoryValue[0][6], 4.70f, 1e-5);
  EXPECT_NEAR(rig.session.minVolts, 4.70f, 1e-5);
  EXPECT_NEAR(rig.session.maxVolts, 5.00f, 1e-5);
  ASSERT_FALSE(bench.statuses.empty());
  EXPECT_EQ(bench.statuses.back(), L"Minimum:4.70V   Maximum:5.00V");
  EXPECT_EQ(graph.testFinished, 1);
  EXPECT_EQ(graph.testStopped, 1);
  // What the CSV export writes from it.
  const std::string csv = BuildSweepCsv(rig.tables.volts, kSweepTableSize, 500, 3000);
  EXPECT_NE(csv.find("4.70,3000,14.10\r\n"), std::string::npos);
}

TEST(SweepRun, StepsOutsideTheWindowAreLoggedAsErrors) {
  Bench bench;
  SweepRig rig(3000, 1000);
  // PD 5 V with a 3000 mA ceiling: the low bound is 4.75 V less 0.25 V per
  // 1000 mA, the high bound 5.25 V.
  bench.source = [](uint16_t ma) {
    switch (ma) {
      case 0: return 5.30f;
      case 1000: return 4.70f;
      case 2000: return 4.20f;
      default: return 4.10f;
    }
  };
  RunGraphTest(rig.session, bench.host);
  ASSERT_EQ(bench.logs.size(), 6u);
  EXPECT_EQ(bench.logs[1], std::make_pair(std::wstring(L"Over Voltage,V=5.300V, I=0mA, P=0.00W"), 3));
  EXPECT_EQ(bench.logs[2], std::make_pair(std::wstring(L"V=4.70V, I=1000mA, P=4.70W"), 4));
  EXPECT_EQ(bench.logs[3], std::make_pair(std::wstring(L"Under Voltage, V=4.200V, I=2000mA, P=8.40W"), 3));
  // 3000 mA: low = 4.75 - 0.75 = 4.00 V, so 4.10 V passes.
  EXPECT_EQ(bench.logs[4], std::make_pair(std::wstring(L"V=4.10V, I=3000mA, P=12.30W"), 4));
}

TEST(SweepRun, WaitsForTheSourceToStopDeliveringCurrent) {
  Bench bench;
  SweepRig rig;
  live.measuredCurrentMa = 800;
  live.loadSetpointMa = 800;
  bench.settleWaits = 3;  // the load takes three looks to fall to 0 mA
  RunGraphTest(rig.session, bench.host);
  ASSERT_GE(bench.waitsMs.size(), 4u);
  EXPECT_EQ(bench.waitsMs[0], 100u);
  EXPECT_EQ(bench.waitsMs[2], 100u);
  EXPECT_EQ(bench.waitsMs[3], 100u);
  EXPECT_EQ(bench.waitsMs[4], 700u);
  EXPECT_EQ(bench.LogTexts().front(), L"Start Voltage vs. Current Test");
}

TEST(SweepRun, StopOrDetachEndTheWaitForTheCurrentToDrop) {
  for (TestWake wake : {TestWake::Stop, TestWake::Detached}) {
    Bench bench;
    SweepRig rig;
    live.measuredCurrentMa = 800;
    bench.settleWaits = 1000000;  // the current never drops
    bench.script = [wake](int n) {
      if (n == 4 && wake == TestWake::Stop) graph.testStopped = 1;  // as the Stop button does
      return n == 4 ? wake : TestWake::Timeout;
    };
    RunGraphTest(rig.session, bench.host);
    EXPECT_EQ(bench.waitCount, 5);
    const std::vector<std::wstring> lines = bench.LogTexts();
    ASSERT_EQ(lines.size(), 2u);  // no step line
    EXPECT_EQ(lines.back(), L"End Voltage vs. Current Test");
    EXPECT_EQ(requests.requestedLoadMa, 0);
    EXPECT_EQ(requests.loadRequestPending, 1u);
    EXPECT_EQ(graph.testFinished, 1);
    // A detached source leaves step 0 as the lost step.
    if (wake == TestWake::Detached) {
      EXPECT_EQ(rig.tables.volts[0], 0.0f);
    }
  }
}

TEST(SweepRun, StopDuringTheFirstWaitKeepsStepZeroOnly) {
  Bench bench;
  SweepRig rig;
  live.vbusVolts = 5.01f;
  bench.script = [](int n) {
    if (n == 0) graph.testStopped = 1;
    return n == 0 ? TestWake::Stop : TestWake::Timeout;
  };
  // The preparation needs no wait (0 mA already), so wait 0 is the first step's.
  RunGraphTest(rig.session, bench.host);
  EXPECT_EQ(bench.LogTexts(),
            (std::vector<std::wstring>{L"Start Voltage vs. Current Test", L"End Voltage vs. Current Test"}));
  EXPECT_EQ(rig.tables.volts[0], 5.01f);  // read before the wait
  EXPECT_EQ(rig.tables.volts[1], kSweepNoValue);
  EXPECT_EQ(BuildSweepCsv(rig.tables.volts, kSweepTableSize, 500, 3000),
            "Voltage (V), Current (mA), Power (W)\r\n5.01,0,0.00\r\n");
  EXPECT_EQ(requests.requestedLoadMa, 0);
}

TEST(SweepRun, DetachMarksTheStepLostAndEndsAfterThatPass) {
  Bench bench;
  SweepRig rig;
  bench.script = [](int n) { return n == 2 ? TestWake::Detached : TestWake::Timeout; };
  bench.source = [](uint16_t ma) { return ma >= 1000 ? 0.0f : 5.0f; };
  RunGraphTest(rig.session, bench.host);
  const std::vector<std::wstring> lines = bench.LogTexts();
  // Steps 0 and 500 mA measured, 1000 mA lost: its pass still logs its line.
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(bench.logs[3], std::make_pair(std::wstring(L"Under Voltage, V=0.000V, I=1000mA, P=0.00W"), 3));
  EXPECT_EQ(lines[4], L"End Voltage vs. Current Test");
  EXPECT_EQ(rig.tables.volts[2], 0.0f);
  for (int i = 2; i <= 6; ++i) EXPECT_EQ(rig.tables.plot[i], 3.0f) << i;  // the axis minimum (PD 5 V: 3 V)
  // No request for the next step; the load goes back to 0 mA.
  EXPECT_EQ(bench.sentLoads.back(), 1000);
  EXPECT_EQ(requests.requestedLoadMa, 0);
  EXPECT_EQ(requests.loadRequestPending, 1u);
  const std::string csv = BuildSweepCsv(rig.tables.volts, kSweepTableSize, 500, 3000);
  EXPECT_EQ(csv, "Voltage (V), Current (mA), Power (W)\r\n5.00,0,0.00\r\n5.00,500,2.50\r\n0.00,1000,0.00\r\n");
}

TEST(SweepRun, RepeatStartsFromClearedTables) {
  Bench bench;
  SweepRig rig;
  RunGraphTest(rig.session, bench.host);
  ASSERT_NE(rig.tables.volts[3], kSweepNoValue);
  // Repeat: set-up again, then a run stopped at its first wait.
  graph.testStopped = 0;
  graph.testFinished = 0;
  SetUpGraphChart(rig.session, *rig.chart, RunInputs(Sweep, 5, 5000, 3000, 500));
  Bench second;
  second.script = [](int) {
    graph.testStopped = 1;
    return TestWake::Stop;
  };
  RunGraphTest(rig.session, second.host);
  EXPECT_EQ(rig.tables.volts[3], kSweepNoValue);
  // Fresh extremes, and no status line until a step is measured.
  EXPECT_EQ(rig.session.maxVolts, 0.0f);
  EXPECT_EQ(rig.session.minVolts, 100.0f);
  EXPECT_TRUE(second.statuses.empty());
}

TEST(RealtimeRun, SamplesEveryMillisecondAndFollowsTheLastHundred) {
  Bench bench;
  auto chart = NewChart();
  GraphSession session;
  SweepTables tables;
  session.tables = &tables;
  SetUpGraphChart(session, *chart, RunInputs(RealTime, 5, 5000, 3000, 25));
  chart->AddPoint(0, 1.0, 1.0);  // left over from an earlier run
  int flip = 0;
  bench.source = [&flip](uint16_t) { return (flip++ % 2) ? 5.04f : 4.96f; };
  bench.script = [](int n) {
    if (n == 250) graph.testStopped = 1;
    return n == 250 ? TestWake::Stop : TestWake::Timeout;
  };
  requests.loadRequestPending = 0;
  const uint16_t loadBefore = requests.requestedLoadMa;
  RunGraphTest(session, bench.host);

  EXPECT_EQ(bench.waitsMs, std::vector<uint32_t>(251, 1u));
  EXPECT_TRUE(bench.logs.empty());
  EXPECT_TRUE(bench.sentLoads.empty());  // the load is left as it was
  EXPECT_EQ(requests.requestedLoadMa, loadBefore);
  ASSERT_EQ(chart->pointCount[0], 250);
  EXPECT_EQ(chart->points[0][0].x, 1.0);
  EXPECT_EQ(chart->points[0][249].x, 250.0);
  EXPECT_EQ(chart->xMin, 150.0);
  EXPECT_EQ(chart->xMax, 250.0);
  EXPECT_EQ(Text(chart->xAxisTitle), L"100 msecs - 1000 samples per second");
  EXPECT_EQ(chart->xTitleAlign, 2);
  ASSERT_FALSE(bench.statuses.empty());
  EXPECT_EQ(bench.statuses.back(), L"Minimum:4.96V   Maximum:5.04V   Ripple:0.08V");
  EXPECT_EQ(graph.testFinished, 1);
}

TEST(RealtimeRun, DetachEndsAfterTheSampleOfThatPass) {
  Bench bench;
  auto chart = NewChart();
  GraphSession session;
  SweepTables tables;
  session.tables = &tables;
  SetUpGraphChart(session, *chart, RunInputs(RealTime, 5, 5000, 3000, 25));
  bench.script = [](int n) { return n == 40 ? TestWake::Detached : TestWake::Timeout; };
  RunGraphTest(session, bench.host);
  EXPECT_EQ(bench.waitCount, 41);
  EXPECT_EQ(chart->pointCount[0], 41);
  // Within the first 100 ms the x range stays as set up.
  EXPECT_EQ(chart->xMin, 0.0);
  EXPECT_EQ(chart->xMax, 3000.0);
  EXPECT_EQ(graph.testStopped, 1);
}

}  // namespace
