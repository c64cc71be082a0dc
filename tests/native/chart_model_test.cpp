// LineChart data model: result codes, clamps, counts and texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "core/chart/line_chart.h"

namespace {

using Ints = std::vector<int>;

TEST(ChartModel, PointsAndCountsCheckSeriesIndexAndRoom) {
  auto chart = std::make_unique<LineChart>();
  EXPECT_EQ((Ints{chart->AddPoint(2, 1.0, 1.0), chart->AddPoint(-1, 1.0, 1.0)}), (Ints{2, 2}));
  for (int i = 0; i < kMaxPoints; ++i) ASSERT_EQ(chart->AddPoint(0, i, i == 9 ? 4.5 : 5.0), 0);
  EXPECT_EQ(chart->AddPoint(0, 1.0, 1.0), 1);
  EXPECT_EQ((Ints{chart->pointCount[0], chart->pointCount[1]}), (Ints{kMaxPoints, 0}));
  EXPECT_EQ(chart->points[0][kMaxPoints - 1].x, kMaxPoints - 1.0);
  // Samples never move the axes.
  EXPECT_EQ((std::vector<double>{chart->xMin, chart->xMax, chart->yMin, chart->yMax}), (std::vector<double>{0, 1, 0, 1}));
  // Samples beyond a lowered count stay stored.
  chart->SetPointCount(0, 3);
  chart->SetPointCount(0, 10);
  EXPECT_EQ(chart->points[0][9].y, 4.5);
  // SetPoint checks the index before the series, and leaves the count alone.
  EXPECT_EQ((Ints{chart->SetPoint(5, kMaxPoints, 1.0, 1.0), chart->SetPoint(0, -1, 1.0, 1.0),
                  chart->SetPoint(2, 10, 1.0, 1.0), chart->SetPoint(1, kMaxPoints - 1, 3.0, 4.0)}),
            (Ints{1, 1, 2, 0}));
  EXPECT_EQ(chart->points[1][kMaxPoints - 1].y, 4.0);
  EXPECT_EQ(chart->pointCount[1], 0);
  // Counts are clamped, and a negative count holds nothing.
  EXPECT_EQ((Ints{chart->SetPointCount(2, 10), chart->SetPointCount(0, 200000)}), (Ints{2, 1}));
  EXPECT_EQ(chart->pointCount[0], kMaxPoints);
  EXPECT_EQ(chart->SetPointCount(0, -7), 0);
  EXPECT_EQ(chart->pointCount[0], -7);
  chart->points[0][0] = ChartPoint{9.0, 9.0};
  EXPECT_EQ(chart->AddPoint(0, 1.5, 2.5), 0);  // goes to index 0
  EXPECT_EQ(chart->pointCount[0], 1);
  EXPECT_EQ(chart->points[0][0].x, 1.5);
  EXPECT_EQ((Ints{chart->SetCategoryCount(3, 1), chart->SetCategoryCount(1, kMaxPoints + 1)}), (Ints{2, 1}));
  EXPECT_EQ(chart->categoryCount[1], kMaxPoints);
  EXPECT_EQ(chart->SetCategoryCount(1, kMaxPoints), 0);
}

TEST(ChartModel, CategoriesRangesAndBandsRefuseBadArguments) {
  auto chart = std::make_unique<LineChart>();
  EXPECT_EQ((Ints{chart->SetCategoryValue(7, kMaxPoints, 1.0f), chart->SetCategoryValue(2, 0, 1.0f),
                  chart->SetCategoryValue(1, 5, -99999.0f)}),
            (Ints{1, 2, 0}));
  EXPECT_EQ(chart->categoryValue[1][5], static_cast<float>(kNoValue));
  EXPECT_EQ((Ints{chart->SetCategoryLabel(kMaxPoints, L"x"), chart->SetCategoryLabel(-1, L"x"),
                  chart->SetCategoryLabel(3, L"75")}),
            (Ints{1, 1, 0}));
  EXPECT_STREQ(chart->categoryLabel[3], L"75");
  EXPECT_EQ((Ints{chart->SetYRange(2.0f, 6.0f), chart->SetYRange(3.0f, 2.0f), chart->SetYRange(NAN, 2.0f)}),
            (Ints{0, 1, 1}));
  EXPECT_EQ((std::vector<float>{chart->yMin, chart->yMax}), (std::vector<float>{2.0f, 6.0f}));
  EXPECT_EQ(chart->SetYRange(2.0f, 2.0f), 0);
  EXPECT_EQ(chart->SetXRange(10.0, 5.0), 1);
  EXPECT_EQ(chart->xMax, 1.0);
  EXPECT_EQ(chart->SetXRange(-100.0, 0.0), 0);
  EXPECT_EQ(chart->xMin, -100.0);
  // A band checks its series, then its order.
  EXPECT_EQ((Ints{chart->SetSeriesBand(2, 1.0f, 0.0f), chart->SetSeriesBand(0, 5.0f, 4.0f),
                  chart->SetSeriesBand(1, 4.5f, 5.25f)}),
            (Ints{1, 2, 0}));
  EXPECT_EQ((std::vector<float>{chart->bandLow[1], chart->bandHigh[1], chart->bandHigh[0]}),
            (std::vector<float>{4.5f, 5.25f, 0.0f}));
}

TEST(ChartModel, MaxCategoryCountOnlyGrowsOverShownSeries) {
  auto chart = std::make_unique<LineChart>();
  chart->SetCategoryCount(0, 121);
  EXPECT_EQ(chart->maxCategoryCount, 0);  // series 0 not shown yet
  EXPECT_EQ(chart->SetSeriesCount(1), 0);
  EXPECT_EQ(chart->maxCategoryCount, 121);
  chart->SetCategoryCount(0, 60);
  chart->SetCategoryCount(1, 500);
  EXPECT_EQ(chart->maxCategoryCount, 121);  // never shrinks; series 1 hidden
  chart->SetSeriesCount(7);
  EXPECT_EQ(chart->seriesCount, kMaxSeries);
  EXPECT_EQ(chart->maxCategoryCount, 500);
  chart->SetCategoryCount(1, -3);
  EXPECT_EQ(chart->maxCategoryCount, 500);
}

TEST(ChartModel, TextsAreCutToTheirBuffers) {
  auto chart = std::make_unique<LineChart>();
  const std::wstring longText(300, L'a');
  chart->SetTitle(longText.c_str());
  ASSERT_NE(chart->title, nullptr);
  EXPECT_EQ(std::wcslen(chart->title), 127u);
  wchar_t* buffer = chart->title;
  chart->SetTitle(L"Voltage vs. Current");
  EXPECT_EQ(chart->title, buffer);  // reused in place
  EXPECT_STREQ(chart->title, L"Voltage vs. Current");
  chart->SetXAxisTitle(longText.c_str(), 2);
  chart->SetYAxisTitle(std::wstring(127, L'v').c_str());
  chart->SetCategoryLabel(kMaxPoints - 1, longText.c_str());
  EXPECT_EQ((std::vector<size_t>{std::wcslen(chart->xAxisTitle), std::wcslen(chart->yAxisTitle),
                                 std::wcslen(chart->categoryLabel[kMaxPoints - 1])}),
            (std::vector<size_t>(3, 127u)));
  EXPECT_EQ(chart->xTitleAlign, 2);
  chart->SetCategoryLabel(kMaxPoints - 1, nullptr);
  EXPECT_STREQ(chart->categoryLabel[kMaxPoints - 1], L"");
  chart->SetCategoryLabel(0, nullptr);
  EXPECT_EQ(chart->categoryLabel[0], nullptr);
}

}  // namespace
