// The real-time graph against the simulated tester: its trace, band and status
// line, Stop/Repeat, its image, resizing, and Escape while it runs.
#include "tests/ui/harness/ui_harness.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cmath>
#include <cwchar>

namespace {

// Minimum, maximum and ripple from the status line; ripple NaN while not shown.
struct Status {
  float min = 0, max = 0, ripple = NAN;
};
Status ReadStatus(const ui::App& app, HWND graph) {
  Status s;
  const std::wstring text = app.Text(graph, IDC_GRAPH_STATUS);
  swscanf(text.c_str(), L"Minimum:%fV   Maximum:%fV   Ripple:%fV", &s.min, &s.max, &s.ripple);
  return s;
}

int ThreadCount(DWORD processId) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry = {sizeof(entry)};
  int n = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    n += entry.th32OwnerProcessID == processId;
  }
  CloseHandle(snapshot);
  return n;
}

TEST(RealtimeGraph, TraceBandStatusStopRepeatImageResizeAndEscape) {
  ui::App app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"ripple")) && app.WaitLive());
  HWND graph = app.OpenGraph(false);
  ASSERT_NE(graph, nullptr);
  EXPECT_FALSE(app.IsEnabled(graph, IDOK));
  EXPECT_FALSE(app.IsEnabled(graph, IDC_GRAPH_SAVE));
  // A 5 V supply with 40 mV of ripple.
  ASSERT_TRUE(ui::WaitUntil([&] { return !std::isnan(ReadStatus(app, graph).ripple); }, 5000));
  Sleep(1500);
  const Status first = ReadStatus(app, graph);
  EXPECT_GT(first.min, 4.5f);
  EXPECT_LT(first.max, 5.5f);
  EXPECT_NEAR(first.ripple, first.max - first.min, 0.011f);
  EXPECT_GT(first.ripple, 0.02f);
  // The black trace over the green band.
  app.Screenshot(L"realtime_graph", graph);
  const ui::Capture picture = ui::CaptureWindow(GetDlgItem(graph, IDC_GRAPH));
  const RECT plot{60, 40, picture.width - 10, picture.height - 60};
  EXPECT_GT(picture.Count(ui::Greenish, plot), 5000);
  EXPECT_GT(picture.Count(ui::Dark, plot), 300);
  ASSERT_TRUE(app.Click(graph, IDC_GRAPH_STOP));
  ASSERT_TRUE(app.WaitGraphEnd(graph, 5000));
  // The image is the control's size + 5, with the four summary lines at the
  // lower right of the chart (which is the control less 20 x 30).
  const std::wstring pngPath = ui::ScratchFolder() + L"\\realtime.png";
  ASSERT_TRUE(app.SaveAs(graph, IDC_GRAPH_SAVE, L"Save As", pngPath));
  EXPECT_EQ(app.TakeBox(L"Loadpost"), L"Graph was successfully saved to image file: " + pngPath);
  const ui::Capture png = ui::LoadPng(pngPath);
  ASSERT_EQ(png.width, picture.width + 5);
  ASSERT_EQ(png.height, picture.height + 5);
  EXPECT_GT(png.Count(ui::Greenish), 5000);
  const RECT summary{picture.width - 138, picture.height - 128, picture.width - 20, picture.height - 52};
  EXPECT_GT(png.Count(ui::Dark, summary), std::max(150, picture.Count(ui::Dark, summary)));
  // Repeat starts afresh (a new test thread): with the ripple gone the new extremes are close.
  const int threadsStopped = ThreadCount(app.ProcessId());
  app.Sim("ripple 0 0");
  app.Sim("noise 0 0");
  Sleep(300);
  ASSERT_TRUE(app.Click(graph, IDC_GRAPH_STOP));
  ASSERT_TRUE(app.WaitForText(graph, IDC_GRAPH_STOP, L"Stop", 3000));
  EXPECT_FALSE(app.IsEnabled(graph, IDC_GRAPH_SAVE));
  ASSERT_TRUE(ui::WaitUntil([&] { return !std::isnan(ReadStatus(app, graph).ripple); }, 5000));
  Sleep(1000);
  EXPECT_LE(ReadStatus(app, graph).ripple, 0.02f);
  // Smaller: Close follows the lower right corner; never below 630 x 400.
  const RECT window = ui::Rect(graph), close = ui::Rect(GetDlgItem(graph, IDOK), graph);
  SetWindowPos(graph, nullptr, 0, 0, window.right - window.left - 150, window.bottom - window.top - 60,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  EXPECT_TRUE(ui::WaitUntil([&] { return ui::Rect(GetDlgItem(graph, IDOK), graph).left == close.left - 150; }, 3000));
  EXPECT_EQ(ui::Rect(GetDlgItem(graph, IDOK), graph).top, close.top - 60);
  SetWindowPos(graph, nullptr, 0, 0, 200, 150, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  EXPECT_TRUE(ui::WaitUntil([&] { return ui::Rect(graph).right - ui::Rect(graph).left >= 630; }, 3000));
  EXPECT_GE(ui::Rect(graph).bottom - ui::Rect(graph).top, 400);
  // Escape while the test runs closes the window and ends the test's thread.
  PostMessageW(graph, WM_COMMAND, IDCANCEL, 0);
  ASSERT_TRUE(ui::WaitUntil([graph] { return !IsWindow(graph); }));
  DWORD_PTR result = 0;
  EXPECT_NE(SendMessageTimeoutW(app.Main(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result), 0);
  EXPECT_TRUE(IsWindowEnabled(app.Main()));
  EXPECT_TRUE(ui::WaitUntil([&] { return ThreadCount(app.ProcessId()) <= threadsStopped; }, 5000))
      << ThreadCount(app.ProcessId()) << " threads, " << threadsStopped << " when stopped";
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
