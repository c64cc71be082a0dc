// LineChart layout arithmetic, trace walking and overlay mapping, with a fake text measurer: every character is 6
// (axis), 5 (vertical), 12 (title) or 7 (x title) pixels wide; the fonts are 12, 11, 24 and 12 pixels high.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/chart/chart_layout.h"
#include "core/chart/line_chart.h"

namespace {

ChartTextSize FakeMeasure(void*, ChartFont font, const wchar_t*, int length) {
  switch (font) {
    case ChartFont::Axis: return {6 * length, 12};
    case ChartFont::Vertical: return {5 * length, 11};
    case ChartFont::Title: return {12 * length, 24};
    case ChartFont::XTitle: return {7 * length, 12};
  }
  return {0, 0};
}

const ChartTextMeasurer kFake{FakeMeasure, nullptr};
using Ints = std::vector<int>;

std::wstring YLabel(const ChartLayout& layout, int k) {
  wchar_t text[64];
  FormatYLabel(layout, k, text, 64);
  return text;
}

struct Step {
  char kind;  // 'M'ove, 'L'ine, 'D'ot
  int x, y;
};

struct RecordingSink {
  std::vector<Step> steps;
  void MoveTo(int x, int y) { steps.push_back({'M', x, y}); }
  void LineTo(int x, int y) { steps.push_back({'L', x, y}); }
  void Dot(int x, int y) { steps.push_back({'D', x, y}); }
  std::vector<Step> Lines() const {
    std::vector<Step> lines;
    for (const Step& s : steps)
      if (s.kind == 'L') lines.push_back(s);
    return lines;
  }
};

class ChartLayoutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    chart = std::make_unique<LineChart>();
    chart->SetYRange(0.0f, 6.0f);
    chart->SetSeriesCount(1);
  }
  ChartLayout Lay() { return LayOutChart(*chart, 5, 5, kFake); }
  // Category chart of n slots labelled i x step mA, as the sweep fills it.
  void FillSweep(int n, int stepMa, float value) {
    chart->categoryMode = 1;
    for (int i = 0; i < n; ++i) {
      chart->SetCategoryValue(0, i, value);
      chart->SetCategoryLabel(i, std::to_wstring(i * stepMa).c_str());
    }
    chart->SetCategoryCount(0, n);
  }

  std::unique_ptr<LineChart> chart;
};

TEST_F(ChartLayoutTest, PlotRectangleAndTitles) {
  ChartLayout layout = Lay();
  // "6.0" is 18 wide; "1.0" upright reserves 15.
  EXPECT_EQ((Ints{layout.plotTop, layout.plotLeft, layout.reserve, layout.plotBottom, layout.right, layout.rowH, layout.colW}),
            (Ints{5, 5 + 18 + 5, 15, 5 + 350 - 15 - 2, 405, 333 / 12, 377 / 10}));
  EXPECT_EQ((Ints{chart->yAxisLine.from.x, chart->yAxisLine.from.y, chart->yAxisLine.to.y, chart->xAxisLine.from.y,
                  chart->xAxisLine.to.x}),
            (Ints{28, 5, 338, 338, 405}));
  // Titles take room above and below.
  chart->SetTitle(L"Voltage vs. Current");
  chart->SetYAxisTitle(L"Voltage");
  chart->SetXAxisTitle(L"Current (mA)", 0);
  chart->showXLabels = 0;
  layout = Lay();
  EXPECT_EQ((Ints{layout.yAxisTitleY, layout.plotTop, layout.xAxisTitleX, layout.xAxisTitleY, layout.availH, layout.plotBottom}),
            (Ints{5 + 24, 5 + 24 + 12 + 5, 5 + (400 - 84) / 2, 5 + 350 - 12, 350 - 12 - 41 - 8, 46 + 289 - 2}));
  for (const auto& [align, x] : {std::pair{2, 5 + 400 - 84}, {1, 5}, {3, 5 + 400 - 84}}) {  // 3: bit 1 wins
    chart->SetXAxisTitle(L"Current (mA)", align);
    EXPECT_EQ(Lay().xAxisTitleX, x) << align;
  }
}

TEST_F(ChartLayoutTest, YLabelsAndDivisionsFollowTheRange) {
  ChartLayout layout = Lay();
  EXPECT_EQ(chart->yDivisions, 12);
  EXPECT_STREQ(layout.yLabelFormat, L"%0.1f");
  EXPECT_EQ((std::vector<std::wstring>{YLabel(layout, 0), YLabel(layout, 1), YLabel(layout, 12)}),
            (std::vector<std::wstring>{L"0.0", L"0.5", L"6.0"}));
  chart->SetYRange(4.5f, 5.0f);
  layout = Lay();
  EXPECT_STREQ(layout.yLabelFormat, L"%0.2f");
  EXPECT_EQ(YLabel(layout, 12), L"5.00");
  EXPECT_EQ(layout.plotLeft, 5 + 24 + 5);
  // Wide ranges get ten, five, two or one divisions.
  chart->SetYRange(0.0f, 25.0f);
  layout = Lay();
  EXPECT_EQ(chart->yDivisions, 5);
  EXPECT_STREQ(layout.yLabelFormat, L"%d");
  EXPECT_EQ(layout.plotLeft, 5 + 12 + 5);  // "25"
  for (int k = 0; k <= 5; ++k) EXPECT_EQ(YLabel(layout, k), std::to_wstring(5 * k));
  for (const auto& [low, high, divisions] : {std::tuple{0.0f, 30.0f, 10}, {7.0f, 20.0f, 1}}) {  // 13: no 10, 5 or 2
    chart->SetYDivisions(12);
    chart->SetYRange(low, high);
    EXPECT_EQ(Lay().yDivisions, divisions);
    EXPECT_EQ(chart->yDivisions, divisions);
  }
}

TEST_F(ChartLayoutTest, EmptyRangeDrawsWithoutDividingByZero) {
  chart->SetYRange(5.0f, 5.0f);
  chart->SetXRange(3.0, 3.0);
  chart->SetYDivisions(0);
  for (int i = 0; i < 4; ++i) chart->AddPoint(0, 3.0, 5.0);
  const ChartLayout layout = Lay();
  EXPECT_EQ((Ints{layout.yDivisions, MapXyY(layout, 5.0), MapXyX(layout, 3.0)}),
            (Ints{1, layout.plotBottom, layout.plotLeft}));
  EXPECT_LE(BandGeometry(layout, 4.0f, 6.0f).fillHeight, 0);
  RecordingSink sink;
  WalkXyTrace(*chart, layout, 0, sink);
  for (const Step& s : sink.Lines()) EXPECT_EQ(s.y, layout.plotBottom);
}

TEST_F(ChartLayoutTest, BandsAreClippedToThePlotButTheirEdgesAreNot) {
  const ChartLayout layout = Lay();
  const ChartBand inside = BandGeometry(layout, 3.0f, 4.5f);
  EXPECT_EQ(inside.edgeTop, inside.fillTop);
  EXPECT_GT(inside.fillHeight, 0);
  const ChartBand above = BandGeometry(layout, 5.0f, 8.0f);  // reaches above the 6 V top
  EXPECT_LT(above.edgeTop, layout.plotTop);
  EXPECT_EQ(above.fillTop, layout.plotTop);
  EXPECT_EQ(above.fillTop + above.fillHeight, above.edgeBottom);
  const ChartBand below = BandGeometry(layout, -3.0f, 1.0f);
  EXPECT_EQ(below.fillTop + below.fillHeight, layout.plotBottom);
  EXPECT_LE(BandGeometry(layout, -5.0f, -4.0f).fillHeight, 0);  // wholly under the plot
}

TEST_F(ChartLayoutTest, XyTraceMapsSkipsAndStops) {
  chart->SetXRange(0.0, 100.0);
  chart->showDots[0] = 1;
  chart->AddPoint(0, -5.0, 3.0);   // left of xMin: pen moves only
  chart->AddPoint(0, 0.0, 0.0);
  chart->AddPoint(0, 1.0, 6.0);    // 1 % of the width: too close for a dot
  chart->AddPoint(0, 50.0, 3.0);
  chart->AddPoint(0, 60.0, -1.0);  // below yMin
  chart->AddPoint(0, 100.0, 9.0);  // above yMax: not clipped
  chart->AddPoint(0, 150.0, 3.0);  // right of the plot: no line
  const ChartLayout layout = Lay();
  RecordingSink sink;
  WalkXyTrace(*chart, layout, 0, sink);
  const int midX = layout.plotLeft + static_cast<int>(0.5 * layout.plotW);
  const std::vector<Step> lines = sink.Lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ((Ints{lines[0].x, lines[0].y, lines[1].y, lines[2].x, lines[3].x}),
            (Ints{layout.plotLeft, layout.plotBottom, layout.plotTop, midX, layout.right}));
  EXPECT_LT(lines[3].y, layout.plotTop);
  std::vector<int> dots;
  for (const Step& s : sink.steps)
    if (s.kind == 'D') dots.push_back(s.x);
  EXPECT_EQ(dots, (std::vector<int>{midX, layout.right, MapXyX(layout, 150.0)}));
  // The sample below yMin moves the pen at the previous x.
  bool moved = false;
  for (const Step& s : sink.steps) moved |= (s.kind == 'M' && s.x == midX);
  EXPECT_TRUE(moved);
}

TEST_F(ChartLayoutTest, TraceReadsNoMoreThanTheArraysHold) {
  chart->pointCount[0] = kMaxPoints + 5000;  // as a racing writer might leave it
  chart->categoryCount[0] = -20;
  const ChartLayout layout = Lay();
  RecordingSink sink;
  WalkXyTrace(*chart, layout, 0, sink);
  EXPECT_EQ(sink.Lines().size(), static_cast<size_t>(kMaxPoints));
  chart->categoryMode = 1;
  RecordingSink none;
  WalkCategoryTrace(*chart, Lay(), 0, none);
  EXPECT_TRUE(none.steps.empty());
}

TEST_F(ChartLayoutTest, MissingValuesBreakTheLineAndItReachesTheLatestStep) {
  FillSweep(8, 25, static_cast<float>(kNoValue));
  for (int i : {0, 1, 2, 5, 6, 7}) chart->SetCategoryValue(0, i, 5.0f);
  ChartLayout layout = Lay();
  RecordingSink sink;
  WalkCategoryTrace(*chart, layout, 0, sink);
  std::vector<int> lineSlots;
  for (const Step& s : sink.Lines())
    for (int j = 0; j < 8; ++j)
      if (s.x == CategorySlotX(layout, j)) lineSlots.push_back(j);
  // No segment reaches a slot followed by a missing one (2), and after the gap
  // the line starts afresh at slot 5 instead of rising from -99999 V.
  EXPECT_EQ(lineSlots, (std::vector<int>{1, 6, 7}));
  for (const Step& s : sink.Lines()) EXPECT_EQ(s.y, MapCategoryY(layout, 5.0f));
  // The sweep writes each new sample into the next slot too: steps 0..3 measured, slot 4 holds a copy of step 3, the
  // rest is unmeasured. The line reaches the latest step.
  FillSweep(121, 25, static_cast<float>(kNoValue));
  for (int i = 0; i <= 4; ++i) chart->SetCategoryValue(0, i, i == 4 ? 4.85f : 5.0f - 0.05f * i);
  layout = Lay();
  RecordingSink latest;
  WalkCategoryTrace(*chart, layout, 0, latest);
  const std::vector<Step> lines = latest.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ((Ints{lines.back().x, lines.back().y}), (Ints{CategorySlotX(layout, 3), MapCategoryY(layout, 4.85f)}));
}

TEST_F(ChartLayoutTest, NarrowSlotsAreAveragedIntoAboutOnePointPerPixel) {
  chart->width = 600;
  chart->showYLabels = 0;
  chart->SetXDivisions(63);
  FillSweep(1021, 5, 4.0f);
  for (int i = 0; i < 1021; ++i) chart->SetCategoryValue(0, i, (i % 2) ? 5.0f : 3.0f);
  const ChartLayout layout = Lay();
  ASSERT_LT(layout.categoryWidth, 1.0f);
  EXPECT_EQ(layout.labelStep, 1021 / 63);
  RecordingSink sink;
  WalkCategoryTrace(*chart, layout, 0, sink);
  const std::vector<Step> lines = sink.Lines();
  EXPECT_GT(lines.size(), 150u);
  EXPECT_LE(static_cast<int>(lines.size()), layout.plotW);
  int lastX = layout.plotLeft;
  for (const Step& s : lines) {
    EXPECT_GT(s.x, lastX);
    EXPECT_LE(s.x, layout.right);
    lastX = s.x;
    // Averages of alternating 3 V and 5 V stay between them.
    EXPECT_LE(s.y, MapCategoryY(layout, 3.0f));
    EXPECT_GE(s.y, MapCategoryY(layout, 5.0f));
  }
  EXPECT_EQ(CategorySlotX(layout, 1020), lastX);
}

TEST_F(ChartLayoutTest, OverlaysMapCurrentsOntoSlots) {
  chart->SetXDivisions(60);
  FillSweep(121, 25, 5.0f);
  // Before the first draw there is no stored layout: nothing to fill.
  EXPECT_EQ(ShadeRectGeometry(OverlayFromChart(*chart, 25), 0, 5.25f, 3000, 7.0f).h, 0);
  const ChartLayout layout = Lay();
  const OverlayMapping m = OverlayFromChart(*chart, 25);
  const OverlayRect all = ShadeRectGeometry(m, 0, 0.0f, 3000, 6.0f);
  EXPECT_EQ((Ints{all.x, all.x + all.w, all.y, all.y + all.h}),
            (Ints{CategorySlotX(layout, 0), CategorySlotX(layout, 120), MapCategoryY(layout, 6.0f), layout.plotBottom}));
  EXPECT_EQ((Ints{OverlayX(m, 510), OverlayX(m, 499), OverlayY(m, 4.75f)}),
            (Ints{CategorySlotX(layout, 20), CategorySlotX(layout, 19), MapCategoryY(layout, 4.75f)}));
  const int currents[8] = {0, 3000, 3000, 500, 500, 0, 100, 200};
  const float volts[8] = {5.25f, 5.25f, 2.0f, 2.0f, 4.333f, 4.75f, 1.0f, 1.0f};
  ChartPixel vertices[6];
  ASSERT_EQ(ShadePolygonGeometry(m, currents, volts, 8, vertices), 6);
  EXPECT_EQ((Ints{vertices[5].x, vertices[5].y, vertices[3].x}),
            (Ints{CategorySlotX(layout, 0), MapCategoryY(layout, 4.75f), CategorySlotX(layout, 20)}));
  EXPECT_EQ(ShadePolygonGeometry(m, currents, volts, 0, vertices), 0);
  // A zero step is taken as 1 mA rather than dividing by it.
  EXPECT_EQ(OverlayX(OverlayFromChart(*chart, 0), 3), CategorySlotX(layout, 3));
}

// The reducer must leave exactly the pixels of the full trace.
struct PixelOut {
  std::set<std::pair<int, int>> pixels;
  int x = 0, y = 0, calls = 0;
  void Segment(int x1, int y1) {
    const int n = std::max(std::abs(x1 - x), std::abs(y1 - y));
    for (int t = 0; t <= n; ++t) {
      const int px = n ? x + static_cast<int>(std::lround(double(x1 - x) * t / n)) : x;
      const int py = n ? y + static_cast<int>(std::lround(double(y1 - y) * t / n)) : y;
      pixels.insert({px, py});
    }
    x = x1;
    y = y1;
  }
  void Move(int nx, int ny) { x = nx; y = ny; ++calls; }
  void Lines(const ChartPixel* p, int n) {
    ++calls;
    for (int i = 0; i < n; ++i) Segment(p[i].x, p[i].y);
  }
  void Dot(int dx, int dy) { pixels.insert({dx + 10000, dy}); ++calls; }
  // As a plain sink, for the unreduced reference.
  void MoveTo(int nx, int ny) { Move(nx, ny); }
  void LineTo(int nx, int ny) { Segment(nx, ny); ++calls; }
};

TEST(ChartTraceReducer, KeepsEveryPixelWithFewerCalls) {
  auto chart = std::make_unique<LineChart>();
  chart->SetSeriesCount(1);
  chart->SetYRange(4.0f, 6.0f);
  const int samples = 40000;
  chart->SetXRange(0.0, samples - 1.0);
  chart->showDots[0] = 1;
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0.0, 0.05);
  double v = 5.0;
  for (int i = 0; i < samples; ++i) {
    v += noise(random);
    if (v < 3.9 || v > 6.1) v = 5.0;
    chart->AddPoint(0, (i % 5000 == 17) ? -1.0 : i, v);  // a few samples left of xMin
  }
  const ChartLayout layout = LayOutChart(*chart, 5, 5, kFake);
  PixelOut full;
  WalkXyTrace(*chart, layout, 0, full);
  for (int batch : {ChartTraceReducer<PixelOut>::kMaxBatch, 3}) {
    PixelOut reduced;
    ChartTraceReducer<PixelOut> reducer(reduced, batch);
    WalkXyTrace(*chart, layout, 0, reducer);
    reducer.Finish();
    EXPECT_EQ(reduced.pixels, full.pixels) << batch;
    if (batch > 3) {
      EXPECT_LT(reduced.calls * 20, full.calls);
    }
  }
}

}  // namespace
