// The graph window (dialog template 104) and its exports. GraphWindowProc
// itself is declared in shell/app_win.h, where the main window finds it.
#pragma once

#include <windows.h>

#include "core/chart/line_chart.h"
#include "core/graphs/graph_run.h"

// The open graph dialog and its graph control (null while none is open).
extern HWND graphWindow;
extern HWND graphControl;
// The run of the graph window (one at a time), shared by its test thread,
// its drawing and its exports.
extern GraphSession graphSession;
// Client size at the last resize.
extern int lastClientWidth;
extern int lastClientHeight;

// Private messages of the graph window (posted by its test thread).
constexpr UINT kMsgGraphStatus = WM_APP + 20;     // the status line has a new text
constexpr UINT kMsgGraphTestEnded = WM_APP + 21;  // wParam: the run that ended
constexpr UINT_PTR kGraphRefreshTimerId = 1;
constexpr UINT kGraphRefreshMs = 10;

LRESULT CALLBACK GraphControlProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam);

// Draws the chart at (5, 5) and the overlays of the current mode: the
// real-time legend and acceptable band, or the sweep's regions and legend.
// Does nothing while no chart exists.
void DrawGraph(HDC dc);
// Fills (0, 0)-(width, height) white with a one-pixel black outline, then DrawGraph.
void DrawGraphOnWhite(HDC dc, int width, int height);

// Prepares the chart for a run from the window's tester state and empties the status line.
void SetUpChart(HWND dialog, LineChart* chart);

// The test thread; its argument is the dialog.
DWORD WINAPI TestThread(LPVOID dialog);

// "Save Graph": the graph as a PNG file. "Export CSV": the sweep as CSV.
void SaveGraphImage(HWND dialog);
void ExportSweepCsv(HWND dialog);

// Index of the GDI+ image encoder for a MIME type (exact, case-sensitive) with
// its class identifier, or -1.
int FindEncoderClsid(const wchar_t* mimeType, CLSID* clsid);
