// The real-time graph against the simulated tester: its trace, band, status
// line, Stop/Repeat, image and resizing; closing a graph while a test runs.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "resources/resource_ids.h"
#include "tests/ui/harness/graph_helpers.h"
#include "tests/ui/harness/live_helpers.h"
#include "tests/ui/harness/save_dialog_helpers.h"
#include "tests/ui/harness/ui_harness.h"

namespace {

struct RealtimeStatus {
  bool valid = false;
  float minV = 0, maxV = 0, ripple = 0;
};

RealtimeStatus ReadStatus(const ui::LoadpostApp& app, HWND graph) {
  RealtimeStatus s;
  const std::wstring text = app.Text(graph, IDC_GRAPH_STATUS);
  s.valid = swscanf(text.c_str(), L"Minimum:%fV   Maximum:%fV   Ripple:%fV", &s.minV, &s.maxV, &s.ripple) == 3;
  return s;
}

RECT RectIn(HWND parent, int id) {
  RECT r{};
  GetWindowRect(GetDlgItem(parent, id), &r);
  MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

TEST(RealtimeGraph, ShowsTraceBandStatusStopsRepeatsSavesAndResizes) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"ripple")));
  ASSERT_TRUE(ui::WaitForPortReady(app));
  HWND graph = ui::OpenGraph(app, ui::GraphKind::RealTime);
  ASSERT_NE(graph, nullptr);
  EXPECT_EQ(app.Text(graph, IDC_GRAPH_STOP), L"Stop");
  EXPECT_FALSE(app.IsEnabled(graph, IDOK));
  EXPECT_FALSE(app.IsEnabled(graph, IDC_GRAPH_SAVE));
  EXPECT_FALSE(app.IsEnabled(graph, IDC_GRAPH_CSV));

  // Minimum, maximum and ripple of a 5 V supply with 40 mV of ripple.
  ASSERT_TRUE(ui::WaitUntil([&] { return ReadStatus(app, graph).valid; }, 5000))
      << ui::Narrow(app.Text(graph, IDC_GRAPH_STATUS));
  Sleep(1500);
  const RealtimeStatus first = ReadStatus(app, graph);
  ASSERT_TRUE(first.valid);
  EXPECT_GT(first.minV, 4.5f);
  EXPECT_LT(first.maxV, 5.5f);
  EXPECT_LE(first.minV, first.maxV);
  EXPECT_NEAR(first.ripple, first.maxV - first.minV, 0.011f);
  EXPECT_GT(first.ripple, 0.02f);

  // The black trace over the green acceptable band, and the legend swatch.
  ui::ScreenshotOnTop(app, L"realtime_graph", graph);
  HWND control = GetDlgItem(graph, IDC_GRAPH);
  const ui::Capture picture = ui::CaptureOnTop(control);
  const ui::Capture plot = ui::Crop(picture, RECT{60, 40, picture.width - 10, picture.height - 60});
  EXPECT_GT(ui::CountPixels(plot, ui::IsGreenish), 5000);
  EXPECT_GT(ui::CountPixels(plot, ui::IsDark), 300);
  const ui::Capture swatch = ui::Crop(picture, RECT{20, picture.height - 30, 50, picture.height - 10});
  EXPECT_GT(ui::CountPixels(swatch, ui::IsGreenish), 300);

  ASSERT_TRUE(app.Click(graph, IDC_GRAPH_STOP));
  ASSERT_TRUE(ui::WaitForGraphEnd(app, graph, 5000));
  EXPECT_TRUE(app.IsEnabled(graph, IDC_GRAPH_SAVE));
  EXPECT_FALSE(app.IsEnabled(graph, IDC_GRAPH_CSV));  // sweep only

  // The image carries the four summary lines at the lower right of the plot.
  const std::wstring pngPath = ui::ScratchFolder() + L"\\realtime.png";
  ASSERT_TRUE(ui::SaveThrough(app, graph, IDC_GRAPH_SAVE, L"Save As", pngPath));
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost"), L"Graph was successfully saved to image file: " + pngPath);
  CopyFileW(pngPath.c_str(), (ui::ArtifactFolder() + L"\\realtime_graph_saved.png").c_str(), FALSE);
  const ui::Capture png = ui::LoadPng(pngPath);
  RECT controlRect{};
  GetWindowRect(control, &controlRect);
  ASSERT_EQ(png.width, controlRect.right - controlRect.left + 5);
  ASSERT_EQ(png.height, controlRect.bottom - controlRect.top + 5);
  EXPECT_GT(ui::CountPixels(png, ui::IsGreenish), 5000);
  // Chart size: control less 20 x 30; the lines start 120 left of its right edge.
  const int chartW = controlRect.right - controlRect.left - 20;
  const int chartH = controlRect.bottom - controlRect.top - 30;
  const ui::Capture summary = ui::Crop(png, RECT{chartW - 118, chartH - 98, chartW, chartH - 22});
  EXPECT_GT(ui::CountPixels(summary, ui::IsDark), 150);
  const ui::Capture onScreen = ui::Crop(picture, RECT{chartW - 118, chartH - 98, chartW, chartH - 22});
  EXPECT_LT(ui::CountPixels(onScreen, ui::IsDark), ui::CountPixels(summary, ui::IsDark));

  // Repeat starts afresh: with the ripple gone the new extremes are close.
  app.SimCommand("ripple 0 0");
  app.SimCommand("noise 0 0");
  Sleep(300);
  ASSERT_TRUE(app.Click(graph, IDC_GRAPH_STOP));
  ASSERT_TRUE(ui::WaitUntil([&] { return app.Text(graph, IDC_GRAPH_STOP) == L"Stop"; }, 3000));
  EXPECT_FALSE(app.IsEnabled(graph, IDOK));
  EXPECT_FALSE(app.IsEnabled(graph, IDC_GRAPH_SAVE));
  ASSERT_TRUE(ui::WaitUntil([&] { return ReadStatus(app, graph).valid; }, 5000));
  Sleep(1000);
  const RealtimeStatus second = ReadStatus(app, graph);
  ASSERT_TRUE(second.valid);
  EXPECT_LT(second.ripple, first.ripple);
  EXPECT_LE(second.ripple, 0.02f);

  // Smaller by 150 x 60: the buttons follow the lower right corner, the status
  // line the bottom edge, and the graph shrinks; never below 630 x 400.
  RECT window{};
  GetWindowRect(graph, &window);
  const RECT close0 = RectIn(graph, IDOK), status0 = RectIn(graph, IDC_GRAPH_STATUS), chart0 = RectIn(graph, IDC_GRAPH);
  SetWindowPos(graph, nullptr, 0, 0, window.right - window.left - 150, window.bottom - window.top - 60,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  ASSERT_TRUE(ui::WaitUntil([&] { return RectIn(graph, IDOK).left == close0.left - 150; }, 3000));
  EXPECT_EQ(RectIn(graph, IDOK).top, close0.top - 60);
  EXPECT_EQ(RectIn(graph, IDC_GRAPH_STATUS).top, status0.top - 60);
  EXPECT_EQ(RectIn(graph, IDC_GRAPH).right, chart0.right - 150);
  EXPECT_EQ(RectIn(graph, IDC_GRAPH).bottom, chart0.bottom - 60);
  SetWindowPos(graph, nullptr, 0, 0, 200, 150, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  Sleep(300);
  GetWindowRect(graph, &window);
  EXPECT_GE(window.right - window.left, 630);
  EXPECT_GE(window.bottom - window.top, 400);
  ui::ScreenshotOnTop(app, L"realtime_graph_resized", graph);

  ASSERT_TRUE(app.Click(graph, IDC_GRAPH_STOP));
  ASSERT_TRUE(ui::WaitForGraphEnd(app, graph, 5000));
  ASSERT_TRUE(ui::CloseGraph(app, graph));
  EXPECT_EQ(app.Exit(), 0);
}

TEST(GraphWindow, ClosingWhileATestRunsEndsItsThread) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(ui::WaitForPortReady(app));
  ASSERT_TRUE(ui::ConfigureSweepSteps(app, 500, 700));
  Sleep(500);
  const int threadsBefore = ui::ThreadCount(app.ProcessId());
  ASSERT_GT(threadsBefore, 0);

  for (ui::GraphKind kind : {ui::GraphKind::RealTime, ui::GraphKind::Sweep}) {
    HWND graph = ui::OpenGraph(app, kind);
    ASSERT_NE(graph, nullptr);
    Sleep(kind == ui::GraphKind::Sweep ? 1200 : 400);
    EXPECT_EQ(app.Text(graph, IDC_GRAPH_STOP), L"Stop");  // still running
    // Escape: Cancel, which Close's disabled state does not stop.
    PostMessageW(graph, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(ui::WaitUntil([graph] { return !IsWindow(graph); }, 10000));
    EXPECT_TRUE(ui::Responds(app.Main()));
    EXPECT_TRUE(IsWindowEnabled(app.Main()));
  }
  // The closed sweep still set the load back to 0 mA: the last load frame
  // reaching the tester is the one for 0 mA.
  const std::string zeroLoad = "RX " + ui::LoadFrameHex(0);
  EXPECT_TRUE(ui::WaitUntil(
      [&] {
        const std::string record = app.FrameRecord();
        const size_t last = record.rfind("RX 02 03 10 ");
        return last != std::string::npos && record.compare(last, zeroLoad.size(), zeroLoad) == 0;
      },
      5000));
  // No test thread is left behind.
  EXPECT_TRUE(ui::WaitUntil([&] { return ui::ThreadCount(app.ProcessId()) <= threadsBefore; }, 5000))
      << ui::ThreadCount(app.ProcessId()) << " threads, " << threadsBefore << " before";
  // And the window opens again as new.
  HWND again = ui::OpenGraph(app, ui::GraphKind::RealTime);
  ASSERT_NE(again, nullptr);
  ASSERT_TRUE(ui::WaitUntil([&] { return ReadStatus(app, again).valid; }, 5000));
  PostMessageW(again, WM_COMMAND, IDCANCEL, 0);
  ASSERT_TRUE(ui::WaitUntil([again] { return !IsWindow(again); }, 10000));
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
