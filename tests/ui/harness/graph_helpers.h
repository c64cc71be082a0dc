// Helpers for tests of the graph window: scenarios written on the fly, the
// sweep settings through the configuration dialog, opening and finishing a
// graph, saving through its Save As dialogs, and reading pictures back
// (the window's pixels, or a PNG file decoded with GDI+).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/ui/harness/ui_harness.h"

namespace ui {


// Waits until the source's profiles are listed (the port is ready).
bool WaitForPortReady(const LoadpostApp& app, int timeoutMs = 20000);

// Sets the sweep's current and time step through the configuration dialog;
// with `allowOverLimit` also picks "Allow 20% over limit" and confirms the risk.
bool ConfigureSweepSteps(const LoadpostApp& app, int currentStepMa, int timeStepMs, bool allowOverLimit = false);

enum class GraphKind { RealTime, Sweep };
// Clicks the graph button and waits for the graph window; null when none came.
// The window (wider than the test screen at its template size) is then moved
// to the screen's top left and narrowed to fit it, so that screenshots see it.
HWND OpenGraph(const LoadpostApp& app, GraphKind kind, int timeoutMs = 10000);
// Waits until the test has ended: Close enabled and the Stop button "Repeat".
bool WaitForGraphEnd(const LoadpostApp& app, HWND graph, int timeoutMs);
// Presses Close and waits for the window to go.
bool CloseGraph(const LoadpostApp& app, HWND graph, int timeoutMs = 10000);

// Clicks `buttonId` in `owner`, waits for a Save As dialog titled `title`, saves
// as `path` (answering a create or overwrite question with Yes) and waits for
// the dialog to close. `offeredName` (if given) receives the file name the
// dialog offered.
bool SaveThrough(const LoadpostApp& app, HWND owner, int buttonId, const std::wstring& title,
                 const std::wstring& path, std::wstring* offeredName = nullptr, int timeoutMs = 15000);

// The pixels of a window as the screen shows it, with its top-level window
// raised above every other window first (other tests' windows may share the
// display).
Capture CaptureOnTop(HWND window);
// The same for a screenshot saved into the artefact folder.
std::wstring ScreenshotOnTop(const LoadpostApp& app, const std::wstring& name, HWND window);

// A PNG decoded with GDI+ (empty capture when it cannot be read).
Capture LoadPng(const std::wstring& path);
// The part of a capture inside a rectangle (clipped).
Capture Crop(const Capture& image, RECT area);

// Colours as the graph's translucent overlays leave them over white.
bool IsReddish(COLORREF c);
bool IsGreenish(COLORREF c);
// The grey of the "Permissible shut down region" alone over white.
bool IsShutDownGrey(COLORREF c);
bool IsDark(COLORREF c);
int CountPixels(const Capture& image, bool (*test)(COLORREF));

// Threads of a process (for leak checks).
int ThreadCount(DWORD processId);
// True when the window's thread answers a message within the time-out.
bool Responds(HWND window, int timeoutMs = 5000);

// The data rows of a sweep CSV (the lines after the header).
struct SweepCsvRow {
  double volts;
  int currentMa;
  double watts;
};
std::vector<SweepCsvRow> SweepCsvRows(const std::vector<std::string>& lines);

// The SetLoadCurrent frame for a current, as the frame record shows it.
std::string LoadFrameHex(int currentMa);


}  // namespace ui
