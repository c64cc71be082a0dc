// Process-wide objects of the Win32 program and the operations the main window
// dispatches to. Each operation lives in the folder of its subsystem.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "core/base/instance_registry_win.h"

// ---- Shell (shell/) --------------------------------------------------------
extern HINSTANCE appInstance;
extern HWND mainWindow;
extern DWORD uiThreadId;
extern CRITICAL_SECTION selectLock;
extern wchar_t selectedSerial[32];

extern HBRUSH whiteBrush;
extern HFONT logTextFont;
extern HFONT headerFont;
extern int logRowHeight;

// GradientFill from Msimg32.dll when the system has it, else null.
using GradientFillFn = BOOL(WINAPI*)(HDC, PTRIVERTEX, ULONG, PVOID, ULONG, ULONG);
extern HMODULE gradientLibrary;
extern GradientFillFn gradientFill;

// Notices of the tester (manual-reset), created by InitMainWindow before the
// monitor thread starts.
extern HANDLE portAttachedNotice;
extern HANDLE portDetachedNotice;
extern HANDLE newProfileNotice;
extern HANDLE capabilityChangedNotice;

constexpr UINT_PTR kLogLineTimerId = 3;

// Private messages of the main window.
constexpr UINT kMsgLogChanged = WM_APP + 1;   // a worker thread added log records
constexpr UINT kMsgRunUiActions = WM_APP + 2; // a worker thread queued control updates

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void InitMainWindow(HWND window);
// After the main window is gone: false when a worker thread did not end in
// time (what it uses was then not freed, and the process must end at once).
bool WorkerThreadsStopped();
void CenterWindowOver(HWND window, HWND reference);
// The whole text of a dialog control (an edit's content however long it is).
std::wstring DialogItemText(HWND dialog, int id);
INT_PTR DialogBoxShellFont(HINSTANCE instance, int templateId, HWND owner, DLGPROC procedure, LPARAM parameter);
void OpenGraphWindow(HWND window);
// Formats and logs the periodic measurement line (timer 3).
void LogMeasurementLine();

// Log window (shell/log_window_win.cpp).
void PaintLogWindow(bool withHeader);
void UpdateLogScrollRange();
void ScrollLog(WPARAM request);
void ClearLog(HWND window);
void SetLogWindowRect(const RECT& rect);
// Brings the log window up to date after records were added (UI thread).
void RefreshLogWindow();

// Tester list and selection (shell/tester_list_win.cpp).
void ScanTesters(HWND window);
void AddTesterToList(HWND window, const wchar_t* serial);
int FindListEntry(HWND list, const wchar_t* text);
// Connects the tester the Device list shows; the waiting runs off the window
// thread (ConnectingTester() meanwhile).
void SelectTester(HWND window);
bool ConnectingTester();
enum TesterListAction { Removed = 1, Arrived = 2 };
void UpdateTesterList(HWND window, int action, const wchar_t* serial);
void OnTesterNotice(int n);

// Instance registry (core/base/instance_registry_win.h) and device
// notifications (window/shell/usb_notices_win.cpp).
void OpenInstanceRegistry();  // OpenTesterRegistry, with a message box when it fails
void ReleaseUsbNotifications();
void RegisterUsbNotifications(HWND window);
void OnDeviceChange(HWND window, WPARAM event, LPARAM data);

// Log export (shell/log_export_win.cpp), About and Help (shell/about_help_win.cpp).
void SaveLog(HWND window);
void ShowAboutBox(HWND window);
void OpenUserGuide(HWND window);

// ---- Tester link and monitoring (link/) -------------------------------------
DWORD WINAPI MonitorLoop(LPVOID mainWindowHandle);
// Ends MonitorLoop after its current pass (at exit); its pauses end at once.
void StopMonitorLoop();
// The monitor core that MonitorLoop runs (connect, readings, the graph test's feed).
class MonitorCore;
MonitorCore& Monitor();
void CloseTesterLink();
uint8_t TesterHardwareRevision();
void OnVoltageListSelect(HWND window);
void OnSetVoltage(HWND window);
void OnSetLoad(HWND window);
void OnSliderScroll(HWND window, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK CalibrationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// ---- Graphs (graphs/) ---------------------------------------------------------
INT_PTR CALLBACK GraphWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// At exit: stops a running graph test and waits for its thread; true when none is left.
bool StopGraphTestForExit();

// ---- Configuration (config/) -------------------------------------------------
INT_PTR CALLBACK ConfigDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
