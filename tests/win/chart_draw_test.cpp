// LineChart drawing under Wine: Draw paints into a 32-bit DIB section whose pixels are then read back (as 0x00RRGGBB).
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <memory>

#include "core/chart/line_chart.h"

namespace {

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
const auto* const gdiplusSession = ::testing::AddGlobalTestEnvironment(new GdiplusSession);

TEST(ChartDraw, TracesAndBandLandWhereTheLayoutSaysAndOddInputsDoNotFail) {
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(info.bmiHeader), 620, -420, 1, 32, BI_RGB};  // top-down
  uint32_t* bits = nullptr;
  HDC dc = CreateCompatibleDC(nullptr);
  HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
  HGDIOBJ oldBitmap = SelectObject(dc, bitmap);
  RECT all{0, 0, 620, 420};
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  auto at = [&](int x, int y) { return GdiFlush(), bits[y * 620 + x] & 0xFFFFFF; };
  // Set up as the graph window does: 0..6 V, a black and a red trace, and a band that reaches far above the plot.
  auto chart = std::make_unique<LineChart>();
  chart->SetPlotColours(0, 0, 0);
  chart->SetBackgroundImage(nullptr);
  chart->SetXAxisTitle(L"Current (mA)", 0);
  chart->SetYAxisTitle(L"Voltage");
  chart->SetYRange(0.0f, 6.0f);
  chart->SetYDivisions(12);
  chart->SetXRange(0.0, 100.0);
  chart->SetSeriesCount(2);
  chart->seriesColour[0] = 0;
  chart->seriesColour[1] = RGB(255, 0, 0);
  chart->width = 600;
  chart->height = 400;
  for (int i = 0; i <= 100; ++i) chart->AddPoint(0, i, 3.0), chart->AddPoint(1, i, 4.5);
  chart->SetSeriesBand(0, 5.0f, 9.0f);
  const HGDIOBJ font = GetCurrentObject(dc, OBJ_FONT), pen = GetCurrentObject(dc, OBJ_PEN),
                brush = GetCurrentObject(dc, OBJ_BRUSH);
  EXPECT_EQ(chart->Draw(dc, 5, 5), 0);
  // The context is left as it was found.
  EXPECT_EQ(GetCurrentObject(dc, OBJ_FONT), font);
  EXPECT_EQ(GetCurrentObject(dc, OBJ_PEN), pen);
  EXPECT_EQ(GetCurrentObject(dc, OBJ_BRUSH), brush);
  const int left = chart->yAxisLine.from.x, top = chart->yAxisLine.from.y, bottom = chart->yAxisLine.to.y;
  const int mid = (left + chart->xAxisLine.to.x) / 2;
  ASSERT_GT(bottom - top, 200);
  ASSERT_GT(mid - left, 200);
  auto y = [&](double volts) { return bottom - static_cast<int>(volts / 6.0 * (bottom - top)); };
  EXPECT_EQ(at(left, y(2.2)), 0x808080u);  // axes
  EXPECT_EQ(at(mid, bottom), 0x808080u);
  EXPECT_EQ(at(mid, y(3.0)), 0x000000u);
  EXPECT_EQ(at(mid, y(4.5)), 0xFF0000u);
  EXPECT_EQ(at(mid, y(3.75)), 0xFFFFFFu);  // no plot fill
  // The band: translucent green over white inside the plot, nothing above it.
  const uint32_t band = at(mid, top + 5);
  EXPECT_EQ(band >> 8 & 0xFF, 255u);
  EXPECT_NEAR(static_cast<int>(band >> 16), 191, 3);
  EXPECT_NEAR(static_cast<int>(band & 0xFF), 191, 3);
  EXPECT_EQ(at(mid, y(5.0) + 3), 0xFFFFFFu);
  EXPECT_EQ(at(mid, top - 3), 0xFFFFFFu);
  // Empty ranges, no divisions, counts past the arrays, a tiny size and a reversed overlay draw without failing.
  chart->SetYRange(5.0f, 5.0f);
  chart->SetXRange(1.0, 1.0);
  chart->SetYDivisions(0);
  chart->SetXDivisions(0);
  chart->pointCount[0] = kMaxPoints + 10;  // as a racing writer might leave it
  EXPECT_EQ(chart->Draw(dc, 5, 5), 0);
  chart->categoryMode = 1;
  chart->categoryCount[0] = -4;
  EXPECT_EQ(chart->Draw(dc, 5, 5), 0);
  chart->width = 3;
  chart->height = 2;
  EXPECT_EQ(chart->Draw(dc, 5, 5), 0);
  EXPECT_EQ(chart->ShadeRect(dc, 500, 2.0f, 100, 1.0f, 1, 2, 3), 0);
  SelectObject(dc, oldBitmap);
  DeleteObject(bitmap);
  DeleteDC(dc);
}

}  // namespace
