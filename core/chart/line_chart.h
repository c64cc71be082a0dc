// LineChart: the program's chart object. It stores up to two series, either as
// XY samples or as one value per category slot, and draws axes, grid, labels,
// bands, traces and translucent overlays into a device context.
//
// The data model (this header and line_chart.cpp) and all layout arithmetic
// (chart_layout.h) are portable. The fonts and the background picture are
// Win32 (line_chart_win.cpp); drawing is the window's
// (window/chart/line_chart_draw_win.cpp). On other systems the font and bitmap
// handles are opaque pointers that stay null.
//
// The chart takes no lock. One thread may change samples while another draws:
// no count ever exceeds kMaxPoints, and Draw reads each count once and clamps
// it, so a paint never reads outside the arrays; it may show a mix of old and
// new samples until the next paint.
#pragma once

#include <cstdint>

// Handle types as <windows.h> declares them (STRICT), so that this header can be
// included with or without it. Outside Windows they are only opaque pointers.
struct HDC__;
struct HFONT__;
struct HBITMAP__;
typedef HDC__* HDC;
typedef HFONT__* HFONT;
typedef HBITMAP__* HBITMAP;
#ifdef _WIN32
typedef unsigned long COLORREF;  // 0x00BBGGRR, as <windows.h> declares it
struct tagRECT;
#else
typedef uint32_t COLORREF;  // 0x00BBGGRR
#endif

constexpr int kMaxSeries = 2;
constexpr int kMaxPoints = 131072;
constexpr double kNoValue = -99999.0;
// Characters a label or title buffer holds, terminator included.
constexpr int kChartTextChars = 128;

struct ChartPoint {
  double x;
  double y;
};

struct AxisPixel {
  int x;
  int y;
};

struct AxisLine {
  AxisPixel from;
  AxisPixel to;
};

class LineChart {
 public:
  LineChart();
  virtual ~LineChart();
  LineChart(const LineChart&) = delete;
  LineChart& operator=(const LineChart&) = delete;

  // XY model. Results: 0 = done, otherwise the number of the first failed check.
  // 2 = bad series, 1 = series full (count unchanged).
  int AddPoint(int series, double x, double y);
  // 1 = index outside 0..kMaxPoints-1, 2 = bad series.
  int SetPoint(int series, int index, double x, double y);
  // 2 = bad series, 1 = count above kMaxPoints (stored as kMaxPoints). A
  // negative count is stored as it is and counts as empty.
  int SetPointCount(int series, int count);

  // Category model. 1 = bad index, 2 = bad series.
  int SetCategoryValue(int series, int index, float value);
  // 1 = bad index. Texts longer than 127 characters are cut; a null text
  // empties a label that exists.
  int SetCategoryLabel(int index, const wchar_t* text);
  // 2 = bad series, 1 = count above kMaxPoints (stored as kMaxPoints).
  int SetCategoryCount(int series, int count);

  // Axes, scale and appearance. 1 = min > max (or not a number); the old
  // range stays. min = max is accepted.
  int SetXRange(double min, double max);
  int SetYRange(float min, float max);
  // 1 = bad series, 2 = low > high.
  int SetSeriesBand(int series, float low, float high);
  int SetYDivisions(int n);
  int SetXDivisions(int n);
  // Stores n limited to 0..kMaxSeries.
  int SetSeriesCount(int n);
  void SetPlotColours(COLORREF plot, COLORREF gradientEnd, int useGradient);
  // 1 = image removed (null path) or loaded; 0 = the file could not be read or
  // is empty (the old image stays). Pictures are read through GDI+, so outside
  // Windows only the null path succeeds.
  int SetBackgroundImage(const wchar_t* path);
  void SetTitle(const wchar_t* text);
  void SetXAxisTitle(const wchar_t* text, int align);
  void SetYAxisTitle(const wchar_t* text);

  // Grows maxCategoryCount to the largest categoryCount of the shown series.
  void RecomputeRanges();

#ifdef _WIN32
  // Paints the chart with its top-left corner at (left, top); returns 0.
  // Stores the layout (yAxisLine, xAxisLine, categoryWidth, yDivisions) that
  // the overlays below reuse.
  int Draw(HDC dc, int left, int top);
  // Translucent overlays in category units (mA along x, volts along y).
  int ShadeRect(HDC dc, int fromCurrent, float lowY, int toCurrent, float highY, int r, int g, int b);
  // n is 1 to 6; more vertices are cut to the first six.
  int ShadePolygon(HDC dc, const int* currents, const float* ys, int n, int r, int g, int b);
#endif

  int yDivisions;
  int xDivisions;
  int categoryGap;
  float categoryWidth;
  float yMax;
  float yMin;
  double xMax;
  double xMin;
  float bandLow[kMaxSeries];
  float bandHigh[kMaxSeries];
  int maxCategoryCount;
  int seriesCount;
  float categoryValue[kMaxSeries][kMaxPoints];
  wchar_t* categoryLabel[kMaxPoints];
  int categoryCount[kMaxSeries];
  ChartPoint points[kMaxSeries][kMaxPoints];
  int pointCount[kMaxSeries];
  wchar_t* title;
  wchar_t* xAxisTitle;
  int xTitleAlign;
  wchar_t* yAxisTitle;
  int width;
  int height;
  AxisLine yAxisLine;
  AxisLine xAxisLine;
  HFONT axisFont;
  HFONT verticalFont;
  HFONT titleFont;
  HFONT xTitleFont;
  COLORREF plotColour;
  COLORREF gradientEndColour;
  int useGradient;
  int axisLineWidth;
  int showDots[kMaxSeries];
  int lineWidth[kMaxSeries];
  COLORREF seriesColour[kMaxSeries];
  int showGrid;
  int gridLineWidth;
  int showXLabels;
  int showYLabels;
  HBITMAP backgroundImage;
  int categoryMode;

 private:
  void SetDefaults();
  void FreeTexts();
};

#ifdef _WIN32
// Fills (r->left - 1, r->top - 1) to (r->right, r->bottom) with a vertical
// gradient from topColour to bottomColour.
void GradientRect(HDC dc, const tagRECT* r, COLORREF topColour, COLORREF bottomColour);
#endif
