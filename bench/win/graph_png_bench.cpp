// Times the PNG save of a full graph as "Save Graph" does it: the chart drawn
// into a 24-bit off-screen bitmap of the graph control's size, then encoded by
// the system's PNG encoder to a file. Cases: a full real-time series of 131072
// samples and a sweep of 1021 steps. Prints draw and save times and file sizes.
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "core/chart/line_chart.h"
#include "window/graphs/graph_window_win.h"
#include "core/base/shared_state.h"

namespace {

// The graph control at the template's size, plus 5 pixels each way.
constexpr int kImageW = 1205;
constexpr int kImageH = 515;
constexpr int kRuns = 5;

double NowMs() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

std::unique_ptr<LineChart> FullSeries() {
  auto chart = std::make_unique<LineChart>();
  chart->SetPlotColours(0, 0, 0);
  chart->showGrid = 1;
  chart->SetYRange(3.0f, 7.0f);
  chart->SetYDivisions(8);
  chart->SetXRange(0.0, 131072.0);
  chart->SetSeriesCount(1);
  chart->seriesColour[0] = 0;
  chart->lineWidth[0] = 2;
  for (int i = 0; i < kMaxPoints; ++i) chart->AddPoint(0, i, 5.0 + 0.05 * std::sin(i * 0.01));
  chart->width = kImageW - 25;
  chart->height = kImageH - 35;
  return chart;
}

std::unique_ptr<LineChart> SweepChart() {
  auto chart = std::make_unique<LineChart>();
  chart->SetPlotColours(0, 0, 0);
  chart->showGrid = 1;
  chart->categoryMode = 1;
  chart->SetTitle(L"Voltage vs. Current");
  chart->SetYRange(3.0f, 7.0f);
  chart->SetYDivisions(8);
  chart->SetXDivisions(31);
  chart->SetSeriesCount(1);
  wchar_t label[16];
  for (int i = 0; i < 1021; ++i) {
    chart->SetCategoryValue(0, i, 5.0f - i * 0.0008f);
    std::swprintf(label, 16, L"%d", i * 5);
    chart->SetCategoryLabel(i, label);
  }
  chart->SetCategoryCount(0, 1021);
  chart->width = kImageW - 25;
  chart->height = kImageH - 35;
  return chart;
}

void Measure(const char* name, LineChart& chart, const wchar_t* path) {
  CLSID png;
  if (FindEncoderClsid(L"image/png", &png) < 0) {
    std::printf("%s: no PNG encoder\n", name);
    return;
  }
  std::vector<double> draws, saves;
  long long size = 0;
  for (int run = 0; run < kRuns; ++run) {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = kImageW;
    info.bmiHeader.biHeight = kImageH;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, dib);
    const double t0 = NowMs();
    Rectangle(memory, 0, 0, kImageW, kImageH);
    chart.Draw(memory, 5, 5);
    const double t1 = NowMs();
    Gdiplus::GpBitmap* image = nullptr;
    Gdiplus::DllExports::GdipCreateBitmapFromHBITMAP(dib, nullptr, &image);
    Gdiplus::DllExports::GdipSaveImageToFile(image, path, &png, nullptr);
    Gdiplus::DllExports::GdipDisposeImage(image);
    const double t2 = NowMs();
    draws.push_back(t1 - t0);
    saves.push_back(t2 - t1);
    SelectObject(memory, old);
    DeleteObject(dib);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(path, GetFileExInfoStandard, &data)) size = data.nFileSizeLow;
  }
  std::sort(draws.begin(), draws.end());
  std::sort(saves.begin(), saves.end());
  std::printf("%-28s draw median %7.2f ms   PNG encode+write median %7.2f ms   file %lld bytes (%dx%d)\n", name,
              draws[kRuns / 2], saves[kRuns / 2], size, kImageW, kImageH);
}

}  // namespace

int main() {
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  std::wstring path = std::wstring(folder) + L"loadpost-bench.png";
  {
    auto full = FullSeries();
    Measure("real-time, 131072 samples", *full, path.c_str());
    auto sweep = SweepChart();
    Measure("sweep, 1021 steps", *sweep, path.c_str());
  }
  DeleteFileW(path.c_str());
  Gdiplus::GdiplusShutdown(token);
  return 0;
}
