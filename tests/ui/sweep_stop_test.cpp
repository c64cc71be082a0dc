// A sweep that ends early: the source detached or the tester unplugged in the
// middle of it, an export holding only the measured steps, the incomplete
// status line, and the exports' cancel and failure paths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/ui/harness/graph_helpers.h"
#include "tests/ui/harness/save_dialog_helpers.h"
#include "tests/ui/harness/ui_harness.h"

namespace {

TEST(SweepEnd, DetachedSourceEndsTheSweep) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(ui::WaitForPortReady(app));
  ASSERT_TRUE(ui::ConfigureSweepSteps(app, 500, 700));
  HWND graph = ui::OpenGraph(app, ui::GraphKind::Sweep);
  ASSERT_NE(graph, nullptr);
  // The first step has been measured once the status line shows it.
  ASSERT_TRUE(ui::WaitUntil([&] { return !app.Text(graph, IDC_GRAPH_STATUS).empty(); }, 10000));
  app.SimCommand("detach");
  ASSERT_TRUE(ui::WaitForGraphEnd(app, graph, 8000));
  EXPECT_TRUE(app.IsEnabled(graph, IDC_GRAPH_CSV));
  EXPECT_NE(app.Text(graph, IDC_GRAPH_STATUS).find(L"   Incomplete: source detached"), std::wstring::npos)
      << ui::Narrow(app.Text(graph, IDC_GRAPH_STATUS));
  EXPECT_EQ(app.CountFrames("RX", ui::LoadFrameHex(3000)), 0);  // the sweep did not go on
  EXPECT_TRUE(ui::Responds(graph));

  // Cancelling the dialog writes nothing and says nothing.
  const std::wstring csvPath = ui::ScratchFolder() + L"\\detached.csv";
  ASSERT_TRUE(app.Click(graph, IDC_GRAPH_CSV));
  HWND dialog = app.WaitForDialog(L"Select a csv file name");
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(ui::SaveDialogCancel(app, dialog));
  Sleep(300);
  EXPECT_EQ(app.TopWindows().size(), 2u);  // the main window and the graph
  EXPECT_FALSE(ui::FileExists(csvPath));

  // The CSV holds the measured steps only: no row for the step the detach cut short.
  ASSERT_TRUE(ui::SaveThrough(app, graph, IDC_GRAPH_CSV, L"Select a csv file name", csvPath));
  ASSERT_TRUE(ui::WaitForClosedFile(csvPath));
  const std::vector<ui::SweepCsvRow> rows = ui::SweepCsvRows(ui::SplitCrLf(ui::ReadFileBytes(csvPath)));
  ASSERT_GE(rows.size(), 1u);
  EXPECT_LT(rows.size(), 7u);
  for (const ui::SweepCsvRow& row : rows) EXPECT_GT(row.volts, 4.0) << row.currentMa;

  // A file the program cannot write is reported, for either export: here
  // files that another program holds open.
  const std::wstring pngPath = ui::ScratchFolder() + L"\\held.png";
  HANDLE heldCsv = CreateFileW(csvPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  HANDLE heldPng = CreateFileW(pngPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(heldCsv, INVALID_HANDLE_VALUE);
  ASSERT_NE(heldPng, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(ui::SaveThrough(app, graph, IDC_GRAPH_CSV, L"Select a csv file name", csvPath));
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost Error"), L"Unable to create the CSV file " + csvPath);
  ASSERT_TRUE(ui::SaveThrough(app, graph, IDC_GRAPH_SAVE, L"Save As", pngPath));
  EXPECT_EQ(app.TakeMessageBox(L"Loadpost Error"),
            L"Could not save to image file.\nCheck that the appropriate permissions are set for the file/directory.");
  CloseHandle(heldCsv);
  CloseHandle(heldPng);
  // The earlier export is intact.
  EXPECT_EQ(ui::SweepCsvRows(ui::SplitCrLf(ui::ReadFileBytes(csvPath))).size(), rows.size());
  ASSERT_TRUE(ui::CloseGraph(app, graph));

  const std::vector<std::string> texts = ui::SavedLogTexts(app, ui::ScratchFolder() + L"\\log.txt");
  bool started = false, detached = false, recorded = false, ended = false;
  for (const std::string& t : texts) {
    if (t == "Start Voltage vs. Current Test") started = true;
    if (started && t == "Port detached") detached = true;
    if (started && t == "Test ended: the source was detached") recorded = true;
    if (started && t == "End Voltage vs. Current Test") ended = true;
  }
  EXPECT_TRUE(detached);
  EXPECT_TRUE(recorded);
  EXPECT_TRUE(ended);
  EXPECT_EQ(app.Exit(), 0);
}

TEST(SweepEnd, UnpluggedTesterEndsTheSweepAndTheConnection) {
  ui::LoadpostApp app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")));
  ASSERT_TRUE(ui::WaitForPortReady(app));
  ASSERT_TRUE(ui::ConfigureSweepSteps(app, 500, 700));
  HWND graph = ui::OpenGraph(app, ui::GraphKind::Sweep);
  ASSERT_NE(graph, nullptr);
  ASSERT_TRUE(ui::WaitUntil([&] { return !app.Text(graph, IDC_GRAPH_STATUS).empty(); }, 10000));
  app.SimCommand("unplug VXPD0001");
  ASSERT_TRUE(ui::WaitForGraphEnd(app, graph, 8000));
  EXPECT_NE(app.Text(graph, IDC_GRAPH_STATUS).find(L"Incomplete: tester lost"), std::wstring::npos)
      << ui::Narrow(app.Text(graph, IDC_GRAPH_STATUS));
  EXPECT_TRUE(ui::Responds(graph));
  ASSERT_TRUE(ui::CloseGraph(app, graph));
  // No tester: nothing to set, nothing measured.
  EXPECT_FALSE(app.IsEnabled(app.Main(), IDC_SET_LOAD_BUTTON));
  EXPECT_EQ(app.Text(IDC_VBUS), L" ");
  const std::vector<std::string> texts = ui::SavedLogTexts(app, ui::ScratchFolder() + L"\\log.txt");
  int lost = 0, recorded = 0;
  for (const std::string& t : texts) {
    lost += t == "Connection to the tester lost" ? 1 : 0;
    recorded += t == "Test ended: the connection to the tester was lost" ? 1 : 0;
  }
  EXPECT_EQ(lost, 1);
  EXPECT_EQ(recorded, 1);
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
