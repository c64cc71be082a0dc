// Layout arithmetic of LineChart (see chart_layout.h).
#include "core/chart/chart_layout.h"

#include <cwchar>

#include "core/base/shared_state.h"

namespace {

// Pixel values are kept within +-2^24: far beyond any screen, and small enough
// that sums of a few of them stay well inside int and inside what GDI takes.
constexpr double kPixelLimit = 16777216.0;

int TruncToInt(double value) {
  if (!(value == value)) return 0;
  if (value >= 2147483647.0) return 2147483647;
  if (value <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int>(value);
}

long long TruncToLongLong(double value) {
  if (!(value == value)) return 0;
  if (value >= 9.0e18) return 9000000000000000000LL;
  if (value <= -9.0e18) return -9000000000000000000LL;
  return static_cast<long long>(value);
}

bool HasText(const wchar_t* text) { return text && text[0] != L'\0'; }

int TextLength(const wchar_t* text) {
  return text ? static_cast<int>(wcsnlen(text, kChartTextChars - 1)) : 0;
}

ChartTextSize Measure(const ChartTextMeasurer& measurer, ChartFont font, const wchar_t* text) {
  if (!measurer.measure) return ChartTextSize{0, 0};
  return measurer.measure(measurer.context, font, text ? text : L"", TextLength(text));
}

// (value - min) / range x pixels, truncated; an empty range maps everything to 0.
int FloatFraction(float value, float min, float range, float pixels) {
  if (!(range > 0.0f)) return 0;
  return ChartTrunc((value - min) / range * pixels);
}

}  // namespace

int ChartScaled(int pixels) { return static_cast<int>(static_cast<float>(pixels) * uiScale); }

int ChartTrunc(double value) {
  if (!(value == value)) return 0;
  if (value > kPixelLimit) return static_cast<int>(kPixelLimit);
  if (value < -kPixelLimit) return -static_cast<int>(kPixelLimit);
  return static_cast<int>(value);
}

int CategorySlotX(int plotLeft, int gap, float categoryWidth, long long i) {
  const float slots = static_cast<float>(i) * categoryWidth;
  const long long gaps = i * static_cast<long long>(gap);
  const int gapPixels = categoryWidth < 1.0f
                            ? ChartTrunc(static_cast<float>(gaps) * categoryWidth)
                            : ChartTrunc(static_cast<double>(gaps));
  return plotLeft + gap + ChartTrunc(slots) + gapPixels;
}

ChartLayout LayOutChart(LineChart& chart, int left, int top, const ChartTextMeasurer& measurer) {
  ChartLayout layout{};
  layout.left = left;
  layout.top = top;
  layout.width = chart.width;
  layout.height = chart.height;
  layout.yMin = chart.yMin;
  layout.yMax = chart.yMax;
  layout.range = layout.yMax - layout.yMin;
  layout.xMin = chart.xMin;
  layout.xMax = chart.xMax;
  layout.category = chart.categoryMode != 0;

  // Titles, top down; y counts the pixels used from top.
  int y = 0;
  if (HasText(chart.title)) {
    layout.showTitle = 1;
    y = Measure(measurer, ChartFont::Title, chart.title).cy;
  }
  if (HasText(chart.yAxisTitle)) {
    layout.showYAxisTitle = 1;
    layout.yAxisTitleY = top + y;
    y += Measure(measurer, ChartFont::Axis, chart.yAxisTitle).cy + 5;
  }
  layout.plotTop = top + y;

  // Label format, decided with the divisions as they stand.
  const int divisionsBefore = chart.yDivisions;
  layout.fractional =
      (layout.yMax <= 10.0f) || (layout.range <= static_cast<float>(divisionsBefore));
  layout.yLabelFormat = layout.fractional ? (layout.range < 1.0f ? L"%0.2f" : L"%0.1f") : L"%d";

  // Left edge of the plot: room for the widest y label, which is yMax's.
  if (chart.showYLabels) {
    wchar_t text[64];
    if (layout.fractional) {
      std::swprintf(text, 64, layout.yLabelFormat, static_cast<double>(layout.yMax));
    } else {
      std::swprintf(text, 64, L"%lli", TruncToLongLong(layout.yMax));
    }
    layout.plotLeft = left + Measure(measurer, ChartFont::Axis, text).cx + ChartScaled(5);
  } else {
    layout.plotLeft = left + ChartScaled(5);
  }

  // X axis title under everything else.
  if (HasText(chart.xAxisTitle)) {
    layout.showXAxisTitle = 1;
    const ChartTextSize size = Measure(measurer, ChartFont::XTitle, chart.xAxisTitle);
    if (chart.xTitleAlign & 2) {
      layout.xAxisTitleX = left + (layout.width - size.cx);
    } else if (chart.xTitleAlign & 1) {
      layout.xAxisTitleX = left;
    } else {
      layout.xAxisTitleX = left + (layout.width - size.cx) / 2;
    }
    layout.xAxisTitleY = top + layout.height - size.cy;
    layout.availH = layout.height - size.cy - y - ChartScaled(8);
  } else {
    layout.availH = layout.height - y;
  }
  layout.tickLabelY = layout.plotTop + layout.availH + ChartScaled(5);

  int xDivisions = chart.xDivisions;
  if (xDivisions < 1) xDivisions = 1;
  layout.xDivisions = xDivisions;

  if (!layout.category) {
    // Room for the upward-running x labels; the widest is taken as xMax's.
    if (chart.showXLabels) {
      wchar_t text[64];
      std::swprintf(text, 64, L"%0.1f", static_cast<double>(static_cast<float>(layout.xMax)));
      layout.reserve = Measure(measurer, ChartFont::Vertical, text).cx;
    }
  } else {
    const int n = ClampCount(chart.maxCategoryCount);
    const int gap = chart.categoryGap > 0 ? chart.categoryGap : 0;
    layout.slotCount = n;
    layout.gap = gap;
    const long long room = layout.width - (layout.plotLeft - left);
    long long gaps = (n + 1LL) * gap;
    const long long squeezed = gap + (room * gap) / (gap + 1);
    if (squeezed < gaps) gaps = squeezed;
    float categoryWidth = 1.0f;
    if (n > 0) categoryWidth = static_cast<float>(room - gaps) / static_cast<float>(n);
    if (!(categoryWidth > 0.0f)) categoryWidth = 1.0f;
    layout.categoryWidth = categoryWidth;
    chart.categoryWidth = categoryWidth;
    layout.slotStep = 1.0f / categoryWidth;
    layout.labelStep = 1;
    if (n > 15) {
      layout.labelStep = n / xDivisions;
      if (layout.labelStep < 1) layout.labelStep = 1;
    }
    int widest = 0;
    for (int i = 0; i < n; ++i) {
      const wchar_t* label = chart.categoryLabel[i];
      if (!HasText(label)) continue;
      const int cx = Measure(measurer, ChartFont::Vertical, label).cx;
      if (cx > widest) widest = cx;
    }
    layout.reserve = widest;
  }

  // Plot rectangle and axes.
  layout.plotBottom = layout.plotTop + layout.availH - layout.reserve - ChartScaled(2);
  layout.right = left + layout.width;
  layout.plotW = layout.right - layout.plotLeft;
  layout.plotH = layout.plotBottom - layout.plotTop;
  chart.yAxisLine = AxisLine{{layout.plotLeft, layout.plotTop}, {layout.plotLeft, layout.plotBottom}};
  chart.xAxisLine = AxisLine{{layout.plotLeft, layout.plotBottom}, {layout.right, layout.plotBottom}};

  // Grid divisions: a range wider than the divisions gets 10, 5, 2 or 1 of
  // them, whichever first divides its whole part.
  if (layout.range > static_cast<float>(divisionsBefore)) {
    const long long whole = TruncToLongLong(layout.range);
    int divisions = 10;
    while (divisions > 1 && whole % divisions != 0) divisions /= 2;
    chart.yDivisions = divisions;
    layout.yDivisions = divisions;
  } else {
    layout.yDivisions = divisionsBefore < 1 ? 1 : divisionsBefore;
  }
  layout.yStep = layout.range / static_cast<float>(layout.yDivisions);
  layout.yWholeStep = TruncToInt(layout.yStep);
  layout.rowH = layout.plotH / layout.yDivisions;
  layout.colW = layout.plotW / layout.xDivisions;
  layout.xLabelStep = static_cast<float>((layout.xMax - layout.xMin) / layout.xDivisions);
  return layout;
}

int FormatYLabel(const ChartLayout& layout, int k, wchar_t* out, size_t outChars) {
  if (layout.fractional) {
    const float value = layout.yMin + static_cast<float>(k) * layout.yStep;
    return std::swprintf(out, outChars, layout.yLabelFormat, static_cast<double>(value));
  }
  const long long steps = static_cast<long long>(k) * layout.yWholeStep;
  const int value = TruncToInt(static_cast<float>(steps) + layout.yMin);
  return std::swprintf(out, outChars, L"%d", value);
}

int FormatXLabel(const ChartLayout& layout, int k, wchar_t* out, size_t outChars) {
  const double value = layout.xMin + static_cast<double>(static_cast<float>(k) * layout.xLabelStep);
  return std::swprintf(out, outChars, L"%0.1f", value);
}

ChartBand BandGeometry(const ChartLayout& layout, float low, float high) {
  const float plotH = static_cast<float>(layout.plotH);
  ChartBand band{};
  int top = layout.plotBottom - FloatFraction(high, layout.yMin, layout.range, plotH);
  int h = FloatFraction(high, low, layout.range, plotH);
  band.edgeTop = top;
  band.edgeBottom = top + h;
  if (top < layout.plotTop) {
    h -= layout.plotTop - top;
    top = layout.plotTop;
  }
  if (top + h > layout.plotBottom) h = layout.plotBottom - top;
  band.fillTop = top;
  band.fillHeight = h;
  return band;
}

ChartPicturePlacement PicturePlacement(const ChartLayout& layout, int pictureW, int pictureH) {
  ChartPicturePlacement placement{layout.plotLeft, layout.plotTop, pictureW, pictureH};
  if (pictureW <= 0 || pictureH <= 0) return ChartPicturePlacement{layout.plotLeft, layout.plotTop, 0, 0};
  const float sx = static_cast<float>(layout.plotW / 2) / static_cast<float>(pictureW);
  const float sy = static_cast<float>(layout.plotH / 2) / static_cast<float>(pictureH);
  float scale = 1.0f;
  if (sx < 1.0f || sy < 1.0f) scale = sx < sy ? sx : sy;
  if (scale < 0.0f) scale = 0.0f;
  placement.w = ChartTrunc(static_cast<float>(pictureW) * scale);
  placement.h = ChartTrunc(static_cast<float>(pictureH) * scale);
  placement.x = layout.plotLeft + (layout.plotW - placement.w) / 2;
  placement.y = layout.plotTop + (layout.plotH - placement.h) / 2;
  return placement;
}

int MapXyX(const ChartLayout& layout, double x) {
  const double span = static_cast<float>(layout.xMax - layout.xMin);
  if (!(span > 0.0)) return layout.plotLeft;
  return layout.plotLeft + ChartTrunc((x - layout.xMin) / span * layout.plotW);
}

int MapXyY(const ChartLayout& layout, double y) {
  const double range = layout.range;
  if (!(range > 0.0)) return layout.plotBottom;
  return layout.plotBottom - ChartTrunc((y - layout.yMin) / range * layout.plotH);
}

int MapCategoryY(const ChartLayout& layout, float v) {
  const float gridH = static_cast<float>(layout.yDivisions) * static_cast<float>(layout.rowH);
  if (!(layout.range > 0.0f)) return layout.plotBottom;
  return layout.plotBottom - ChartTrunc((v - layout.yMin) / layout.range * gridH);
}

OverlayMapping OverlayFromChart(const LineChart& chart, int currentStepMa) {
  OverlayMapping m{};
  m.plotLeft = chart.yAxisLine.from.x;
  m.plotBottom = chart.yAxisLine.to.y;
  m.right = chart.xAxisLine.to.x;
  m.yDivisions = chart.yDivisions < 1 ? 1 : chart.yDivisions;
  m.rowH = (m.plotBottom - chart.yAxisLine.from.y) / m.yDivisions;
  m.yMin = chart.yMin;
  m.yMax = chart.yMax;
  m.gap = chart.categoryGap > 0 ? chart.categoryGap : 0;
  m.categoryWidth = chart.categoryWidth > 0.0f ? chart.categoryWidth : 1.0f;
  m.stepMa = currentStepMa > 0 ? currentStepMa : 1;
  return m;
}

int OverlayX(const OverlayMapping& m, int current) {
  return CategorySlotX(m.plotLeft, m.gap, m.categoryWidth, current / m.stepMa);
}

int OverlayY(const OverlayMapping& m, float volts) {
  const float range = m.yMax - m.yMin;
  if (!(range > 0.0f)) return m.plotBottom;
  const float gridH = static_cast<float>(m.yDivisions) * static_cast<float>(m.rowH);
  return m.plotBottom - ChartTrunc((volts - m.yMin) / range * gridH);
}

OverlayRect ShadeRectGeometry(const OverlayMapping& m, int fromCurrent, float lowY, int toCurrent,
                              float highY) {
  const int x0 = OverlayX(m, fromCurrent);
  const int x1 = OverlayX(m, toCurrent);
  const int y0 = OverlayY(m, highY);
  const int y1 = OverlayY(m, lowY);
  return OverlayRect{x0, y0, x1 - x0, y1 - y0};
}

int ShadePolygonGeometry(const OverlayMapping& m, const int* currents, const float* ys, int n,
                         ChartPixel out[6]) {
  if (!currents || !ys || n < 1) return 0;
  if (n > 6) n = 6;
  for (int k = 0; k < n; ++k) out[k] = ChartPixel{OverlayX(m, currents[k]), OverlayY(m, ys[k])};
  return n;
}
