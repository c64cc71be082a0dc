// Times LineChart::Draw into an off-screen 1200 x 600 context against the graph
// window's 10 ms refresh: a full XY series of 131072 samples and a sweep of
// 1021 category steps. Run by hand under Wine; prints one line per case with
// the median and best time and the ratio median / 10 ms.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/chart/chart_layout.h"
#include "core/chart/line_chart.h"
#include "window/shell/app_tester_win.h"

namespace {

constexpr int kCanvasW = 1200;
constexpr int kCanvasH = 600;
constexpr double kBudgetMs = 10.0;

double NowMs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

struct Canvas {
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ old = nullptr;
  Canvas() {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = kCanvasW;
    info.bmiHeader.biHeight = -kCanvasH;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    dc = CreateCompatibleDC(nullptr);
    bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    old = SelectObject(dc, bitmap);
  }
  ~Canvas() {
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
  void Clear() const {
    RECT all{0, 0, kCanvasW, kCanvasH};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  }
};

// Set up as the graph window does, sized as its chart in a 1200 x 600 control.
std::unique_ptr<LineChart> GraphChart(float yMin, float yMax, int divisions) {
  auto chart = std::make_unique<LineChart>();
  chart->SetPlotColours(0, 0, 0);
  chart->showGrid = 1;
  chart->gridLineWidth = 1;
  chart->seriesColour[0] = 0;
  chart->SetXAxisTitle(L"Current (mA)", 0);
  chart->SetYAxisTitle(L"Voltage");
  chart->SetYRange(yMin, yMax);
  chart->SetYDivisions(divisions);
  chart->showXLabels = 0;
  chart->SetSeriesCount(1);
  chart->width = kCanvasW - 20;
  chart->height = kCanvasH - 30;
  return chart;
}

// Runs paint `rounds` times (after three unmeasured rounds) and prints the
// median and best time; the ratio is median / 10 ms. The median keeps a busy
// machine's outliers out of the figure.
template <typename Paint>
void Time(const char* name, const Canvas& canvas, int rounds, Paint paint) {
  for (int i = 0; i < 3; ++i) {
    canvas.Clear();
    paint();
  }
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    canvas.Clear();
    const double start = NowMs();
    paint();
    GdiFlush();
    times.push_back(NowMs() - start);
  }
  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];
  std::printf("%-40s median %7.3f ms  best %7.3f ms  ratio %.3f of the 10 ms refresh\n", name, median,
              times.front(), median / kBudgetMs);
}

// Every sample as its own LineTo, for comparison with Draw's reduced polyline.
struct PlainGdiSink {
  HDC dc;
  void MoveTo(int x, int y) { MoveToEx(dc, x, y, nullptr); }
  void LineTo(int x, int y) { ::LineTo(dc, x, y); }
  void Dot(int x, int y) { Ellipse(dc, x - 2, y - 2, x + 2, y + 2); }
};

}  // namespace

int main() {
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
  Canvas canvas;
  const int rounds = 40;

  {
    // Real-time graph: 131072 samples of a noisy 5 V supply, all in view.
    auto chart = GraphChart(3.0f, 7.0f, 8);
    chart->SetXAxisTitle(L"100 msecs - 1000 samples per second", 2);
    chart->SetXRange(0.0, kMaxPoints - 1.0);
    chart->SetSeriesBand(0, 4.5f, 5.25f);
    unsigned seed = 12345;
    for (int i = 0; i < kMaxPoints; ++i) {
      seed = seed * 1103515245u + 12345u;
      const double noise = static_cast<double>((seed >> 16) & 0x7FFF) / 32768.0 - 0.5;
      chart->AddPoint(0, i, 5.0 + 0.2 * std::sin(i / 900.0) + 0.1 * noise);
    }
    chart->lineWidth[0] = 2;
    Time("Draw, XY series of 131072 samples", canvas, rounds, [&] { chart->Draw(canvas.dc, 5, 5); });

    // The trace alone, reduced (as Draw does it) and with one LineTo a sample.
    chart->Draw(canvas.dc, 5, 5);
    auto traceOnly = [&](bool reduced) {
      const ChartTextMeasurer none{nullptr, nullptr};
      const ChartLayout layout = LayOutChart(*chart, 5, 5, none);
      HPEN pen = CreatePen(PS_SOLID, 2, 0);
      HGDIOBJ old = SelectObject(canvas.dc, pen);
      PlainGdiSink plain{canvas.dc};
      if (reduced) {
        struct Out {
          HDC dc;
          void Move(int x, int y) { MoveToEx(dc, x, y, nullptr); }
          void Lines(const ChartPixel* p, int n) {
            PolylineTo(dc, reinterpret_cast<const POINT*>(p), static_cast<DWORD>(n));
          }
          void Dot(int x, int y) { Ellipse(dc, x - 2, y - 2, x + 2, y + 2); }
        } out{canvas.dc};
        ChartTraceReducer<Out> reducer(out, 32);  // as Draw batches a 2-pixel pen
        WalkXyTrace(*chart, layout, 0, reducer);
        reducer.Finish();
      } else {
        WalkXyTrace(*chart, layout, 0, plain);
      }
      SelectObject(canvas.dc, old);
      DeleteObject(pen);
    };
    Time("  trace only, reduced polyline", canvas, rounds, [&] { traceOnly(true); });
    Time("  trace only, one LineTo per sample", canvas, 10, [&] { traceOnly(false); });
  }

  {
    // Sweep to 5100 mA in 5 mA steps: 1021 category steps, half measured.
    config.currentStepMa = 5;
    const int steps = 5100 / 5 + 1;
    auto chart = GraphChart(0.0f, 6.0f, 12);
    chart->SetTitle(L"Voltage vs. Current");
    chart->SetXRange(0.0, 5100.0);
    chart->categoryMode = 1;
    int divisions = 5100 / 5;
    while (divisions > 60) divisions >>= 1;
    chart->SetXDivisions(divisions);
    wchar_t label[32];
    for (int i = 0; i < steps; ++i) {
      const float v = i < 600 ? 5.1f - 0.0004f * i : static_cast<float>(kNoValue);
      chart->SetCategoryValue(0, i, v);
      std::swprintf(label, 32, L"%llu", static_cast<unsigned long long>(i) * 5ull);
      chart->SetCategoryLabel(i, label);
    }
    chart->SetCategoryCount(0, steps);
    chart->showDots[0] = 0;
    chart->lineWidth[0] = 2;
    Time("Draw, category sweep of 1021 steps", canvas, rounds, [&] { chart->Draw(canvas.dc, 5, 5); });

    const int green[4] = {0, 5100, 5100, 0};
    const float greenV[4] = {5.25f, 5.25f, 4.75f - 5.1f * 0.834f, 4.75f};
    const int red[4] = {0, 3000, 3000, 0};
    const float redV[4] = {4.75f, 4.75f - 3.0f * 0.834f, 0.0f, 0.0f};
    Time("Draw and the 5 V port regions", canvas, rounds, [&] {
      chart->Draw(canvas.dc, 5, 5);
      chart->ShadeRect(canvas.dc, 0, 5.25f, 5100, 6.0f, 255, 0, 0);
      chart->ShadePolygon(canvas.dc, green, greenV, 4, 0, 255, 0);
      chart->ShadePolygon(canvas.dc, red, redV, 4, 255, 0, 0);
      chart->ShadeRect(canvas.dc, 3000, 0.0f, 5100, 5.25f, 100, 100, 100);
    });
  }

  Gdiplus::GdiplusShutdown(token);
  return 0;
}
