// Win32 drawing of LineChart: Draw, the overlays and GradientRect, with the
// fonts and the background picture the chart holds (core/chart/line_chart_win.cpp).
// Every position comes from chart_layout.h.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cwchar>

#include "core/chart/chart_layout.h"
#include "core/chart/line_chart.h"
#include "window/shell/app_tester_win.h"

using Gdiplus::ARGB;
using Gdiplus::GpBrush;
using Gdiplus::GpGraphics;
using Gdiplus::GpPen;
using Gdiplus::GpPoint;
using Gdiplus::GpSolidFill;
using namespace Gdiplus::DllExports;

namespace {

constexpr COLORREF kAxisColour = 0x808080;
constexpr ARGB kGridColour = 0x7F7F7F7F;
constexpr ARGB kBandColour = 0x4000FF00;
constexpr COLORREF kPictureKeyColour = 0xFFFFFF;
// Points per polyline call with a pen wider than a pixel (see ChartTraceReducer).
constexpr int kWidePenBatch = 32;

// COLORREF 0x00BBGGRR to GDI+ ARGB with the given alpha.
ARGB ToArgb(COLORREF colour, unsigned alpha) {
  const ARGB r = GetRValue(colour), g = GetGValue(colour), b = GetBValue(colour);
  return (static_cast<ARGB>(alpha & 0xFF) << 24) | (r << 16) | (g << 8) | b;
}

// Text measurement for the layout, selecting the chart's fonts as needed.
struct GdiMeasure {
  HDC dc;
  HFONT fonts[4];
  int selected;  // role whose font is selected, -1 = none yet
};

ChartTextSize MeasureWithDc(void* context, ChartFont font, const wchar_t* text, int length) {
  GdiMeasure* m = static_cast<GdiMeasure*>(context);
  const int role = static_cast<int>(font);
  if (m->selected != role) {
    if (m->fonts[role]) SelectObject(m->dc, m->fonts[role]);
    m->selected = role;
  }
  SIZE size{0, 0};
  GetTextExtentPoint32W(m->dc, text, length, &size);
  return ChartTextSize{static_cast<int>(size.cx), static_cast<int>(size.cy)};
}

int TextChars(const wchar_t* text) {
  return text ? static_cast<int>(wcsnlen(text, kChartTextChars - 1)) : 0;
}

void PutText(HDC dc, HFONT font, int x, int y, const wchar_t* text, int length) {
  if (font) SelectObject(dc, font);
  TextOutW(dc, x, y, text, length);
}

// Trace output to GDI: the current position, polylines and sample dots.
struct GdiTraceOut {
  HDC dc;
  void Move(int x, int y) { MoveToEx(dc, x, y, nullptr); }
  void Lines(const ChartPixel* p, int n) {
    static_assert(sizeof(ChartPixel) == sizeof(POINT), "ChartPixel matches POINT");
    PolylineTo(dc, reinterpret_cast<const POINT*>(p), static_cast<DWORD>(n));
  }
  void Dot(int x, int y) { Ellipse(dc, x - 2, y - 2, x + 2, y + 2); }
};

using GradientFillProc = BOOL(WINAPI*)(HDC, PTRIVERTEX, ULONG, PVOID, ULONG, ULONG);

GradientFillProc LoadGradientFill() {
  static GradientFillProc proc = [] {
    HMODULE module = LoadLibraryW(L"msimg32.dll");
    return module ? reinterpret_cast<GradientFillProc>(
                        reinterpret_cast<void*>(GetProcAddress(module, "GradientFill")))
                  : nullptr;
  }();
  return proc;
}

void FillTranslucentRect(HDC dc, ARGB colour, int x, int y, int w, int h) {
  if (w <= 0 || h <= 0) return;
  GpGraphics* graphics = nullptr;
  if (GdipCreateFromHDC(dc, &graphics) != Gdiplus::Ok || !graphics) return;
  GpSolidFill* brush = nullptr;
  if (GdipCreateSolidFill(colour, &brush) == Gdiplus::Ok && brush) {
    GdipFillRectangleI(graphics, reinterpret_cast<GpBrush*>(brush), x, y, w, h);
    GdipDeleteBrush(reinterpret_cast<GpBrush*>(brush));
  }
  GdipDeleteGraphics(graphics);
}

}  // namespace

void GradientRect(HDC dc, const RECT* r, COLORREF topColour, COLORREF bottomColour) {
  GradientFillProc gradientFill = LoadGradientFill();
  if (!gradientFill || !r) return;
  TRIVERTEX vertices[2] = {};
  vertices[0].x = r->left - 1;
  vertices[0].y = r->top - 1;
  vertices[0].Red = static_cast<COLOR16>(GetRValue(topColour) << 8);
  vertices[0].Green = static_cast<COLOR16>(GetGValue(topColour) << 8);
  vertices[0].Blue = static_cast<COLOR16>(GetBValue(topColour) << 8);
  vertices[0].Alpha = 0;
  vertices[1].x = r->right;
  vertices[1].y = r->bottom;
  vertices[1].Red = static_cast<COLOR16>(GetRValue(bottomColour) << 8);
  vertices[1].Green = static_cast<COLOR16>(GetGValue(bottomColour) << 8);
  vertices[1].Blue = static_cast<COLOR16>(GetBValue(bottomColour) << 8);
  vertices[1].Alpha = 0;
  GRADIENT_RECT rect = {0, 1};
  gradientFill(dc, vertices, 2, &rect, 1, GRADIENT_FILL_RECT_V);
}

int LineChart::Draw(HDC dc, int left, int top) {
  HGDIOBJ startFont = GetCurrentObject(dc, OBJ_FONT);
  HGDIOBJ startPen = GetCurrentObject(dc, OBJ_PEN);
  HGDIOBJ startBrush = GetCurrentObject(dc, OBJ_BRUSH);
  SetBkMode(dc, TRANSPARENT);

  GdiMeasure measure{dc, {axisFont, verticalFont, titleFont, xTitleFont}, -1};
  const ChartTextMeasurer measurer{MeasureWithDc, &measure};
  const ChartLayout layout = LayOutChart(*this, left, top, measurer);

  // Titles.
  if (layout.showTitle) PutText(dc, titleFont, left, top, title, TextChars(title));
  if (layout.showYAxisTitle) {
    PutText(dc, axisFont, left, layout.yAxisTitleY, yAxisTitle, TextChars(yAxisTitle));
  }
  if (layout.showXAxisTitle) {
    PutText(dc, xTitleFont, layout.xAxisTitleX, layout.xAxisTitleY, xAxisTitle, TextChars(xAxisTitle));
  }

  // Category labels, centred on their slots.
  if (layout.category) {
    if (verticalFont) SelectObject(dc, verticalFont);
    for (long long i = 0; i < layout.slotCount; i += layout.labelStep) {
      const wchar_t* label = categoryLabel[i];
      const int length = TextChars(label);
      SIZE size{0, 0};
      GetTextExtentPoint32W(dc, label ? label : L"", length, &size);
      if (length > 0) TextOutW(dc, CategoryLabelX(layout, i, size.cy), layout.tickLabelY, label, length);
    }
  }

  // Plot fill.
  RECT plot{layout.plotLeft, layout.plotTop, layout.right, layout.plotBottom};
  if (useGradient) {
    GradientRect(dc, &plot, plotColour, gradientEndColour);
  } else if (plotColour != 0) {
    HBRUSH fill = CreateSolidBrush(plotColour);
    FillRect(dc, &plot, fill);
    DeleteObject(fill);
  }

  // Background picture: tiled over the plot, then once more centred with its
  // white pixels left out.
  if (HBITMAP picture = backgroundImage) {
    HBRUSH pattern = CreatePatternBrush(picture);
    if (pattern) {
      HGDIOBJ previous = SelectObject(dc, pattern);
      Rectangle(dc, plot.left, plot.top, plot.right, plot.bottom);
      SelectObject(dc, previous);
      DeleteObject(pattern);
    }
    BITMAP info{};
    if (GetObjectW(picture, sizeof(info), &info) == sizeof(info) && info.bmWidth > 0 && info.bmHeight > 0) {
      const ChartPicturePlacement at = PicturePlacement(layout, info.bmWidth, info.bmHeight);
      HDC source = CreateCompatibleDC(dc);
      if (source) {
        HGDIOBJ previous = SelectObject(source, picture);
        if (at.w > 0 && at.h > 0) {
          TransparentBlt(dc, at.x, at.y, at.w, at.h, source, 0, 0, info.bmWidth, info.bmHeight,
                         kPictureKeyColour);
        }
        SelectObject(source, previous);
        DeleteDC(source);
      }
    }
  }

  // Dotted grid (GDI+), never at the axes themselves.
  if (showGrid) {
    GpGraphics* graphics = nullptr;
    if (GdipCreateFromHDC(dc, &graphics) == Gdiplus::Ok && graphics) {
      GpPen* pen = nullptr;
      if (GdipCreatePen1(kGridColour, static_cast<Gdiplus::REAL>(gridLineWidth), Gdiplus::UnitWorld, &pen) ==
              Gdiplus::Ok &&
          pen) {
        GdipSetPenDashStyle(pen, Gdiplus::DashStyleDot);
        for (int k = 1; k <= layout.yDivisions; ++k) {
          const int y = GridRowY(layout, k);
          GdipDrawLineI(graphics, pen, layout.plotLeft, y, layout.right, y);
        }
        if (!layout.category) {
          for (int k = 1; k <= layout.xDivisions; ++k) {
            const int x = GridColumnX(layout, k);
            GdipDrawLineI(graphics, pen, x, layout.plotBottom, x, layout.plotTop);
          }
        } else {
          for (long long i = 0; i < layout.slotCount; i += layout.labelStep) {
            const int x = CategorySlotX(layout, i);
            GdipDrawLineI(graphics, pen, x, layout.plotBottom, x, layout.plotTop);
          }
        }
        GdipDeletePen(pen);
      }
      GdipDeleteGraphics(graphics);
    }
  }

  // Tick labels.
  wchar_t text[64];
  if (showYLabels) {
    if (axisFont) SelectObject(dc, axisFont);
    for (int k = 0; k <= layout.yDivisions; ++k) {
      const int length = FormatYLabel(layout, k, text, 64);
      if (length <= 0) continue;
      SIZE size{0, 0};
      GetTextExtentPoint32W(dc, text, length, &size);
      TextOutW(dc, left, YLabelY(layout, k, size.cy), text, length);
    }
  }
  if (showXLabels && !layout.category) {
    if (verticalFont) SelectObject(dc, verticalFont);
    for (int k = 0; k <= layout.xDivisions; ++k) {
      const int length = FormatXLabel(layout, k, text, 64);
      if (length <= 0) continue;
      SIZE size{0, 0};
      GetTextExtentPoint32W(dc, text, length, &size);
      TextOutW(dc, XLabelX(layout, k, size.cy), layout.tickLabelY, text, length);
    }
  }

  // Axes.
  HPEN axisPen = CreatePen(PS_SOLID, axisLineWidth, kAxisColour);
  SelectObject(dc, axisPen);
  MoveToEx(dc, yAxisLine.from.x, yAxisLine.from.y, nullptr);
  LineTo(dc, yAxisLine.to.x, yAxisLine.to.y);
  MoveToEx(dc, xAxisLine.from.x, xAxisLine.from.y, nullptr);
  LineTo(dc, xAxisLine.to.x, xAxisLine.to.y);
  SelectObject(dc, startPen);
  DeleteObject(axisPen);

  // Series: band, then trace.
  const int shown = ShownSeries(*this);
  for (int s = 0; s < shown; ++s) {
    const float low = bandLow[s];
    const float high = bandHigh[s];
    if (low < high) {
      const ChartBand band = BandGeometry(layout, low, high);
      GpGraphics* graphics = nullptr;
      if (GdipCreateFromHDC(dc, &graphics) == Gdiplus::Ok && graphics) {
        GpSolidFill* brush = nullptr;
        if (band.fillHeight > 0 && GdipCreateSolidFill(kBandColour, &brush) == Gdiplus::Ok && brush) {
          GdipFillRectangleI(graphics, reinterpret_cast<GpBrush*>(brush), layout.plotLeft, band.fillTop,
                             layout.plotW, band.fillHeight);
          GdipDeleteBrush(reinterpret_cast<GpBrush*>(brush));
        }
        GpPen* pen = nullptr;
        if (GdipCreatePen1(ToArgb(seriesColour[s], 0x40), 1.0f, Gdiplus::UnitWorld, &pen) == Gdiplus::Ok &&
            pen) {
          GdipSetPenDashStyle(pen, Gdiplus::DashStyleDot);
          GdipDrawLineI(graphics, pen, layout.plotLeft, band.edgeTop, layout.right, band.edgeTop);
          GdipDrawLineI(graphics, pen, layout.plotLeft, band.edgeBottom, layout.right, band.edgeBottom);
          GdipDeletePen(pen);
        }
        GdipDeleteGraphics(graphics);
      }
    }

    HPEN tracePen = CreatePen(PS_SOLID, lineWidth[s], seriesColour[s]);
    SelectObject(dc, tracePen);
    GdiTraceOut out{dc};
    ChartTraceReducer<GdiTraceOut> reducer(out, lineWidth[s] > 1 ? kWidePenBatch : ChartTraceReducer<GdiTraceOut>::kMaxBatch);
    if (layout.category) {
      WalkCategoryTrace(*this, layout, s, reducer);
    } else {
      WalkXyTrace(*this, layout, s, reducer);
    }
    reducer.Finish();
    SelectObject(dc, startPen);
    DeleteObject(tracePen);
  }

  SelectObject(dc, startBrush);
  SelectObject(dc, startFont);
  return 0;
}

int LineChart::ShadeRect(HDC dc, int fromCurrent, float lowY, int toCurrent, float highY, int r, int g,
                         int b) {
  const OverlayMapping m = OverlayFromChart(*this, config.currentStepMa.load());
  const OverlayRect rect = ShadeRectGeometry(m, fromCurrent, lowY, toCurrent, highY);
  FillTranslucentRect(dc, ToArgb(RGB(r & 0xFF, g & 0xFF, b & 0xFF), 0x40), rect.x, rect.y, rect.w, rect.h);
  return 0;
}

int LineChart::ShadePolygon(HDC dc, const int* currents, const float* ys, int n, int r, int g, int b) {
  const OverlayMapping m = OverlayFromChart(*this, config.currentStepMa.load());
  ChartPixel vertices[6];
  const int count = ShadePolygonGeometry(m, currents, ys, n, vertices);
  if (count < 1) return 0;
  GpPoint points[6];
  for (int k = 0; k < count; ++k) points[k] = GpPoint(vertices[k].x, vertices[k].y);
  GpGraphics* graphics = nullptr;
  if (GdipCreateFromHDC(dc, &graphics) != Gdiplus::Ok || !graphics) return 0;
  GpSolidFill* brush = nullptr;
  if (GdipCreateSolidFill(ToArgb(RGB(r & 0xFF, g & 0xFF, b & 0xFF), 0x40), &brush) == Gdiplus::Ok && brush) {
    GdipFillPolygonI(graphics, reinterpret_cast<GpBrush*>(brush), points, count, Gdiplus::FillModeAlternate);
    GdipDeleteBrush(reinterpret_cast<GpBrush*>(brush));
  }
  GdipDeleteGraphics(graphics);
  return 0;
}
