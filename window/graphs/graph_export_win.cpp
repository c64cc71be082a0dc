// "Save Graph" and "Export CSV" of the graph window: the graph rendered
// off-screen into a PNG file through the system's GDI+ encoder, and the sweep's
// measurements as CSV in the default save folder.
#include <windows.h>
#include <commdlg.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "core/graphs/graph_run.h"
#include "window/graphs/graph_window_win.h"
#include "core/graphs/sweep_csv.h"
#include "core/graphs/sweep_plan.h"
#include "window/resources/resource_ids.h"
#include "window/shell/app_win.h"
#include "window/shell/save_dialog_win.h"
#include "core/base/shared_state.h"

using namespace Gdiplus::DllExports;

namespace {

constexpr const wchar_t* kErrorCaption = L"Loadpost Error";

void ShowError(HWND owner, const wchar_t* text) { MessageBoxW(owner, text, kErrorCaption, MB_OK | MB_ICONERROR); }

// The four summary lines of the real-time graph, at the lower right of the plot.
void WriteRealtimeSummary(HDC dc, const LineChart& chart) {
  LOGFONTW logFont = {};
  logFont.lfHeight = static_cast<LONG>(14.0f * uiScale);
  logFont.lfCharSet = DEFAULT_CHARSET;
  std::wcscpy(logFont.lfFaceName, L"Arial");
  HFONT font = CreateFontIndirectW(&logFont);
  HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
  const float maxV = graphSession.maxVolts;
  const float minV = graphSession.minVolts;
  const int x = chart.width - 120;
  wchar_t line[64];
  std::swprintf(line, 64, L"Set Current = %dmA", static_cast<int>(graphSession.setpointMa));
  TextOutW(dc, x, chart.height - 100, line, static_cast<int>(std::wcslen(line)));
  std::swprintf(line, 64, L"Max Voltage = %.2fV", static_cast<double>(maxV));
  TextOutW(dc, x, chart.height - 80, line, static_cast<int>(std::wcslen(line)));
  std::swprintf(line, 64, L"Min Voltage = %.2fV", static_cast<double>(minV));
  TextOutW(dc, x, chart.height - 60, line, static_cast<int>(std::wcslen(line)));
  std::swprintf(line, 64, L"Ripple = %.2fV", static_cast<double>(maxV - minV));
  TextOutW(dc, x, chart.height - 40, line, static_cast<int>(std::wcslen(line)));
  if (old) SelectObject(dc, old);
  if (font) DeleteObject(font);
}

// A palette for the GDI+ bitmap, only for a palette-based screen: GDI+ ignores
// it for a DIB section, and the screen's 2^bits entries would be millions on a
// true-colour display.
HPALETTE ScreenPalette(HDC reference) {
  if (!(GetDeviceCaps(reference, RASTERCAPS) & RC_PALETTE)) return nullptr;
  const int bits = (GetDeviceCaps(reference, BITSPIXEL) * GetDeviceCaps(reference, PLANES)) % 32;
  if (bits <= 0 || bits > 8) return nullptr;
  const int entries = 1 << bits;
  const size_t size = sizeof(LOGPALETTE) + static_cast<size_t>(entries) * sizeof(PALETTEENTRY);
  auto* palette = static_cast<LOGPALETTE*>(std::calloc(1, size));
  if (!palette) return nullptr;
  palette->palVersion = 0x300;
  palette->palNumEntries = static_cast<WORD>(entries);
  GetSystemPaletteEntries(reference, 0, static_cast<UINT>(entries), palette->palPalEntry);
  HPALETTE handle = CreatePalette(palette);
  std::free(palette);
  return handle;
}

}  // namespace

int FindEncoderClsid(const wchar_t* mimeType, CLSID* clsid) {
  if (!mimeType) return -1;
  UINT count = 0;
  UINT size = 0;
  if (GdipGetImageEncodersSize(&count, &size) != Gdiplus::Ok || size == 0) return -1;
  auto* codecs = static_cast<Gdiplus::ImageCodecInfo*>(std::malloc(size));
  if (!codecs) return -1;
  if (GdipGetImageEncoders(count, size, codecs) != Gdiplus::Ok) {
    std::free(codecs);
    return -1;
  }
  for (UINT i = 0; i < count; ++i) {
    if (codecs[i].MimeType && std::wcscmp(codecs[i].MimeType, mimeType) == 0) {
      if (clsid) *clsid = codecs[i].Clsid;
      std::free(codecs);
      return static_cast<int>(i);
    }
  }
  std::free(codecs);
  return -1;
}

void SaveGraphImage(HWND dialog) {
  wchar_t path[MAX_PATH] = L"";
  OPENFILENAMEW dialogData = {};
  dialogData.lStructSize = sizeof(dialogData);
  dialogData.hwndOwner = dialog;
  dialogData.hInstance = appInstance;
  dialogData.lpstrFilter = L"PNG file\0*.PNG\0";
  dialogData.lpstrFile = path;
  dialogData.nMaxFile = MAX_PATH;
  dialogData.lpstrDefExt = L"png";
  dialogData.Flags = OFN_EXPLORER | OFN_CREATEPROMPT | OFN_OVERWRITEPROMPT;
  if (!GetSaveFileNameW(&dialogData)) return;

  HCURSOR oldCursor = SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_WAIT)));
  HDC reference = GetWindowDC(mainWindow);
  HDC memory = CreateCompatibleDC(reference);
  if (!memory) {
    ReleaseDC(mainWindow, reference);
    SetCursor(oldCursor);
    ShowError(dialog, L"Error creating graph (device context).");
    return;
  }

  RECT controlRect = {};
  GetWindowRect(graphControl ? graphControl : GetDlgItem(dialog, IDC_GRAPH), &controlRect);
  const int width = controlRect.right - controlRect.left + 5;
  const int height = controlRect.bottom - controlRect.top + 5;
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = height;  // bottom-up
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP image = CreateDIBSection(reference, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!image) {
    DeleteDC(memory);
    ReleaseDC(mainWindow, reference);
    SetCursor(oldCursor);
    ShowError(dialog, L"Error creating graph (allocating memory bitmap system resource).");
    return;
  }

  HGDIOBJ oldBitmap = SelectObject(memory, image);
  DrawGraphOnWhite(memory, width, height);
  if (graphSession.mode == RealTime && graphSession.chart) WriteRealtimeSummary(memory, *graphSession.chart);
  GdiFlush();
  SelectObject(memory, oldBitmap);

  HPALETTE palette = ScreenPalette(reference);
  Gdiplus::GpBitmap* bitmap = nullptr;
  if (GdipCreateBitmapFromHBITMAP(image, palette, &bitmap) != Gdiplus::Ok) bitmap = nullptr;

  SetCursor(oldCursor);
  CLSID encoder;
  if (FindEncoderClsid(L"image/png", &encoder) < 0) {
    ShowError(dialog, L"Failed to load image encoder.");
  } else if (!bitmap || GdipSaveImageToFile(bitmap, path, &encoder, nullptr) != Gdiplus::Ok) {
    ShowError(dialog,
              L"Could not save to image file.\nCheck that the appropriate permissions are set for the file/directory.");
  } else {
    wchar_t text[MAX_PATH + 64];
    std::swprintf(text, MAX_PATH + 64, L"Graph was successfully saved to image file: %ls", path);
    MessageBoxW(dialog, text, L"Loadpost", MB_OK);
  }

  if (bitmap) GdipDisposeImage(bitmap);
  DeleteDC(memory);
  ReleaseDC(mainWindow, reference);
  DeleteObject(image);
  if (palette) DeleteObject(palette);
}

void ExportSweepCsv(HWND dialog) {
  // The dialog opens in the default folder: the separator after it makes the
  // folder the place to save in rather than a file name to offer.
  MakeDefaultSaveFolder(savePath, kSavePathChars);
  if (savePath[0]) AppendPathText(savePath, kSavePathChars, L"\\");
  if (!PromptSaveFile(dialog, savePath, saveFileTitle, L"CSV Files (*.CSV)\0*.csv\0", L"csv",
                      L"Select a csv file name", kErrorCaption)) {
    return;
  }
  // The test thread has ended (the button is enabled only then): the table is
  // stable. Rows follow the run's own step and end, whatever changed since.
  wchar_t text[kSavePathChars + 64] = L"";
  switch (WriteFileBytes(savePath, RunCsv(graphSession))) {
    case FileWriteResult::Ok:
      return;
    case FileWriteResult::OpenFailed:
      std::swprintf(text, kSavePathChars + 64, L"Unable to create the CSV file %ls", savePath);
      break;
    case FileWriteResult::WriteFailed:
      std::swprintf(text, kSavePathChars + 64, L"Unable to write the whole CSV file %ls", savePath);
      break;
  }
  ShowError(dialog, text);
}
