// Voltage window, sweep arithmetic, verdicts, regions and CSV rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/graphs/graph_run.h"
#include "core/graphs/sweep_csv.h"
#include "core/graphs/sweep_plan.h"
#include "core/graphs/voltage_window.h"
#include "core/base/tester_state.h"

namespace {

VoltageWindowInputs Inputs(uint32_t kind, uint8_t sub, uint16_t mv, uint16_t loadMa, uint16_t measuredMa = 0,
                           bool estimate = false, uint16_t maxLoadMa = 3000) {
  return {.profileKind = kind, .profileSubKind = sub, .profileVoltageMv = mv, .loadSetpointMa = loadMa,
          .measuredCurrentMa = measuredMa, .estimateUpstream = estimate, .maxLoadCurrentMa = maxLoadMa};
}

// The window each kind of source must stay in, from its profile, the load,
// the measured current, the upstream estimate and the ceiling.
TEST(VoltageWindow, EachKindOfSourceAndTheLiveValues) {
  constexpr float kNone = -1.0f;  // no window
  const struct {
    VoltageWindowInputs in;
    float low, high;
  } cases[] = {
      {Inputs(2, 0, 5000, 500), 4.333f, 5.25f},                // SDP: the load slope
      {Inputs(2, 0, 5000, 500, 0, true), 4.75f, 5.25f},          // ... unless upstream is estimated
      {Inputs(2, 1, 5000, 500), 4.333f, 5.25f},                // CDP
      {Inputs(1, 0, 5000, 500), 4.333f, 5.25f},                // PTY
      {Inputs(2, 2, 5000, 1500, 600), 2.0f, 5.25f},              // DCP past 500 mA measured
      {Inputs(2, 2, 5000, 1500, 600, true), 2.0f, 5.25f},
      {Inputs(2, 2, 5000, 500, 499), 4.333f, 5.25f},
      {Inputs(2, 2, 5000, 500, 500), 2.0f, 5.25f},
      {Inputs(5, 0, 9000, 3000, 3000, false, 3000), 7.80f, 9.45f},  // PD: scale follows the ceiling
      {Inputs(5, 0, 9000, 3000, 3000, false, 3001), 8.10f, 9.45f},
      {Inputs(5, 0, 9000, 3000, 3000, true, 3000), 8.55f, 9.45f},
      {Inputs(4, 1, 5000, 0), 4.75f, 5.5f},                      // Type-C
      {Inputs(3, 1, 9000, 1000), 8.55f - 0.834f, 9.45f},         // QC
      {Inputs(0, 0, 5000, 100), kNone, kNone},                   // legacy
      {Inputs(2, 3, 5000, 100), kNone, kNone},
      {Inputs(6, 0, 5000, 100), kNone, kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.in.profileKind << "/" << int(c.in.profileSubKind) << " " << c.in.loadSetpointMa
                                    << " mA, measured " << c.in.measuredCurrentMa);
    const auto w = ComputeVoltageWindow(c.in);
    ASSERT_EQ(w.has_value(), c.low != kNone);
    if (!w) continue;
    EXPECT_NEAR(w->low, c.low, 1e-4);
    EXPECT_NEAR(w->high, c.high, 1e-5);
  }
  TesterState S;
  S.live.profileKind = 0;
  S.live.profileVoltageMv = 5000;
  float low = -1.0f, high = -2.0f;
  EXPECT_FALSE(GetVoltageWindow(S, low, high));
  EXPECT_EQ((std::vector<float>{low, high}), (std::vector<float>{-1.0f, -2.0f}));
  // The same call reads the live profile, load and settings.
  S.live.profileKind = 5;
  S.live.profileVoltageMv = 9000;
  S.live.loadSetpointMa = 3000;
  S.config.maxLoadCurrentMa = 3001;
  EXPECT_TRUE(GetVoltageWindow(S, low, high));
  EXPECT_NEAR(low, 8.10, 1e-5);
  S.config.estimateUpstream = 1;
  EXPECT_TRUE(GetVoltageWindow(S, low, high));
  EXPECT_NEAR(low, 8.55, 1e-5);
}

// 3000 mA in 25 mA steps (121 steps, 60 divisions) and the largest sweep are
// GraphSetUp's; here the rounding and the edges.
TEST(SweepPlan, StepCountsDivisionsAndTheLargestSweep) {
  using Ints = std::vector<int>;
  EXPECT_EQ((Ints{SweepStepCount(3010, 25), SweepStepCount(0, 25), SweepStepCount(3000, 0)}), (Ints{121, 1, 1}));
  EXPECT_EQ((Ints{SweepXDivisions(3000, 5), SweepXDivisions(3000, 0)}), (Ints{37, 0}));
  EXPECT_EQ((Ints{SweepStepIndex(1000, 25), SweepStepIndex(1010, 25)}), (Ints{40, 40}));
  // A tester's stored ceiling above the program's 5100 mA is cut to what fits.
  EXPECT_EQ(SweepStepCount(65535, 5), kSweepMaxSteps);
  EXPECT_EQ(BoundSweepEndMa(65535, 5) / 5 + 1, kSweepMaxSteps);
  EXPECT_EQ(BoundSweepEndMa(5100, 5), 5100);
}

struct GuardedTables {
  SweepTables tables;
  float guard[16];
};

TEST(SweepPlan, TableWritersStayInBoundsAndRunFlatToTheStepUnderWay) {
  static GuardedTables g;
  for (float& f : g.guard) f = 123.0f;
  ClearSweepEntries(g.tables, -5, kSweepTableSize + 50);
  EXPECT_EQ(g.tables.volts[0], kSweepNoValue);
  EXPECT_EQ(g.tables.plot[kSweepTableSize - 1], kSweepNoValue);
  RecordSweepStep(g.tables, kSweepTableSize - 1, kSweepTableSize + 10, 5.0f, 0);
  RecordSweepStep(g.tables, kSweepTableSize + 3, kSweepTableSize + 10, 5.0f, 0);
  RecordSweepStep(g.tables, -1, kSweepTableSize + 10, 5.0f, 0);
  for (float f : g.guard) EXPECT_EQ(f, 123.0f);
  EXPECT_EQ(g.tables.plot[kSweepTableSize - 1], 5.0f);
  static SweepTables t;
  ClearSweepEntries(t, 0, 121);
  RecordSweepStep(t, 10, 121, 8.2f, 7);
  RecordSweepStep(t, 12, 121, 6.5f, 7);  // below the axis: plotted at its minimum
  EXPECT_EQ((std::vector<float>{t.volts[10], t.plot[10], t.plot[11], t.volts[12], t.plot[12]}),
            (std::vector<float>{8.2f, 8.2f, 8.2f, 6.5f, 7.0f}));
  RecordSweepStep(t, 118, 121, 8.1f, 7);  // i = n - 3: the last slot still follows
  EXPECT_EQ(t.plot[119], 8.1f);
  RecordSweepStep(t, 119, 121, 8.0f, 7);  // i = n - 2: nothing past it
  EXPECT_EQ(t.plot[120], kSweepNoValue);
}

TEST(SweepVerdicts, LinesAndCategories) {
  // 5 V PD, 1000 mA, ceiling 3000: window 4.50..5.25 V.
  const auto window = ComputeVoltageWindow(Inputs(5, 0, 5000, 1000, 1000, false, 3000));
  const struct {
    float volts;
    uint16_t ma;
    bool windowed;
    SweepVerdict verdict;
    int category;
    const wchar_t* text;
  } cases[] = {
      {4.70f, 1000, true, SweepVerdict::InWindow, 4, L"V=4.70V, I=1000mA, P=4.70W"},
      {4.40f, 1000, true, SweepVerdict::Under, 3, L"Under Voltage, V=4.400V, I=1000mA, P=4.40W"},
      {5.30f, 1000, true, SweepVerdict::Over, 3, L"Over Voltage,V=5.300V, I=1000mA, P=5.30W"},
      {0.5f, 2000, false, SweepVerdict::NoWindow, 4, L"V=0.50V, I=2000mA, P=1.00W"},
  };
  for (const auto& c : cases) {
    const SweepStepLine line = JudgeSweepStep(c.volts, c.ma, c.windowed ? window : std::nullopt);
    EXPECT_EQ(line.verdict, c.verdict) << c.volts;
    EXPECT_EQ(line.category, c.category) << c.volts;
    EXPECT_STREQ(line.text, c.text);
  }
}

SweepRegionInputs Region(uint32_t kind, uint8_t sub, uint16_t endMa, uint16_t ratedMa, uint16_t mv, int ymin,
                         int ymax, bool estimate = false) {
  return {.profileKind = kind, .profileSubKind = sub, .estimateUpstream = estimate, .sweepEndMa = endMa,
          .sweepRatedMa = ratedMa, .sweepProfileMv = mv, .axisMinVolts = ymin, .axisMaxVolts = ymax};
}

// A sweep past the rating (--limit-mode allow or force) runs into the grey band, where the source may sag or shut down.
// A step at the rating is still held to the window; only above it is a sag permitted. The window's log and the command
// line's verdict both come from this one judgement.
TEST(SweepVerdicts, ThePermittedRegionBeginsAboveTheRating) {
  struct Case {
    const char* what;
    uint32_t kind;
    uint8_t sub;
    uint16_t endMa, ratedMa, ma;
    float volts;
    bool permitted;
  } cases[] = {
      // PD 5 V rated 3000 mA (axis 3..7 V): allow sweeps to 3600 mA, force --limit 4000 to 4000 mA.
      {"allow: at the rating, sagging", 5, 0, 3600, 3000, 3000, 4.0f, false},
      {"force: at the rating, sagging", 5, 0, 4000, 3000, 3000, 4.0f, false},
      {"allow: one step above the rating, sagging", 5, 0, 3600, 3000, 3025, 4.0f, true},
      {"force: the last step, shut down below the axis", 5, 0, 4000, 3000, 4000, 0.2f, true},
      {"force: above the rating but over the window", 5, 0, 4000, 3000, 3500, 5.4f, false},
      {"allow: at the rating, in the window", 5, 0, 3600, 3000, 3000, 4.9f, true},
      {"enforce: the rating is the last step, sagging", 5, 0, 3000, 3000, 3000, 3.9f, false},
      // A 5 V port rated 2400 mA swept to 3000 mA.
      {"5 V port: at the rating, sagging", 2, 0, 3000, 2400, 2400, 2.0f, false},
      {"5 V port: above the rating, sagging", 2, 0, 3000, 2400, 2425, 2.0f, true},
      // DCP: below 2.0 V it may shut down from above 500 mA on.
      {"DCP: at 500 mA below 2.0 V", 2, 2, 1800, 1500, 500, 1.5f, false},
      {"DCP: above 500 mA below 2.0 V", 2, 2, 1800, 1500, 525, 1.5f, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const GraphAxis axis = ChooseGraphAxis(Sweep, c.kind, 5000);
    const SweepRegions regions = BuildSweepRegions(Region(c.kind, c.sub, c.endMa, c.ratedMa, 5000, axis.minVolts, axis.maxVolts));
    const auto window = ComputeVoltageWindow(Inputs(c.kind, c.sub, 5000, c.ma, c.ma, false, c.endMa));
    const SweepStepLine plain = JudgeSweepStep(c.volts, c.ma, window);
    const SweepStepLine line = JudgeSweepStep(c.volts, c.ma, window, regions);
    EXPECT_EQ(line.permitted, c.permitted);
    EXPECT_EQ(line.verdict, plain.verdict);
    const bool outside = plain.verdict == SweepVerdict::Under || plain.verdict == SweepVerdict::Over;
    // A permitted step outside the window is no error, and its line says why.
    EXPECT_EQ(line.category, outside && !c.permitted ? 3 : 4);
    EXPECT_EQ(std::wstring(line.text), std::wstring(plain.text) + (outside && c.permitted ? kShutDownRegionNote : L""));
  }
}

std::vector<ShadeShape> Greys(const SweepRegions& r) {
  std::vector<ShadeShape> out;
  for (int i = 0; i < r.count; ++i)
    if (r.shapes[i].colour.r == 100 && r.shapes[i].colour.g == 100 && r.shapes[i].colour.b == 100)
      out.push_back(r.shapes[i]);
  return out;
}

void ExpectWithinSweep(const SweepRegions& r, int endMa) {
  for (int i = 0; i < r.count; ++i) {
    ASSERT_GE(r.shapes[i].count, 2);
    ASSERT_LE(r.shapes[i].count, kShadeMaxPoints);
    for (int k = 0; k < r.shapes[i].count; ++k) {
      EXPECT_GE(r.shapes[i].currentsMa[k], 0);
      EXPECT_LE(r.shapes[i].currentsMa[k], endMa) << "shape " << i << " point " << k;
    }
  }
}

TEST(SweepRegions, DcpSweptBeyondItsRatingHasTwoGreyBands) {
  SweepRegions r = BuildSweepRegions(Region(2, 2, 2000, 1500, 5000, 0, 6));
  ASSERT_EQ(r.count, 5);
  EXPECT_EQ(r.shapes[1].kind, ShadeKind::Polygon);
  EXPECT_EQ(r.shapes[1].count, 6);
  EXPECT_NEAR(r.shapes[1].volts[4], 4.333, 1e-6);
  auto greys = Greys(r);
  ASSERT_EQ(greys.size(), 2u);
  EXPECT_EQ((std::vector<float>{float(greys[0].currentsMa[0]), float(greys[0].currentsMa[1]), greys[0].volts[0],
                                greys[0].volts[1], float(greys[1].currentsMa[0]), float(greys[1].currentsMa[1]),
                                greys[1].volts[1]}),
            (std::vector<float>{500, 1500, 0.0f, 2.0f, 1500, 2000, 5.25f}));
  // Within the rating a single band below 2.0 V; with the upstream estimate q = 4.75.
  SweepRegions within = BuildSweepRegions(Region(2, 2, 1500, 1500, 5000, 0, 6, true));
  ASSERT_EQ(Greys(within).size(), 1u);
  EXPECT_EQ(within.shapes[1].volts[4], 4.75f);
}

TEST(SweepRegions, FiveVoltPortsAndRegulatedSuppliesOnlyAndNothingPastTheSweep) {
  SweepRegions r = BuildSweepRegions(Region(2, 0, 3000, 2400, 5000, 0, 6));
  ASSERT_EQ(r.count, 4);
  EXPECT_EQ(r.shapes[0].kind, ShadeKind::Rect);
  EXPECT_EQ((std::vector<float>{r.shapes[0].volts[0], r.shapes[0].volts[1]}), (std::vector<float>{5.25f, 6.0f}));
  EXPECT_NEAR(r.shapes[1].volts[2], 4.75 - 3.0 * 0.834, 1e-5);  // green edge at Ie
  EXPECT_EQ(r.shapes[2].currentsMa[1], 2400);                   // red up to the rating
  auto greys = Greys(r);
  ASSERT_EQ(greys.size(), 1u);
  EXPECT_EQ(greys[0].currentsMa[0], 2400);
  EXPECT_TRUE(Greys(BuildSweepRegions(Region(1, 0, 2400, 2400, 5000, 0, 6))).empty());
  // PD 9 V within its rating: no inverted grey band, green with 4 points.
  SweepRegions pd = BuildSweepRegions(Region(5, 0, 3000, 3000, 9000, 7, 11));
  EXPECT_TRUE(Greys(pd).empty());
  ASSERT_EQ(pd.count, 3);
  EXPECT_EQ(pd.shapes[1].count, 4);
  EXPECT_NEAR(pd.shapes[1].volts[2], 7.80, 1e-5);
  const std::vector<ShadeShape> over = Greys(BuildSweepRegions(Region(5, 0, 3600, 3000, 9000, 7, 11)));
  ASSERT_EQ(over.size(), 1u);
  EXPECT_EQ((std::vector<float>{float(over[0].currentsMa[0]), over[0].volts[0]}), (std::vector<float>{3000, 7.0f}));
  // QC 5 V swept to 3000 mA: the lower bound meets the axis (3 V) near 2098 mA,
  // so the green shape takes 5 points and stays within the sweep.
  SweepRegions qc = BuildSweepRegions(Region(3, 0, 3000, 3000, 5000, 3, 7));
  ASSERT_GE(qc.count, 3);
  EXPECT_EQ(qc.shapes[1].count, 5);
  EXPECT_NEAR(qc.shapes[1].currentsMa[3], 2098, 1);
  ExpectWithinSweep(qc, 3000);
  // Its under-voltage triangle ends where the bound meets the axis.
  EXPECT_EQ(qc.shapes[2].count, 3);
  ExpectWithinSweep(BuildSweepRegions(Region(3, 0, 2500, 2000, 12000, 10, 14)), 2500);
  // None for kinds without a window, and nothing past a short sweep.
  EXPECT_EQ(BuildSweepRegions(Region(0, 0, 3000, 3000, 5000, 0, 6)).count, 0);
  EXPECT_EQ(BuildSweepRegions(Region(2, 3, 3000, 3000, 5000, 0, 6)).count, 0);
  SweepRegions shortDcp = BuildSweepRegions(Region(2, 2, 0, 1500, 5000, 0, 6));
  EXPECT_GT(shortDcp.count, 0);
  ExpectWithinSweep(shortDcp, 0);
}

bool Inside(const ShadeShape& s, double ma, float v) {
  if (s.kind == ShadeKind::Rect)
    return ma >= s.currentsMa[0] && ma <= s.currentsMa[1] && v >= s.volts[0] && v <= s.volts[1];
  bool in = false;  // crossings of a ray towards higher currents
  for (int i = 0, j = s.count - 1; i < s.count; j = i++) {
    if ((s.volts[i] > v) == (s.volts[j] > v)) continue;
    const double at = s.currentsMa[j] + (s.currentsMa[i] - s.currentsMa[j]) * double(v - s.volts[j]) / (s.volts[i] - s.volts[j]);
    if (ma < at) in = !in;
  }
  return in;
}

// What the sweep graph shows is what the verdict says: at every step within
// the rating, a voltage in the green shape is in the window, and any other is
// red unless it is the grey of a permitted shut-down (a hair's breadth from an
// edge excepted, where drawing rounds).
TEST(SweepRegions, TheGreenShapeIsTheWindowAtEveryStepWithinTheRating) {
  const struct {
    uint32_t kind;
    uint8_t sub;
    uint16_t mv, endMa, ratedMa;
    bool estimate;
  } profiles[] = {
      {1, 0, 5000, 2400, 2400, false}, {2, 0, 5000, 3000, 2400, false}, {2, 1, 5000, 1500, 1500, true},
      {2, 2, 5000, 2000, 1500, false}, {2, 2, 5000, 400, 1500, false},  {2, 2, 5000, 1500, 1500, true},
      {3, 0, 5000, 3000, 3000, false}, {3, 1, 12000, 2500, 2000, false}, {3, 1, 9000, 2000, 2000, true},
      {5, 0, 9000, 3000, 3000, false}, {5, 0, 20000, 5000, 5000, false}, {5, 3, 5000, 3000, 3000, true},
      {4, 1, 5000, 3000, 3000, false},
  };
  for (const auto& p : profiles) {
    SCOPED_TRACE(testing::Message() << p.kind << "/" << int(p.sub) << " " << p.mv << " mV to " << p.endMa << " mA");
    const GraphAxis axis = ChooseGraphAxis(Sweep, p.kind, p.mv);
    const SweepRegions regions =
        BuildSweepRegions(Region(p.kind, p.sub, p.endMa, p.ratedMa, p.mv, axis.minVolts, axis.maxVolts, p.estimate));
    int wrong = 0;
    const int last = std::min(p.endMa, p.ratedMa);
    for (int ma = 0; ma <= last; ma += 25) {
      const auto w = ComputeVoltageWindow(Inputs(p.kind, p.sub, p.mv, ma, ma, p.estimate, p.endMa));
      ASSERT_TRUE(w);
      for (float v = axis.minVolts + 0.005f; v < axis.maxVolts; v += 0.01f) {
        if (std::abs(v - w->low) < 0.02f || std::abs(v - w->high) < 0.02f) continue;
        bool green = false, red = false, grey = false;
        for (int i = 0; i < regions.count; ++i) {
          const ShadeShape& shape = regions.shapes[i];
          const bool in = Inside(shape, ma < last ? ma + 0.5 : ma - 0.5, v);  // off the shape's own edges
          green |= in && shape.colour.g == 255 && shape.colour.r == 0;
          red |= in && shape.colour.r == 255 && shape.colour.g == 0;
          grey |= in && shape.colour.r == 100;
        }
        const bool within = v > w->low && v < w->high;
        if ((green != within || (!grey && red == within)) && ++wrong <= 3)
          ADD_FAILURE() << ma << " mA, " << v << " V: drawn " << (green ? "green" : red ? "red" : "neither")
                        << ", window " << w->low << " to " << w->high;
      }
    }
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      out.push_back(text.substr(start) + "<no CRLF>");
      break;
    }
    out.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return out;
}

TEST(SweepCsv, RowsStopAtTheFirstUnmeasuredStepOrTheLoweredCeiling) {
  static SweepTables t;
  ClearSweepEntries(t, 0, kSweepTableSize - 1);
  for (int i = 0; i < 121; ++i) t.volts[i] = 5.1f;
  const std::string csv = BuildSweepCsv(t.volts, kSweepTableSize, 25, 3000);
  auto lines = Lines(csv);
  ASSERT_EQ(lines.size(), 122u);
  EXPECT_EQ((std::vector<std::string>{lines[0], lines[1], lines[2], lines[121]}),
            (std::vector<std::string>{"Voltage (V), Current (mA), Power (W)", "5.10,0,0.00", "5.10,25,0.13",
                                      "5.10,3000,15.30"}));
  EXPECT_EQ(csv.find('\n'), csv.find("\r\n") + 1);  // every line ends CR LF
  ClearSweepEntries(t, 0, kSweepTableSize - 1);
  t.volts[0] = 9.02f;
  t.volts[1] = 8.964f;
  t.volts[2] = 0.0f;  // detached during this step
  t.volts[4] = 9.0f;  // never reached: the gap ends the file
  lines = Lines(BuildSweepCsv(t.volts, kSweepTableSize, 25, 3000));
  EXPECT_EQ(lines, (std::vector<std::string>{"Voltage (V), Current (mA), Power (W)", "9.02,0,0.00", "8.96,25,0.22",
                                             "0.00,50,0.00"}));
  for (int i = 0; i < 121; ++i) t.volts[i] = 5.0f;
  EXPECT_EQ(Lines(BuildSweepCsv(t.volts, kSweepTableSize, 25, 60)).size(), 4u);  // steps 0, 25, 50
  EXPECT_EQ(Lines(BuildSweepCsv(t.volts, 2, 25, 3000)).size(), 3u);              // never past the table
  EXPECT_EQ(Lines(BuildSweepCsv(t.volts, kSweepTableSize, 0, 3000)).size(), 1u);
}

}  // namespace
