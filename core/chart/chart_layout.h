// Layout arithmetic of LineChart: where the titles, labels, plot rectangle,
// grid, bands, category slots and traces go, for a given chart and a text
// measurer. Portable: the Win32 drawing code and the native tests both use it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/chart/line_chart.h"

enum class ChartFont { Axis, Vertical, Title, XTitle };

struct ChartTextSize {
  int cx;  // width along the text's own direction
  int cy;  // height across it
};

// Measures a text of `length` characters as drawn with one of the chart's fonts.
// Texts drawn with the vertical font run upwards: they occupy cy pixels to the
// right of their reference point and cx pixels above it.
struct ChartTextMeasurer {
  ChartTextSize (*measure)(void* context, ChartFont font, const wchar_t* text, int length);
  void* context;
};

struct ChartPixel {
  int x;
  int y;
};

// Everything one Draw needs to know about positions. Built by LayOutChart.
struct ChartLayout {
  int left, top, width, height;

  int showTitle;  // title at (left, top)
  int showYAxisTitle;
  int yAxisTitleY;  // y axis title at (left, yAxisTitleY)
  int showXAxisTitle;
  int xAxisTitleX, xAxisTitleY;

  int plotLeft, plotTop, plotBottom, right;
  int plotW, plotH;
  int availH;       // plot and x labels, from plotTop down
  int reserve;      // room kept for the x labels under the plot
  int tickLabelY;   // reference y of the upward-running x and category labels

  // Y labels.
  int fractional;              // labels with decimals
  const wchar_t* yLabelFormat; // L"%0.2f", L"%0.1f" or L"%d"

  // Ranges and grid, with the divisions Draw settles on.
  float yMin, yMax, range;
  double xMin, xMax;
  int yDivisions;   // at least 1
  int xDivisions;   // at least 1
  float yStep;      // fractional label step
  int yWholeStep;   // whole label step
  int rowH, colW;
  float xLabelStep;

  // Category model.
  int category;
  int slotCount;        // maxCategoryCount, clamped
  int gap;              // categoryGap
  float categoryWidth;
  float slotStep;       // 1 / categoryWidth: indices per drawn point
  int labelStep;        // every labelStep-th slot is labelled
};

// Pixel sizes below are multiplied by uiScale and truncated.
int ChartScaled(int pixels);

// Truncates to int as a C cast would, but limited to a range that every later
// sum and every GDI call survives (not-a-number gives 0).
int ChartTrunc(double value);

// Works out the layout of `chart` drawn at (left, top) and stores in the chart
// what Draw stores: yAxisLine, xAxisLine, categoryWidth (category model) and
// yDivisions (when the range calls for other divisions).
ChartLayout LayOutChart(LineChart& chart, int left, int top, const ChartTextMeasurer& measurer);

// X position of category slot i (labels, vertical grid lines, overlays, trace).
int CategorySlotX(int plotLeft, int gap, float categoryWidth, long long i);
inline int CategorySlotX(const ChartLayout& layout, long long i) {
  return CategorySlotX(layout.plotLeft, layout.gap, layout.categoryWidth, i);
}

// Y label k (0 .. yDivisions): its text and its reference y for a text cy high.
int FormatYLabel(const ChartLayout& layout, int k, wchar_t* out, size_t outChars);
inline int YLabelY(const ChartLayout& layout, int k, int cy) {
  return layout.plotBottom - cy / 2 - k * layout.rowH;
}
// X label k (XY model, 0 .. xDivisions) and its reference x for a text cy high.
int FormatXLabel(const ChartLayout& layout, int k, wchar_t* out, size_t outChars);
inline int XLabelX(const ChartLayout& layout, int k, int cy) {
  return layout.plotLeft - cy / 2 + k * layout.colW;
}
// Reference x of a category label centred on slot i.
inline int CategoryLabelX(const ChartLayout& layout, long long i, int cy) {
  return CategorySlotX(layout, i) - cy / 2;
}

// Grid lines, k >= 1.
inline int GridRowY(const ChartLayout& layout, int k) { return layout.plotBottom - k * layout.rowH; }
inline int GridColumnX(const ChartLayout& layout, int k) { return layout.plotLeft + k * layout.colW; }

// A series band: the filled part (clipped to the plot) and its two edge lines
// (not clipped).
struct ChartBand {
  int fillTop;
  int fillHeight;  // nothing to fill when <= 0
  int edgeTop;
  int edgeBottom;
};
ChartBand BandGeometry(const ChartLayout& layout, float low, float high);

// Where the background picture of w x h pixels is drawn once more, centred.
struct ChartPicturePlacement {
  int x, y, w, h;
};
ChartPicturePlacement PicturePlacement(const ChartLayout& layout, int pictureW, int pictureH);

// Mappings of the two models.
int MapXyX(const ChartLayout& layout, double x);
int MapXyY(const ChartLayout& layout, double y);
// Category values use the height that the whole grid rows cover.
int MapCategoryY(const ChartLayout& layout, float v);

// Reads a count that another thread may be changing: once, limited to
// 0..kMaxPoints (negative counts hold nothing).
inline int ClampCount(const int& count) {
  int c = *static_cast<const volatile int*>(&count);
  return c < 0 ? 0 : (c > kMaxPoints ? kMaxPoints : c);
}
inline int ShownSeries(const LineChart& chart) {
  int n = *static_cast<const volatile int*>(&chart.seriesCount);
  return n < 0 ? 0 : (n > kMaxSeries ? kMaxSeries : n);
}

// Trace walkers. A sink has MoveTo(x, y), LineTo(x, y) and Dot(x, y).

// XY trace of series s. Samples left of xMin or below yMin only move the pen;
// samples right of the plot stop the line.
template <typename Sink>
void WalkXyTrace(const LineChart& chart, const ChartLayout& layout, int s, Sink& sink) {
  const int count = ClampCount(chart.pointCount[s]);
  const ChartPoint* p = chart.points[s];
  const bool dots = chart.showDots[s] != 0;
  sink.MoveTo(layout.plotLeft, MapXyY(layout, p[0].y));
  int lastDot = layout.plotLeft;
  int px = layout.plotLeft;
  for (int i = 0; i < count; ++i) {
    const ChartPoint sample = p[i];
    const int py = MapXyY(layout, sample.y);
    if (sample.x < layout.xMin || sample.y < layout.yMin) {
      sink.MoveTo(px, py);
      continue;
    }
    px = MapXyX(layout, sample.x);
    if (dots && px - lastDot >= 5) {
      sink.Dot(px, py);
      lastDot = px;
    }
    if (px <= layout.right) sink.LineTo(px, py);
  }
}

// Category trace of series s. Each slot is one point while slots are at least a
// pixel wide; narrower slots are averaged in groups of about 1 / categoryWidth,
// so the number of drawn points stays near the plot width. A group is drawn at
// the slot of its last index. kNoValue marks a slot without a sample: it is
// left out of the averages, a group that starts with it only moves the pen, no
// segment reaches a group that is followed by it, and after a group without
// any sample the line starts afresh (never from a missing value's position).
// A dot marks the last value of its group, on the same scale as the line.
template <typename Sink>
void WalkCategoryTrace(const LineChart& chart, const ChartLayout& layout, int s, Sink& sink) {
  const int count = ClampCount(chart.categoryCount[s]);
  if (count <= 0) return;
  const float* v = chart.categoryValue[s];
  const bool dots = chart.showDots[s] != 0;
  const float noValue = static_cast<float>(kNoValue);

  const int x0 = CategorySlotX(layout, 0);
  bool penValid = v[0] != noValue;
  if (penValid) {
    const int y0 = MapCategoryY(layout, v[0]);
    sink.MoveTo(x0, y0);
    if (dots) sink.Dot(x0, y0);
  }

  const double step = layout.slotStep;
  double next = 1.0;
  int i = 1;
  int groupStart = 0;
  while (i < count) {
    int end;  // one past the group
    if (step <= 1.0) {
      end = i + 1;  // a slot at least a pixel wide: every index on its own
    } else {
      if (i >= static_cast<int>(next)) {
        next += step;
        continue;
      }
      end = static_cast<int>(next);
      next += step;
    }
    if (end > count) end = count;
    float sum = 0.0f;
    int samples = 0;
    for (; i < end; ++i) {
      if (v[i] == noValue) continue;
      sum += v[i];
      ++samples;
    }
    const int px = CategorySlotX(layout, end - 1);
    if (samples == 0) {
      penValid = false;
    } else {
      if (dots && v[end - 1] != noValue) sink.Dot(px, MapCategoryY(layout, v[end - 1]));
      const int py = MapCategoryY(layout, sum / static_cast<float>(samples));
      if (!penValid || v[groupStart] == noValue) {
        sink.MoveTo(px, py);
        penValid = true;
      } else if (i >= kMaxPoints || v[i] != noValue) {
        sink.LineTo(px, py);
      }
    }
    groupStart = i;
  }
}

// Passes a trace on to an output with fewer drawing calls and the same pixels:
// moves are only made when a line follows, and a run of line ends within one
// pixel column is cut to its first, lowest, highest and last point (the run
// covers exactly the column between its lowest and highest point). Lines are
// handed over in batches of at most `batch` points (up to kMaxBatch): one
// batch for thin lines; wide pens draw much faster in short batches, as some
// systems build one region for a whole wide polyline. Out has Move(x, y),
// Lines(const ChartPixel*, int n) and Dot(x, y). Call Finish() at the end.
template <typename Out>
class ChartTraceReducer {
 public:
  static constexpr int kMaxBatch = 1024;

  explicit ChartTraceReducer(Out& out, int batch = kMaxBatch)
      : out_(out), batch_(batch < 1 ? 1 : (batch > kMaxBatch ? kMaxBatch : batch)) {}

  void MoveTo(int x, int y) {
    EndRun();
    Flush();
    pen_ = ChartPixel{x, y};
    moved_ = true;
  }

  void LineTo(int x, int y) {
    if (moved_) {
      out_.Move(pen_.x, pen_.y);
      moved_ = false;
    }
    if (inRun_ && x == runFirst_.x) {
      if (y < runMin_.y) { runMin_ = ChartPixel{x, y}; minOrder_ = ++order_; }
      if (y > runMax_.y) { runMax_ = ChartPixel{x, y}; maxOrder_ = ++order_; }
      runLast_ = ChartPixel{x, y};
    } else {
      EndRun();
      inRun_ = true;
      runFirst_ = runMin_ = runMax_ = runLast_ = ChartPixel{x, y};
      order_ = minOrder_ = maxOrder_ = 0;
    }
    pen_ = ChartPixel{x, y};
  }

  void Dot(int x, int y) {
    EndRun();
    Flush();
    out_.Dot(x, y);
  }

  void Finish() {
    EndRun();
    Flush();
  }

 private:
  void Add(ChartPixel p) {
    if (count_ > 0 && buffer_[count_ - 1].x == p.x && buffer_[count_ - 1].y == p.y) return;
    if (count_ == batch_) Flush();
    buffer_[count_++] = p;
  }

  void EndRun() {
    if (!inRun_) return;
    inRun_ = false;
    Add(runFirst_);
    if (minOrder_ != 0 || maxOrder_ != 0) {
      if (minOrder_ == 0) {
        Add(runMax_);
      } else if (maxOrder_ == 0) {
        Add(runMin_);
      } else if (minOrder_ < maxOrder_) {
        Add(runMin_);
        Add(runMax_);
      } else {
        Add(runMax_);
        Add(runMin_);
      }
    }
    Add(runLast_);
  }

  void Flush() {
    if (count_ > 0) out_.Lines(buffer_, count_);
    count_ = 0;
  }

  Out& out_;
  const int batch_;
  ChartPixel pen_{0, 0};
  bool moved_ = false;
  bool inRun_ = false;
  ChartPixel runFirst_{0, 0}, runMin_{0, 0}, runMax_{0, 0}, runLast_{0, 0};
  int order_ = 0, minOrder_ = 0, maxOrder_ = 0;
  ChartPixel buffer_[kMaxBatch];
  int count_ = 0;
};

// Overlays (ShadeRect, ShadePolygon) map currents in mA and volts with the
// layout the last Draw stored in the chart.
struct OverlayMapping {
  int plotLeft, plotBottom, right;
  int rowH, yDivisions;
  float yMin, yMax;
  int gap;
  float categoryWidth;
  int stepMa;
};
OverlayMapping OverlayFromChart(const LineChart& chart, int currentStepMa);
// Category slot of a current: index = current / step (integer division).
int OverlayX(const OverlayMapping& m, int current);
int OverlayY(const OverlayMapping& m, float volts);

struct OverlayRect {
  int x, y, w, h;  // nothing to fill when w or h <= 0
};
OverlayRect ShadeRectGeometry(const OverlayMapping& m, int fromCurrent, float lowY, int toCurrent,
                              float highY);
// Fills at most six vertices into out; returns how many.
int ShadePolygonGeometry(const OverlayMapping& m, const int* currents, const float* ys, int n,
                         ChartPixel out[6]);
