// LineChart drawing under Wine: Draw and the overlays paint into a 32-bit DIB
// section whose pixels are then read back.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "chart/line_chart.h"
#include "shell/shared_state.h"

namespace {

constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kBlack = 0x000000;

// Pixels read back as 0x00RRGGBB.
uint32_t Rgb(int r, int g, int b) { return (r << 16) | (g << 8) | b; }
int Red(uint32_t p) { return (p >> 16) & 0xFF; }
int Green(uint32_t p) { return (p >> 8) & 0xFF; }
int Blue(uint32_t p) { return p & 0xFF; }

class Canvas {
 public:
  Canvas(int w, int h) : w_(w), h_(h) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    dc_ = CreateCompatibleDC(nullptr);
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0);
    old_ = SelectObject(dc_, bitmap_);
    RECT all{0, 0, w, h};
    FillRect(dc_, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  }
  ~Canvas() {
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  HDC dc() const { return dc_; }
  uint32_t At(int x, int y) const {
    GdiFlush();
    return bits_[y * w_ + x] & 0xFFFFFF;
  }

 private:
  int w_, h_;
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ old_;
  uint32_t* bits_ = nullptr;
};

class GdiplusSession : public ::testing::Environment {
 public:
  void SetUp() override {
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token_, &input, nullptr);
  }
  void TearDown() override { Gdiplus::GdiplusShutdown(token_); }

 private:
  ULONG_PTR token_ = 0;
};
[[maybe_unused]] const auto* const gdiplusSession = ::testing::AddGlobalTestEnvironment(new GdiplusSession);

// The colour on row y or a row next to it (values that fall on a pixel edge
// may round either way).
bool NearRow(const Canvas& canvas, int x, int y, uint32_t colour) {
  return canvas.At(x, y - 1) == colour || canvas.At(x, y) == colour || canvas.At(x, y + 1) == colour;
}

struct Plot {
  int left, top, bottom, right;
  int height() const { return bottom - top; }
  int width() const { return right - left; }
};

Plot PlotOf(const LineChart& chart) {
  return Plot{chart.yAxisLine.from.x, chart.yAxisLine.from.y, chart.yAxisLine.to.y, chart.xAxisLine.to.x};
}

// A chart set up as the graph window does, 0..6 V.
std::unique_ptr<LineChart> GraphChart() {
  auto chart = std::make_unique<LineChart>();
  chart->SetPlotColours(0, 0, 0);
  chart->SetBackgroundImage(nullptr);
  chart->seriesColour[0] = 0;
  chart->SetXAxisTitle(L"Current (mA)", 0);
  chart->SetYAxisTitle(L"Voltage");
  chart->SetYRange(0.0f, 6.0f);
  chart->SetYDivisions(12);
  chart->showXLabels = 0;
  chart->SetSeriesCount(1);
  chart->width = 600;
  chart->height = 400;
  return chart;
}

TEST(ChartDraw, AxesAndTracesLandWhereTheLayoutSaysAndTheContextIsRestored) {
  Canvas canvas(620, 420);
  auto chart = GraphChart();
  chart->SetXRange(0.0, 100.0);
  chart->SetSeriesCount(2);
  chart->seriesColour[1] = RGB(255, 0, 0);
  for (int i = 0; i <= 100; ++i) {
    chart->AddPoint(0, i, 3.0);
    chart->AddPoint(1, i, 4.5);
  }
  HGDIOBJ font = GetCurrentObject(canvas.dc(), OBJ_FONT);
  HGDIOBJ pen = GetCurrentObject(canvas.dc(), OBJ_PEN);
  HGDIOBJ brush = GetCurrentObject(canvas.dc(), OBJ_BRUSH);
  EXPECT_EQ(chart->Draw(canvas.dc(), 5, 5), 0);
  // The context is left as it was found.
  EXPECT_EQ(GetCurrentObject(canvas.dc(), OBJ_FONT), font);
  EXPECT_EQ(GetCurrentObject(canvas.dc(), OBJ_PEN), pen);
  EXPECT_EQ(GetCurrentObject(canvas.dc(), OBJ_BRUSH), brush);
  const Plot p = PlotOf(*chart);
  ASSERT_GT(p.height(), 200);
  ASSERT_GT(p.width(), 400);

  EXPECT_EQ(canvas.At(p.left, p.top + p.height() / 2), 0x808080u);
  EXPECT_EQ(canvas.At(p.left + p.width() / 3, p.bottom), 0x808080u);

  const int y3 = p.bottom - static_cast<int>(3.0 / 6.0 * p.height());
  const int y45 = p.bottom - static_cast<int>(4.5 / 6.0 * p.height());
  const int mid = p.left + p.width() / 2;
  EXPECT_EQ(canvas.At(mid, y3), kBlack);
  EXPECT_EQ(canvas.At(mid, y45), Rgb(255, 0, 0));
  EXPECT_EQ(canvas.At(mid, (y3 + y45) / 2), kWhite);  // no plot fill
}

TEST(ChartDraw, BandIsTranslucentGreenAndClippedToThePlot) {
  Canvas canvas(620, 420);
  auto chart = GraphChart();
  chart->SetSeriesBand(0, 5.0f, 9.0f);  // reaches far above the 6 V top
  chart->Draw(canvas.dc(), 5, 5);
  const Plot p = PlotOf(*chart);
  const uint32_t inside = canvas.At(p.left + p.width() / 2, p.top + 5);
  EXPECT_EQ(Green(inside), 255);
  EXPECT_NEAR(Red(inside), 191, 3);
  EXPECT_NEAR(Blue(inside), 191, 3);
  const int bandBottom = p.bottom - static_cast<int>(5.0 / 6.0 * p.height());
  EXPECT_EQ(canvas.At(p.left + p.width() / 2, bandBottom + 3), kWhite);
  EXPECT_EQ(canvas.At(p.left + p.width() / 2, p.top - 3), kWhite);  // not filled above the plot
}

TEST(ChartDraw, CategoryTraceAndOverlays) {
  config.currentStepMa = 25;
  Canvas canvas(620, 420);
  auto chart = GraphChart();
  chart->SetTitle(L"Voltage vs. Current");
  chart->categoryMode = 1;
  chart->SetXDivisions(60);
  for (int i = 0; i < 121; ++i) {
    chart->SetCategoryValue(0, i, i <= 40 ? 5.0f : static_cast<float>(kNoValue));
    chart->SetCategoryLabel(i, std::to_wstring(i * 25).c_str());
  }
  chart->SetCategoryCount(0, 121);
  chart->Draw(canvas.dc(), 5, 5);
  const Plot p = PlotOf(*chart);
  const int rowH = p.height() / chart->yDivisions;
  const int y5 = p.bottom - static_cast<int>(5.0f / 6.0f * chart->yDivisions * rowH);
  auto slotX = [&](int i) {
    return p.left + chart->categoryGap + static_cast<int>(i * chart->categoryWidth) + i * chart->categoryGap;
  };
  EXPECT_TRUE(NearRow(canvas, slotX(20), y5, kBlack));
  EXPECT_FALSE(NearRow(canvas, slotX(60), y5, kBlack));  // unmeasured steps draw nothing

  // Everything above 5.25 V tinted red, from slot 0 to the last slot.
  chart->ShadeRect(canvas.dc(), 0, 5.25f, 3000, 6.0f, 255, 0, 0);
  const int y525 = p.bottom - static_cast<int>(5.25f / 6.0f * chart->yDivisions * rowH);
  const uint32_t tinted = canvas.At(slotX(60), (y525 + p.top) / 2 + 1);
  EXPECT_EQ(Red(tinted), 255);
  EXPECT_NEAR(Green(tinted), 191, 3);
  EXPECT_EQ(canvas.At(slotX(60), y525 + 3), kWhite);
  EXPECT_EQ(canvas.At(slotX(120) + 2, y525 - 3), kWhite);  // right of the last slot

  // A polygon of eight vertices is cut to its first six.
  const int currents[8] = {0, 3000, 3000, 500, 500, 0, 3000, 0};
  const float volts[8] = {2.0f, 2.0f, 1.0f, 1.0f, 1.0f, 1.0f, 6.0f, 6.0f};
  EXPECT_EQ(chart->ShadePolygon(canvas.dc(), currents, volts, 8, 100, 100, 100), 0);
  const int y15 = p.bottom - static_cast<int>(1.5f / 6.0f * chart->yDivisions * rowH);
  EXPECT_NEAR(Red(canvas.At(slotX(60), y15)), 0xFF - (0xFF - 100) * 0x40 / 0xFF, 3);
  const int y4 = p.bottom - static_cast<int>(4.0f / 6.0f * chart->yDivisions * rowH);
  EXPECT_EQ(canvas.At(slotX(30), y4), kWhite);  // inside only if all eight were used
}

TEST(ChartDraw, OddInputsDrawWithoutFailing) {
  Canvas canvas(620, 420);
  auto chart = GraphChart();
  chart->SetYRange(5.0f, 5.0f);
  chart->SetXRange(1.0, 1.0);
  chart->SetYDivisions(0);
  chart->SetXDivisions(0);
  chart->pointCount[0] = kMaxPoints + 10;  // as a racing writer might leave it
  chart->SetSeriesBand(0, 1.0f, 9.0f);
  EXPECT_EQ(chart->Draw(canvas.dc(), 5, 5), 0);
  chart->categoryMode = 1;
  chart->categoryCount[0] = -4;
  EXPECT_EQ(chart->Draw(canvas.dc(), 5, 5), 0);
  chart->width = 3;
  chart->height = 2;
  EXPECT_EQ(chart->Draw(canvas.dc(), 5, 5), 0);
  EXPECT_EQ(chart->ShadeRect(canvas.dc(), 500, 2.0f, 100, 1.0f, 1, 2, 3), 0);
}

}  // namespace
