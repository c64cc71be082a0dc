// The voltage-versus-current sweep against the simulated tester: a whole sweep
// with its log lines, load frames, regions and exports; a sweep ended early by
// a detached source or an unplugged tester, its incomplete status and exports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/ui/harness/graph_helpers.h"
#include "tests/ui/harness/live_helpers.h"
#include "tests/ui/harness/save_dialog_helpers.h"
#include "tests/ui/harness/ui_harness.h"

namespace {

using ui::FrameHex;

const std::string kZeroLoad = FrameHex(0x10, {0x00, 0x00});

// Where the last record line with `hex` sent by the program starts (npos: none).
size_t LastSent(const std::string& record, const std::string& hex) { return record.rfind("RX " + hex); }

// The load frames of a record, for failure messages.
std::string LoadLines(const std::string& record) {
  std::string out;
  size_t pos = 0;
  while ((pos = record.find("02 03 10 ", pos)) != std::string::npos) {
    const size_t lineStart = record.rfind('\n', pos);
    const size_t lineEnd = record.find('\n', pos);
    out += record.substr(lineStart == std::string::npos ? 0 : lineStart + 1,
                         (lineEnd == std::string::npos ? record.size() : lineEnd) -
                             (lineStart == std::string::npos ? 0 : lineStart + 1)) +
           "\n";
    pos = lineEnd == std::string::npos ? record.size() : lineEnd;
  }
  return out;
}

TEST(Sweep, RunsToTheCeilingLogsEachStepAndExports) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(ui::WaitForPortReady(app));
  // "Allow 20% over limit" takes the sweep 600 mA past the 3000 mA rating,
  // into the region where the source may shut down.
  ASSERT_TRUE(ui::ConfigureSweepSteps(app, 500, 700, true));
  ASSERT_TRUE(ui::WaitUntil([&] { return app.Text(IDC_LOAD_MAX_LABEL) == L"3600mA"; }))
      << ui::Narrow(app.Text(IDC_LOAD_MAX_LABEL));

  HWND graph = ui::OpenGraph(app, ui::GraphKind::Sweep);
  ASSERT_NE(graph, nullptr);
  EXPECT_EQ(app.Text(graph, IDC_GRAPH_STOP), L"Stop");
  EXPECT_FALSE(app.IsEnabled(graph, IDOK));
  EXPECT_FALSE(app.IsEnabled(graph, IDC_GRAPH_SAVE));
  EXPECT_FALSE(app.IsEnabled(graph, IDC_GRAPH_CSV));
  EXPECT_FALSE(IsWindowEnabled(app.Main()));  // modal

  // 0, 500, ..., 3500 mA: eight steps of 700 ms.
  ASSERT_TRUE(ui::WaitForGraphEnd(app, graph, 40000));
  EXPECT_TRUE(app.IsEnabled(graph, IDC_GRAPH_SAVE));
  EXPECT_TRUE(app.IsEnabled(graph, IDC_GRAPH_CSV));
  const std::wstring status = app.Text(graph, IDC_GRAPH_STATUS);
  float minV = 0, maxV = 0;
  ASSERT_EQ(swscanf(status.c_str(), L"Minimum:%fV   Maximum:%fV", &minV, &maxV), 2) << ui::Narrow(status);
  EXPECT_EQ(status.find(L"Ripple"), std::wstring::npos);
  EXPECT_LT(minV, maxV);
  EXPECT_GT(minV, 3.0f);
  EXPECT_LT(maxV, 5.4f);

  // Every step's load reached the tester, and after the last one 0 mA.
  ASSERT_TRUE(ui::WaitUntil(
      [&] {
        const std::string record = app.FrameRecord();
        const size_t last = LastSent(record, ui::LoadFrameHex(3500));
        const size_t zero = LastSent(record, kZeroLoad);
        return last != std::string::npos && zero != std::string::npos && zero > last;
      },
      5000))
      << LoadLines(app.FrameRecord());
  for (int ma = 500; ma <= 3500; ma += 500) EXPECT_GE(app.CountFrames("RX", ui::LoadFrameHex(ma)), 1) << ma;
  EXPECT_EQ(app.CountFrames("RX", ui::LoadFrameHex(4000)), 0);

  // The curve over the red, green and grey regions, with the legend below.
  ui::ScreenshotOnTop(app, L"sweep_graph", graph);
  HWND control = GetDlgItem(graph, IDC_GRAPH);
  const ui::Capture picture = ui::CaptureOnTop(control);
  ASSERT_GT(picture.width, 600);
  const ui::Capture plot = ui::Crop(picture, RECT{0, 0, picture.width, picture.height - 30});
  EXPECT_GT(ui::CountPixels(plot, ui::IsReddish), 2000);
  EXPECT_GT(ui::CountPixels(plot, ui::IsGreenish), 2000);
  EXPECT_GT(ui::CountPixels(plot, ui::IsShutDownGrey), 300);
  EXPECT_GT(ui::CountPixels(plot, ui::IsDark), 200);  // the curve, labels and titles

  // Export CSV through the real dialog.
  const std::wstring csvPath = ui::ScratchFolder() + L"\\sweep.csv";
  std::wstring offered = L"?";
  ASSERT_TRUE(ui::SaveThrough(app, graph, IDC_GRAPH_CSV, L"Select a csv file name", csvPath, &offered));
  // The dialog opened in the default folder (made for it) with no name offered.
  EXPECT_EQ(offered, L"");
  EXPECT_TRUE(ui::FolderExists(ui::DefaultSaveFolder()));
  ASSERT_TRUE(ui::WaitForClosedFile(csvPath));
  int bare = 0;
  const std::vector<std::string> lines = ui::SplitCrLf(ui::ReadFileBytes(csvPath), &bare);
  EXPECT_EQ(bare, 0);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Voltage (V), Current (mA), Power (W)");
  const std::vector<ui::SweepCsvRow> rows = ui::SweepCsvRows(lines);
  ASSERT_EQ(rows.size(), 8u);
  ASSERT_EQ(lines.size(), 9u);
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].currentMa, static_cast<int>(i) * 500);
    EXPECT_GT(rows[i].volts, 3.0);
    EXPECT_LT(rows[i].volts, 5.4);
    // Power comes from the unrounded voltage.
    EXPECT_NEAR(rows[i].watts, rows[i].volts * rows[i].currentMa / 1000.0,
                0.0051 * rows[i].currentMa / 1000.0 + 0.0051);
  }
  // The source sags further at every step: each reading belongs to its own
  // step's load, never to the one before.
  for (size_t i = 1; i < rows.size(); ++i) EXPECT_LT(rows[i].volts, rows[i - 1].volts) << "step " << i;

  // Save Graph through the real dialog: a PNG of the control's size + 5.
  const std::wstring pngPath = ui::ScratchFolder() + L"\\sweep.png";
  ASSERT_TRUE(ui::SaveThrough(app, graph, IDC_GRAPH_SAVE, L"Save As", pngPath));
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost"), L"Graph was successfully saved to image file: " + pngPath);
  CopyFileW(pngPath.c_str(), (ui::ArtifactFolder() + L"\\sweep_graph_saved.png").c_str(), FALSE);
  const ui::Capture png = ui::LoadPng(pngPath);
  RECT controlRect{};
  GetWindowRect(control, &controlRect);
  EXPECT_EQ(png.width, controlRect.right - controlRect.left + 5);
  EXPECT_EQ(png.height, controlRect.bottom - controlRect.top + 5);
  EXPECT_GT(ui::CountPixels(png, ui::IsReddish), 2000);
  EXPECT_GT(ui::CountPixels(png, ui::IsGreenish), 2000);
  EXPECT_GT(ui::CountPixels(png, ui::IsDark), 200);

  ASSERT_TRUE(ui::CloseGraph(app, graph));
  EXPECT_TRUE(IsWindowEnabled(app.Main()));

  // The log holds the run between its start and end lines (each step's line
  // is checked by the native run tests).
  const std::vector<std::string> texts = ui::SavedLogTexts(app, ui::ScratchFolder() + L"\\log.txt");
  const auto start = std::find(texts.begin(), texts.end(), "Start Voltage vs. Current Test");
  EXPECT_GE(std::count_if(start, std::find(start, texts.end(), "End Voltage vs. Current Test"),
                          [](const std::string& t) { return t.find(", P=") != std::string::npos; }),
            8);
  EXPECT_EQ(app.Exit(), 0);
}

// A sweep ends early when the source is detached (its export holds only the
// measured steps) and when the tester is unplugged (the connection ends too).
TEST(Sweep, DetachOrUnplugEndsTheSweepIncomplete) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(ui::WaitForPortReady(app));
  ASSERT_TRUE(ui::ConfigureSweepSteps(app, 500, 700));
  auto startSweep = [&] {
    HWND graph = ui::OpenGraph(app, ui::GraphKind::Sweep);
    // The first step has been measured once the status line shows it.
    EXPECT_TRUE(graph && ui::WaitUntil([&] { return !app.Text(graph, IDC_GRAPH_STATUS).empty(); }, 10000));
    return graph;
  };
  HWND graph = startSweep();
  ASSERT_NE(graph, nullptr);
  app.SimCommand("detach");
  ASSERT_TRUE(ui::WaitForGraphEnd(app, graph, 8000));
  EXPECT_NE(app.Text(graph, IDC_GRAPH_STATUS).find(L"   Incomplete: source detached"), std::wstring::npos)
      << ui::Narrow(app.Text(graph, IDC_GRAPH_STATUS));
  EXPECT_EQ(app.CountFrames("RX", ui::LoadFrameHex(3000)), 0);  // the sweep did not go on
  EXPECT_TRUE(ui::Responds(graph));

  // Cancelling the dialog writes nothing.
  const std::wstring csvPath = ui::ScratchFolder() + L"\\detached.csv";
  ASSERT_TRUE(app.Click(graph, IDC_GRAPH_CSV));
  HWND dialog = app.WaitForDialog(L"Select a csv file name");
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(ui::SaveDialogCancel(app, dialog));
  Sleep(300);
  EXPECT_EQ(app.TopWindows().size(), 2u);  // the main window and the graph
  EXPECT_FALSE(ui::FileExists(csvPath));
  // The CSV holds the measured steps only: no row for the step cut short.
  ASSERT_TRUE(ui::SaveThrough(app, graph, IDC_GRAPH_CSV, L"Select a csv file name", csvPath));
  ASSERT_TRUE(ui::WaitForClosedFile(csvPath));
  const std::vector<ui::SweepCsvRow> rows = ui::SweepCsvRows(ui::SplitCrLf(ui::ReadFileBytes(csvPath)));
  ASSERT_GE(rows.size(), 1u);
  EXPECT_LT(rows.size(), 7u);
  for (const ui::SweepCsvRow& row : rows) EXPECT_GT(row.volts, 4.0) << row.currentMa;

  // Files another program holds open are reported, for either export.
  const std::wstring pngPath = ui::ScratchFolder() + L"\\held.png";
  HANDLE heldCsv = CreateFileW(csvPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE heldPng = CreateFileW(pngPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_TRUE(ui::SaveThrough(app, graph, IDC_GRAPH_CSV, L"Select a csv file name", csvPath));
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost Error"), L"Unable to create the CSV file " + csvPath);
  ASSERT_TRUE(ui::SaveThrough(app, graph, IDC_GRAPH_SAVE, L"Save As", pngPath));
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost Error"),
            L"Could not save to image file.\nCheck that the appropriate permissions are set for the file/directory.");
  CloseHandle(heldCsv);
  CloseHandle(heldPng);
  EXPECT_EQ(ui::SweepCsvRows(ui::SplitCrLf(ui::ReadFileBytes(csvPath))).size(), rows.size());
  ASSERT_TRUE(ui::CloseGraph(app, graph));

  // Attached again, the next sweep is cut short by unplugging the tester.
  app.SimCommand("attach");
  ASSERT_TRUE(ui::WaitForPortReady(app));
  graph = startSweep();
  ASSERT_NE(graph, nullptr);
  app.SimCommand("unplug VXPD0001");
  ASSERT_TRUE(ui::WaitForGraphEnd(app, graph, 8000));
  EXPECT_NE(app.Text(graph, IDC_GRAPH_STATUS).find(L"Incomplete: tester lost"), std::wstring::npos)
      << ui::Narrow(app.Text(graph, IDC_GRAPH_STATUS));
  ASSERT_TRUE(ui::CloseGraph(app, graph));
  EXPECT_FALSE(app.IsEnabled(app.Main(), IDC_SET_LOAD_BUTTON));  // nothing to set, nothing measured
  EXPECT_EQ(app.Text(IDC_VBUS), L" ");

  const std::vector<std::string> texts = ui::SavedLogTexts(app, ui::ScratchFolder() + L"\\log.txt");
  auto count = [&](const char* text) { return std::count(texts.begin(), texts.end(), std::string(text)); };
  EXPECT_EQ(count("Start Voltage vs. Current Test"), 2);
  EXPECT_EQ(count("End Voltage vs. Current Test"), 2);
  EXPECT_EQ(count("Test ended: the source was detached"), 1);
  EXPECT_EQ(count("Connection to the tester lost"), 1);
  EXPECT_EQ(count("Test ended: the connection to the tester was lost"), 1);
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
