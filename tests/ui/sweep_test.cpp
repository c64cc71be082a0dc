// The voltage-versus-current sweep against the simulated tester: a whole sweep past the rating with its load frames,
// regions, exports and log; a sweep closed while it runs; sweeps ended early by a detached source or an unplugged
// tester, reported incomplete, whose exports hold the measured steps.
#include <algorithm>
#include <cstdio>
#include <cwchar>

#include "tests/ui/harness/ui_harness.h"

namespace {

struct Row {
  double volts, watts;
  int milliamps;
};

std::vector<Row> CsvRows(const std::wstring& path, int* bare = nullptr) {
  const std::vector<std::string> lines = ui::CrLfLines(ui::ReadClosedFile(path), bare);
  std::vector<Row> rows;
  EXPECT_EQ(lines.empty() ? "" : lines[0], "Voltage (V), Current (mA), Power (W)");
  for (size_t i = 1; i < lines.size(); ++i) {
    Row r{};
    EXPECT_EQ(std::sscanf(lines[i].c_str(), "%lf,%d,%lf", &r.volts, &r.milliamps, &r.watts), 3) << lines[i];
    rows.push_back(r);
  }
  return rows;
}

// True when the last load the program sent is 0 mA and came after `after`'s last.
bool LastLoadIsZero(const ui::App& app, const std::string& after = "") {
  const std::string record = app.FrameRecord();
  const size_t zero = record.rfind("RX " + ui::LoadFrame(0));
  return zero != std::string::npos && zero == record.rfind("RX 02 03 10 ") &&
         (after.empty() || record.rfind("RX " + after) < zero);
}

TEST(Sweep, RunsPastTheRatingExportsAndEndsEarlyIncomplete) {
  const std::wstring kCsvTitle = L"Select a csv file name";
  ui::App app;
  ASSERT_TRUE(app.Start(ui::Scenario(L"default")) && app.WaitLive());
  // 500 mA steps of 700 ms; "Allow 20% over limit", once its risk is accepted,
  // takes the sweep 600 mA past the 3000 mA rating.
  ASSERT_TRUE(app.Click(IDC_CONFIGURE));
  HWND conf = app.WaitForDialog(L"Test configuration");
  ASSERT_TRUE(app.Click(conf, IDC_CONF_OVER_LIMIT));
  HWND danger = app.WaitForDialog(L"Danger");
  app.SetText(danger, IDC_DANGER_WORD, L"confirm");
  ASSERT_TRUE(app.Close(danger, IDOK));
  app.SetText(conf, IDC_CONF_CURRENT_STEP, L"500");
  app.SetText(conf, IDC_CONF_TIME_STEP, L"700");
  ASSERT_TRUE(app.Close(conf, IDOK));
  EXPECT_TRUE(app.WaitForText(app.Main(), IDC_LOAD_MAX_LABEL, L"3600mA"));
  HWND graph = app.OpenGraph(true);
  ASSERT_TRUE(graph && !app.IsEnabled(graph, IDC_GRAPH_CSV));
  EXPECT_FALSE(IsWindowEnabled(app.Main()));  // modal
  // 0, 500, ..., 3500 mA, then 0 mA again.
  ASSERT_TRUE(app.WaitGraphEnd(graph, 40000));
  float minV = 0, maxV = 0;
  const std::wstring status = app.Text(graph, IDC_GRAPH_STATUS);
  ASSERT_EQ(swscanf(status.c_str(), L"Minimum:%fV   Maximum:%fV", &minV, &maxV), 2) << status;
  EXPECT_EQ(status.find(L"Ripple"), std::wstring::npos);
  EXPECT_TRUE(ui::WaitUntil([&] { return LastLoadIsZero(app, ui::LoadFrame(3500)); }, 5000)) << app.FrameRecord();
  for (int ma = 500; ma <= 3500; ma += 500) EXPECT_GE(app.CountSent(ui::LoadFrame(ma)), 1) << ma;
  EXPECT_EQ(app.CountSent(ui::LoadFrame(4000)), 0);
  // The curve over the red, green and grey regions.
  app.Screenshot(L"sweep_graph", graph);
  const ui::Capture picture = ui::CaptureWindow(GetDlgItem(graph, IDC_GRAPH));
  const RECT plot{0, 0, picture.width, picture.height - 30};  // above the legend
  EXPECT_GT(picture.Count(ui::Reddish, plot), 2000);
  EXPECT_GT(picture.Count(ui::Greenish, plot), 2000);
  EXPECT_GT(picture.Count(ui::ShutDownGrey, plot), 300);
  EXPECT_GT(picture.Count(ui::Dark, plot), 200);
  // The CSV dialog opens in the default folder with no name offered. One row per step; each reading belongs to its own
  // step's load, so the voltage sags further at every step; power comes from the unrounded voltage.
  const std::wstring csvPath = ui::ScratchFolder() + L"\\sweep.csv";
  std::wstring offered = L"?";
  ASSERT_TRUE(app.SaveAs(graph, IDC_GRAPH_CSV, kCsvTitle, csvPath, &offered));
  EXPECT_EQ(offered, L"");
  EXPECT_TRUE(GetFileAttributesW(ui::DefaultSaveFolder().c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  int bare = -1;
  const std::vector<Row> rows = CsvRows(csvPath, &bare);
  EXPECT_EQ(bare, 0);
  ASSERT_EQ(rows.size(), 8u);
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].milliamps, static_cast<int>(i) * 500);
    EXPECT_TRUE(rows[i].volts > minV - 0.01 && rows[i].volts < maxV + 0.01) << rows[i].volts;
    const double amps = rows[i].milliamps / 1000.0;
    EXPECT_NEAR(rows[i].watts, rows[i].volts * amps, 0.0051 * amps + 0.0051);
    EXPECT_LT(rows[i].volts, i ? rows[i - 1].volts : 99.0) << "step " << i;
  }
  // The image holds the regions too.
  const std::wstring pngPath = ui::ScratchFolder() + L"\\sweep.png";
  ASSERT_TRUE(app.SaveAs(graph, IDC_GRAPH_SAVE, L"Save As", pngPath));
  EXPECT_EQ(app.TakeBox(L"Loadpost"), L"Graph was successfully saved to image file: " + pngPath);
  EXPECT_GT(ui::LoadPng(pngPath).Count(ui::Reddish), 2000);
  ASSERT_TRUE(app.Close(graph, IDOK));
  auto startSweep = [&] {
    HWND g = app.OpenGraph(true);  // the first step is measured once the status line shows it
    EXPECT_TRUE(g && ui::WaitUntil([&] { return !app.Text(g, IDC_GRAPH_STATUS).empty(); }));
    return g;
  };
  // Escape while the sweep runs closes the window and still sets 0 mA.
  ASSERT_NE(graph = startSweep(), nullptr);
  EXPECT_EQ(app.Text(graph, IDC_GRAPH_STOP), L"Stop");
  PostMessageW(graph, WM_COMMAND, IDCANCEL, 0);
  ASSERT_TRUE(ui::WaitUntil([graph] { return !IsWindow(graph); }));
  EXPECT_TRUE(IsWindowEnabled(app.Main()));
  EXPECT_TRUE(ui::WaitUntil([&] { return LastLoadIsZero(app); }, 5000));
  // A detached source ends the sweep: incomplete, not gone on.
  const int at3000 = app.CountSent(ui::LoadFrame(3000));
  ASSERT_NE(graph = startSweep(), nullptr);
  app.Sim("detach");
  ASSERT_TRUE(app.WaitGraphEnd(graph, 8000));
  EXPECT_NE(app.Text(graph, IDC_GRAPH_STATUS).find(L"   Incomplete: source detached"), std::wstring::npos)
      << app.Text(graph, IDC_GRAPH_STATUS);
  EXPECT_EQ(app.CountSent(ui::LoadFrame(3000)), at3000);
  // The CSV holds the measured steps only.
  const std::wstring cutPath = ui::ScratchFolder() + L"\\detached.csv";
  ASSERT_TRUE(app.SaveAs(graph, IDC_GRAPH_CSV, kCsvTitle, cutPath));
  const std::vector<Row> cut = CsvRows(cutPath);
  ASSERT_GE(cut.size(), 1u);
  EXPECT_LT(cut.size(), 7u);
  for (const Row& row : cut) EXPECT_GT(row.volts, 4.0) << row.milliamps;
  // An image file another program holds open is reported.
  HANDLE held = CreateFileW(pngPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_TRUE(app.SaveAs(graph, IDC_GRAPH_SAVE, L"Save As", pngPath));
  EXPECT_EQ(app.TakeBox(L"Loadpost Error"),
            L"Could not save to image file.\nCheck that the appropriate permissions are set for the file/directory.");
  CloseHandle(held);
  ASSERT_TRUE(app.Close(graph, IDOK));
  // Unplugging the tester ends the next sweep, and the connection.
  app.Sim("attach");
  ASSERT_TRUE(app.WaitLive());
  ASSERT_NE(graph = startSweep(), nullptr);
  app.Sim("unplug VXPD0001");
  ASSERT_TRUE(app.WaitGraphEnd(graph, 8000));
  EXPECT_NE(app.Text(graph, IDC_GRAPH_STATUS).find(L"Incomplete: tester lost"), std::wstring::npos)
      << app.Text(graph, IDC_GRAPH_STATUS);
  ASSERT_TRUE(app.Close(graph, IDOK));
  EXPECT_FALSE(app.IsEnabled(app.Main(), IDC_SET_LOAD_BUTTON));
  EXPECT_EQ(app.Text(IDC_VBUS), L" ");
  // The log: each step of the whole sweep, every run ended, and why.
  const std::vector<std::string> log = app.SavedLog(ui::ScratchFolder() + L"\\log.txt");
  auto count = [&](const char* text) { return std::count(log.begin(), log.end(), std::string(text)); };
  const auto start = std::find(log.begin(), log.end(), "Start Voltage vs. Current Test");
  EXPECT_GE(std::count_if(start, std::find(start, log.end(), "End Voltage vs. Current Test"),
                          [](const std::string& t) { return t.find(", P=") != std::string::npos; }),
            8);
  EXPECT_EQ(count("Start Voltage vs. Current Test"), count("End Voltage vs. Current Test"));
  EXPECT_EQ(count("Test ended: the source was detached"), 1);
  EXPECT_EQ(count("Connection to the tester lost"), 1);
  EXPECT_EQ(count("Test ended: the connection to the tester was lost"), 1);
  EXPECT_EQ(app.Exit(), 0);
}

}  // namespace
