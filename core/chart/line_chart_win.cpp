// Win32 side of LineChart's resources: the fonts it is made with, its
// background picture (read through GDI+), and the GDI objects it owns freed
// with it. Every program that makes charts needs this, also one that never
// draws them (the command line's reports); the drawing is the window's
// (window/chart/line_chart_draw_win.cpp).
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cwchar>

#include "core/base/shared_state.h"
#include "core/chart/line_chart.h"

using Gdiplus::GpBitmap;
using Gdiplus::GpImage;
using namespace Gdiplus::DllExports;

namespace {

HFONT CreateChartFont(int height, int escapement) {
  LOGFONTW font{};
  font.lfHeight = static_cast<LONG>(static_cast<float>(height) * uiScale);
  font.lfEscapement = escapement;
  font.lfCharSet = DEFAULT_CHARSET;
  std::wcscpy(font.lfFaceName, L"Arial");
  return CreateFontIndirectW(&font);
}

// Copies a picture into a 24-bit DIB section. Without an alpha byte, the white
// key colour of TransparentBlt matches the white pixels everywhere (Wine
// compares the whole 32-bit pixel of a 32-bit source, alpha included).
HBITMAP ToOpaqueBitmap(HBITMAP source, int w, int h) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP copy = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!copy) return nullptr;
  HDC from = CreateCompatibleDC(nullptr);
  HDC to = CreateCompatibleDC(nullptr);
  bool copied = false;
  if (from && to) {
    HGDIOBJ oldFrom = SelectObject(from, source);
    HGDIOBJ oldTo = SelectObject(to, copy);
    copied = BitBlt(to, 0, 0, w, h, from, 0, 0, SRCCOPY) != 0;
    SelectObject(from, oldFrom);
    SelectObject(to, oldTo);
  }
  if (from) DeleteDC(from);
  if (to) DeleteDC(to);
  if (!copied) {
    DeleteObject(copy);
    return nullptr;
  }
  return copy;
}

}  // namespace

LineChart::LineChart() {
  SetDefaults();
  axisFont = CreateChartFont(12, 0);
  verticalFont = CreateChartFont(11, 900);
  titleFont = CreateChartFont(24, 0);
  xTitleFont = CreateChartFont(12, 0);
}

LineChart::~LineChart() {
  FreeTexts();
  HGDIOBJ owned[] = {axisFont, verticalFont, titleFont, xTitleFont, backgroundImage};
  for (HGDIOBJ object : owned) {
    if (object) DeleteObject(object);
  }
}

int LineChart::SetBackgroundImage(const wchar_t* path) {
  if (!path) {
    if (backgroundImage) DeleteObject(backgroundImage);
    backgroundImage = nullptr;
    return 1;
  }
  GpBitmap* picture = nullptr;
  if (GdipCreateBitmapFromFile(path, &picture) != Gdiplus::Ok || !picture) return 0;
  UINT w = 0, h = 0;
  GdipGetImageWidth(reinterpret_cast<GpImage*>(picture), &w);
  GdipGetImageHeight(reinterpret_cast<GpImage*>(picture), &h);
  HBITMAP bitmap = nullptr;
  if (w > 0 && h > 0 && w <= 0x7FFFFFFF && h <= 0x7FFFFFFF) {
    // Transparent parts of the picture become opaque white.
    HBITMAP composed = nullptr;
    if (GdipCreateHBITMAPFromBitmap(picture, &composed, 0xFFFFFFFF) == Gdiplus::Ok && composed) {
      bitmap = ToOpaqueBitmap(composed, static_cast<int>(w), static_cast<int>(h));
      DeleteObject(composed);
    }
  }
  GdipDisposeImage(reinterpret_cast<GpImage*>(picture));
  if (!bitmap) return 0;
  HBITMAP old = backgroundImage;
  backgroundImage = bitmap;
  if (old) DeleteObject(old);
  return 1;
}
