#include "core/report/chart_svg.h"

#include <cstdio>
#include <cwchar>

#include "core/chart/chart_layout.h"
#include "core/graphs/graph_overlay.h"
#include "core/base/shared_state.h"
#include "core/base/utf8.h"

namespace {

// Arial's cell height is 1.117 em; its ascent 0.905 em.
constexpr double kCellPerEm = 2288.0 / 2048.0;
constexpr double kAscentPerEm = 1854.0 / 2048.0;

// Advance widths of Arial in thousandths of an em.
int AdvanceOf(wchar_t c) {
  static const char* const kNarrow = " .,:;!'/\\|[]ftIij l";
  if (c >= L'0' && c <= L'9') return 556;
  if (c == L'i' || c == L'j' || c == L'l') return 222;
  for (const char* p = kNarrow; *p; ++p) {
    if (c == static_cast<wchar_t>(*p)) return 278;
  }
  switch (c) {
    case L'(': case L')': case L'-': case L'r': return 333;
    case L'm': case L'M': return 833;
    case L'w': case L'C': case L'D': case L'H': case L'N': case L'R': case L'U': return 722;
    case L'W': return 944;
    case L'%': return 889;
    case L'G': case L'O': case L'Q': return 778;
    case L'F': case L'T': case L'Z': return 611;
    case L'L': return 556;
    case L'J': case L'c': case L'k': case L's': case L'v': case L'x': case L'y': case L'z': return 500;
    default: break;
  }
  if (c >= L'A' && c <= L'Z') return 667;
  return 556;
}

// Cell heights of the chart's fonts (LineChart's constructor) in pixels.
int CellPixels(ChartFont font) {
  switch (font) {
    case ChartFont::Title: return ChartScaled(24);
    case ChartFont::Vertical: return ChartScaled(11);
    default: return ChartScaled(12);
  }
}

ChartTextSize MeasureArial(int cell, const wchar_t* text, int length) {
  long long thousandths = 0;
  for (int i = 0; i < length && text[i]; ++i) thousandths += AdvanceOf(text[i]);
  const double em = cell / kCellPerEm;
  return ChartTextSize{static_cast<int>(static_cast<double>(thousandths) * em / 1000.0 + 0.5), cell};
}

ChartTextSize Measure(void*, ChartFont font, const wchar_t* text, int length) {
  return MeasureArial(CellPixels(font), text, length);
}

std::string Rgb(uint8_t r, uint8_t g, uint8_t b) {
  char text[16];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", r, g, b);
  return text;
}
std::string RgbOf(COLORREF c) { return Rgb(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }
std::string RgbOfArgb(uint32_t argb) { return Rgb((argb >> 16) & 0xFF, (argb >> 8) & 0xFF, argb & 0xFF); }
std::string Alpha(unsigned alpha) {
  char text[16];
  std::snprintf(text, sizeof text, "%.3f", alpha / 255.0);
  return text;
}

class SvgWriter {
 public:
  std::string out;

  // Text with its cell's top-left corner at (x, y), as TextOut draws it;
  // `vertical` runs it upwards from there.
  void Text(int x, int y, int cell, const wchar_t* text, bool vertical = false) {
    if (!text || !text[0]) return;
    const double em = cell / kCellPerEm;
    char head[200];
    if (vertical) {
      std::snprintf(head, sizeof head, "<text transform=\"translate(%d,%d) rotate(-90)\" x=\"0\" y=\"%.1f\" font-size=\"%.2f\">",
                    x, y, em * kAscentPerEm, em);
    } else {
      std::snprintf(head, sizeof head, "<text x=\"%d\" y=\"%.1f\" font-size=\"%.2f\">", x, y + em * kAscentPerEm, em);
    }
    out += head;
    out += XmlEscape(Utf8(text));
    out += "</text>\n";
  }
  void Line(int x0, int y0, int x1, int y1, const std::string& style) {
    char text[160];
    std::snprintf(text, sizeof text, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" %s/>\n", x0, y0, x1, y1, style.c_str());
    out += text;
  }
  void Rect(int x, int y, int w, int h, const std::string& fill, const std::string& opacity) {
    if (w <= 0 || h <= 0) return;
    char text[200];
    std::snprintf(text, sizeof text, "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\" fill-opacity=\"%s\"/>\n",
                  x, y, w, h, fill.c_str(), opacity.c_str());
    out += text;
  }
  void Polygon(const ChartPixel* p, int n, const std::string& fill, const std::string& opacity) {
    if (n < 1) return;
    out += "<polygon points=\"";
    for (int k = 0; k < n; ++k) out += (k ? " " : "") + std::to_string(p[k].x) + "," + std::to_string(p[k].y);
    out += "\" fill=\"" + fill + "\" fill-opacity=\"" + opacity + "\"/>\n";
  }
};

// The trace as one path: moves, lines and sample dots (ChartTraceReducer's Out).
struct SvgTrace {
  std::string path;
  std::string dots;
  void Move(int x, int y) { path += "M" + std::to_string(x) + " " + std::to_string(y); }
  void Lines(const ChartPixel* p, int n) {
    for (int k = 0; k < n; ++k) path += "L" + std::to_string(p[k].x) + " " + std::to_string(p[k].y);
  }
  void Dot(int x, int y) {
    dots += "<circle cx=\"" + std::to_string(x) + "\" cy=\"" + std::to_string(y) + "\" r=\"2\"/>";
  }
};

void DrawChart(SvgWriter& w, LineChart& chart, int left, int top) {
  const ChartTextMeasurer measurer{Measure, nullptr};
  const ChartLayout layout = LayOutChart(chart, left, top, measurer);
  const int axisCell = CellPixels(ChartFont::Axis);
  const int verticalCell = CellPixels(ChartFont::Vertical);

  w.out += "<g font-family=\"Arial, Helvetica, sans-serif\" fill=\"#000000\">\n";
  if (layout.showTitle) w.Text(left, top, CellPixels(ChartFont::Title), chart.title);
  if (layout.showYAxisTitle) w.Text(left, layout.yAxisTitleY, axisCell, chart.yAxisTitle);
  if (layout.showXAxisTitle) w.Text(layout.xAxisTitleX, layout.xAxisTitleY, CellPixels(ChartFont::XTitle), chart.xAxisTitle);
  if (layout.category) {
    for (long long i = 0; i < layout.slotCount; i += layout.labelStep) {
      const wchar_t* label = chart.categoryLabel[i];
      if (!label || !label[0]) continue;
      w.Text(CategoryLabelX(layout, i, verticalCell), layout.tickLabelY, verticalCell, label, true);
    }
  }
  wchar_t text[64];
  if (chart.showYLabels) {
    for (int k = 0; k <= layout.yDivisions; ++k) {
      if (FormatYLabel(layout, k, text, 64) > 0) w.Text(left, YLabelY(layout, k, axisCell), axisCell, text);
    }
  }
  if (chart.showXLabels && !layout.category) {
    for (int k = 0; k <= layout.xDivisions; ++k) {
      if (FormatXLabel(layout, k, text, 64) > 0) {
        w.Text(XLabelX(layout, k, verticalCell), layout.tickLabelY, verticalCell, text, true);
      }
    }
  }
  w.out += "</g>\n";

  // Plot fill (the graphs leave it off, but a chart may have one).
  if (chart.plotColour != 0 || chart.useGradient) {
    w.Rect(layout.plotLeft, layout.plotTop, layout.plotW, layout.plotH, RgbOf(chart.plotColour), "1");
  }

  // Dotted grid, never at the axes themselves.
  if (chart.showGrid) {
    const std::string grid = "stroke=\"#7f7f7f\" stroke-opacity=\"" + Alpha(0x7F) + "\" stroke-width=\"" +
                             std::to_string(chart.gridLineWidth) + "\" stroke-dasharray=\"1,1\"";
    for (int k = 1; k <= layout.yDivisions; ++k) {
      const int y = GridRowY(layout, k);
      w.Line(layout.plotLeft, y, layout.right, y, grid);
    }
    if (!layout.category) {
      for (int k = 1; k <= layout.xDivisions; ++k) {
        const int x = GridColumnX(layout, k);
        w.Line(x, layout.plotBottom, x, layout.plotTop, grid);
      }
    } else {
      for (long long i = 0; i < layout.slotCount; i += layout.labelStep) {
        const int x = CategorySlotX(layout, i);
        w.Line(x, layout.plotBottom, x, layout.plotTop, grid);
      }
    }
  }

  // Axes.
  const std::string axis = "stroke=\"#808080\" stroke-width=\"" + std::to_string(chart.axisLineWidth) + "\"";
  w.Line(chart.yAxisLine.from.x, chart.yAxisLine.from.y, chart.yAxisLine.to.x, chart.yAxisLine.to.y, axis);
  w.Line(chart.xAxisLine.from.x, chart.xAxisLine.from.y, chart.xAxisLine.to.x, chart.xAxisLine.to.y, axis);

  // Series: band, then trace.
  const int shown = ShownSeries(chart);
  for (int s = 0; s < shown; ++s) {
    if (chart.bandLow[s] < chart.bandHigh[s]) {
      const ChartBand band = BandGeometry(layout, chart.bandLow[s], chart.bandHigh[s]);
      if (band.fillHeight > 0) w.Rect(layout.plotLeft, band.fillTop, layout.plotW, band.fillHeight, "#00ff00", Alpha(kOverlayAlpha));
      const std::string edge = "stroke=\"" + RgbOf(chart.seriesColour[s]) + "\" stroke-opacity=\"" +
                               Alpha(kOverlayAlpha) + "\" stroke-dasharray=\"1,1\"";
      w.Line(layout.plotLeft, band.edgeTop, layout.right, band.edgeTop, edge);
      w.Line(layout.plotLeft, band.edgeBottom, layout.right, band.edgeBottom, edge);
    }
    SvgTrace trace;
    ChartTraceReducer<SvgTrace> reducer(trace);
    if (layout.category) {
      WalkCategoryTrace(chart, layout, s, reducer);
    } else {
      WalkXyTrace(chart, layout, s, reducer);
    }
    reducer.Finish();
    const std::string colour = RgbOf(chart.seriesColour[s]);
    if (!trace.path.empty()) {
      w.out += "<path d=\"" + trace.path + "\" fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"" +
               std::to_string(chart.lineWidth[s]) + "\" stroke-linejoin=\"round\" stroke-linecap=\"round\"/>\n";
    }
    if (!trace.dots.empty()) w.out += "<g fill=\"" + colour + "\">" + trace.dots + "</g>\n";
  }
}

void DrawRegions(SvgWriter& w, const GraphSession& session, const LineChart& chart) {
  const OverlayMapping m = OverlayFromChart(chart, session.currentStepMa);
  const SweepRegions regions = BuildSweepRegions(RunRegionInputs(session));
  const std::string opacity = Alpha(kOverlayAlpha);
  for (int i = 0; i < regions.count; ++i) {
    const ShadeShape& s = regions.shapes[i];
    const std::string fill = Rgb(s.colour.r, s.colour.g, s.colour.b);
    if (s.kind == ShadeKind::Rect) {
      const OverlayRect r = ShadeRectGeometry(m, s.currentsMa[0], s.volts[0], s.currentsMa[1], s.volts[1]);
      w.Rect(r.x, r.y, r.w, r.h, fill, opacity);
    } else {
      ChartPixel points[6];
      const int n = ShadePolygonGeometry(m, s.currentsMa, s.volts, s.count, points);
      w.Polygon(points, n, fill, opacity);
    }
  }
}

void DrawLegend(SvgWriter& w, const LineChart& chart, uint32_t mode) {
  const GraphLegend& legend = LegendOf(mode);
  const int cell = static_cast<int>(legend.fontPixels * uiScale);
  w.out += "<g font-family=\"Arial, Helvetica, sans-serif\" fill=\"#000000\">\n";
  for (int i = 0; i < legend.count; ++i) {
    const GraphLegendItem& item = legend.items[i];
    w.Rect(item.swatchX, chart.height + legend.swatchDy, 30, 20, RgbOfArgb(item.argb), Alpha(item.argb >> 24));
    w.Text(item.textX, chart.height + legend.textDy, cell, item.text);
  }
  w.out += "</g>\n";
}

}  // namespace

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        // Control characters have no place in XML 1.0.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') {
          out += ' ';
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string GraphSvgElement(const GraphSession& session, LineChart& chart, int width, int height) {
  // The window's sizes: the chart is the control less 20 x 30 pixels.
  chart.width = static_cast<int>(static_cast<float>(width) - 20.0f * uiScale);
  chart.height = static_cast<int>(static_cast<float>(height) - 30.0f * uiScale);
  if (session.mode == RealTime) {
    const BandRange band = RunBand(session);
    chart.SetSeriesBand(0, band.low, band.high);
  }
  SvgWriter w;
  char head[200];
  std::snprintf(head, sizeof head,
                "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\">\n", width,
                height, width, height);
  w.out += head;
  w.out += "<rect x=\"0.5\" y=\"0.5\" width=\"" + std::to_string(width - 1) + "\" height=\"" +
           std::to_string(height - 1) + "\" fill=\"#ffffff\" stroke=\"#000000\"/>\n";
  DrawChart(w, chart, 5, 5);
  if (session.mode != RealTime) DrawRegions(w, session, chart);
  DrawLegend(w, chart, session.mode);
  w.out += "</svg>\n";
  return w.out;
}

std::string GraphSvgFile(const GraphSession& session, LineChart& chart) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + GraphSvgElement(session, chart);
}
