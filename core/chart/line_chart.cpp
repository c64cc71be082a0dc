// The chart's data model: storage, limits and the operations that change it.
#include "core/chart/line_chart.h"

#include <cwchar>

#include "core/base/shared_state.h"

namespace {

bool ValidSeries(int series) { return series >= 0 && series < kMaxSeries; }
bool ValidIndex(int index) { return index >= 0 && index < kMaxPoints; }

// Copies text into *buffer, allocating the 128-character buffer on first use.
// Longer texts are cut to 127 characters. A null text empties an existing
// buffer and allocates nothing.
void CopyChartText(wchar_t*& buffer, const wchar_t* text) {
  if (!text) {
    if (buffer) buffer[0] = L'\0';
    return;
  }
  if (!buffer) {
    wchar_t* fresh = new wchar_t[kChartTextChars];
    fresh[0] = L'\0';
    fresh[kChartTextChars - 1] = L'\0';
    buffer = fresh;
  }
  // The last character stays a terminator at all times, so a reader on another
  // thread never runs past the buffer even while the text is rewritten.
  size_t length = wcsnlen(text, kChartTextChars - 1);
  wmemcpy(buffer, text, length);
  buffer[length] = L'\0';
}

}  // namespace

void LineChart::SetDefaults() {
  yDivisions = 12;
  xDivisions = 10;
  categoryGap = static_cast<int>(2 * uiScale);
  categoryWidth = 20.0f * uiScale;
  yMax = 1.0f;
  yMin = 0.0f;
  xMax = 1.0;
  xMin = 0.0;
  for (int s = 0; s < kMaxSeries; ++s) {
    bandLow[s] = 0.0f;
    bandHigh[s] = 0.0f;
    categoryCount[s] = 0;
    pointCount[s] = 0;
    showDots[s] = 0;
    lineWidth[s] = static_cast<int>(1 * uiScale);
    for (int i = 0; i < kMaxPoints; ++i) {
      categoryValue[s][i] = 0.0f;
      points[s][i] = ChartPoint{0.0, 0.0};
    }
  }
  maxCategoryCount = 0;
  seriesCount = 0;
  for (int i = 0; i < kMaxPoints; ++i) categoryLabel[i] = nullptr;
  title = nullptr;
  xAxisTitle = nullptr;
  xTitleAlign = 0;
  yAxisTitle = nullptr;
  width = 400;
  height = 350;
  yAxisLine = AxisLine{{0, 0}, {0, 0}};
  xAxisLine = AxisLine{{0, 0}, {0, 0}};
  axisFont = nullptr;
  verticalFont = nullptr;
  titleFont = nullptr;
  xTitleFont = nullptr;
  plotColour = 0xC8C8C8;
  gradientEndColour = 0xFFFFFF;
  useGradient = 0;
  axisLineWidth = 2;
  seriesColour[0] = 0x0000FF;  // red
  seriesColour[1] = 0xFF0000;  // blue
  showGrid = 0;
  gridLineWidth = static_cast<int>(1 * uiScale);
  showXLabels = 1;
  showYLabels = 1;
  backgroundImage = nullptr;
  categoryMode = 0;
}

void LineChart::FreeTexts() {
  for (int i = 0; i < kMaxPoints; ++i) {
    delete[] categoryLabel[i];
    categoryLabel[i] = nullptr;
  }
  delete[] title;
  delete[] xAxisTitle;
  delete[] yAxisTitle;
  title = xAxisTitle = yAxisTitle = nullptr;
}

#ifndef _WIN32
// Outside Windows there are no fonts or pictures to create or free; on Windows
// the constructor and destructor live in line_chart_win.cpp.
LineChart::LineChart() { SetDefaults(); }

LineChart::~LineChart() { FreeTexts(); }

int LineChart::SetBackgroundImage(const wchar_t* path) { return path ? 0 : 1; }
#endif

int LineChart::AddPoint(int series, double x, double y) {
  if (!ValidSeries(series)) return 2;
  int count = pointCount[series];
  if (count >= kMaxPoints) return 1;
  if (count < 0) count = 0;  // a negative count holds nothing
  points[series][count] = ChartPoint{x, y};
  pointCount[series] = count + 1;
  RecomputeRanges();
  return 0;
}

int LineChart::SetPoint(int series, int index, double x, double y) {
  if (!ValidIndex(index)) return 1;
  if (!ValidSeries(series)) return 2;
  points[series][index] = ChartPoint{x, y};
  RecomputeRanges();
  return 0;
}

int LineChart::SetPointCount(int series, int count) {
  if (!ValidSeries(series)) return 2;
  int result = 0;
  if (count > kMaxPoints) {
    count = kMaxPoints;
    result = 1;
  }
  pointCount[series] = count;
  RecomputeRanges();
  return result;
}

int LineChart::SetCategoryValue(int series, int index, float value) {
  if (!ValidIndex(index)) return 1;
  if (!ValidSeries(series)) return 2;
  categoryValue[series][index] = value;
  RecomputeRanges();
  return 0;
}

int LineChart::SetCategoryLabel(int index, const wchar_t* text) {
  if (!ValidIndex(index)) return 1;
  CopyChartText(categoryLabel[index], text);
  return 0;
}

int LineChart::SetCategoryCount(int series, int count) {
  if (!ValidSeries(series)) return 2;
  int result = 0;
  if (count > kMaxPoints) {
    count = kMaxPoints;
    result = 1;
  }
  categoryCount[series] = count;
  RecomputeRanges();
  return result;
}

int LineChart::SetXRange(double min, double max) {
  if (!(min <= max)) return 1;
  xMin = min;
  xMax = max;
  return 0;
}

int LineChart::SetYRange(float min, float max) {
  if (!(min <= max)) return 1;
  yMin = min;
  yMax = max;
  return 0;
}

int LineChart::SetSeriesBand(int series, float low, float high) {
  if (!ValidSeries(series)) return 1;
  if (!(low <= high)) return 2;
  bandLow[series] = low;
  bandHigh[series] = high;
  return 0;
}

int LineChart::SetYDivisions(int n) {
  yDivisions = n;
  RecomputeRanges();
  return 0;
}

int LineChart::SetXDivisions(int n) {
  xDivisions = n;
  RecomputeRanges();
  return 0;
}

int LineChart::SetSeriesCount(int n) {
  seriesCount = n < 0 ? 0 : (n > kMaxSeries ? kMaxSeries : n);
  RecomputeRanges();
  return 0;
}

void LineChart::SetPlotColours(COLORREF plot, COLORREF gradientEnd, int gradient) {
  plotColour = plot;
  gradientEndColour = gradientEnd;
  useGradient = gradient;
}

void LineChart::SetTitle(const wchar_t* text) { CopyChartText(title, text); }

void LineChart::SetXAxisTitle(const wchar_t* text, int align) {
  CopyChartText(xAxisTitle, text);
  xTitleAlign = align;
}

void LineChart::SetYAxisTitle(const wchar_t* text) { CopyChartText(yAxisTitle, text); }

void LineChart::RecomputeRanges() {
  int shown = seriesCount;
  if (shown > kMaxSeries) shown = kMaxSeries;
  for (int s = 0; s < shown; ++s) {
    int count = categoryCount[s];
    if (count > kMaxPoints) count = kMaxPoints;
    if (count > maxCategoryCount) maxCategoryCount = count;
  }
}
