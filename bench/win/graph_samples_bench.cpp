// How many VBUS readings reach the real-time chart each second, against what
// the tester's wire allows. The window's own monitor thread (MonitorLoop, over
// testerLink and the stand-in ftd2xx.dll beside this program) measures, and the
// graph window's TestThread adds each reading to a LineChart. Run by hand
// under Wine:
//   graph_samples_bench.exe [seconds] [serial]
// Uses the "ripple" scenario beside the program unless LOADPOST_SIM_SCENARIO
// names another.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/chart/line_chart.h"
#include "core/graphs/graph_run.h"
#include "window/graphs/graph_window_win.h"
#include "core/link/monitor_core.h"
#include "core/link/tester_link_win.h"
#include "window/shell/app_tester_win.h"
#include "window/shell/app_win.h"

namespace {

constexpr double kByteUs = 10.0 * 1e6 / 115200.0;
constexpr int kMeasurementBytes = 5 + 15;  // request and reply frames
constexpr int kStatusBytes = 5 + 17;

std::wstring ExeFolder() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path);
  return folder.substr(0, folder.find_last_of(L"\\/"));
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 5.0;
  const char* serial = argc > 2 ? argv[2] : "VXPD0001";
  if (GetEnvironmentVariableW(L"LOADPOST_SIM_SCENARIO", nullptr, 0) == 0) {
    SetEnvironmentVariableW(L"LOADPOST_SIM_SCENARIO", (ExeFolder() + L"\\scenarios\\ripple.sim").c_str());
  }
  if (!testerLink.Open(serial, nullptr)) {
    std::printf("cannot open %s\n", serial);
    return 1;
  }
  const ConnectResult checked = Monitor().CheckTester(testerLink.hardwareRevision, testerLink.firmwareVersion);
  if (!checked.ok) {
    std::printf("%s refused\n", serial);
    return 1;
  }
  Monitor().Accept(checked);
  HANDLE monitor = CreateThread(nullptr, 0, MonitorLoop, nullptr, 0, nullptr);
  for (int i = 0; i < 100 && !live.portReady; ++i) Sleep(50);

  // The chart as the graph window sets it up for a 5 V real-time graph.
  auto chart = std::make_unique<LineChart>();
  GraphSetupInputs in;
  in.graphMode = RealTime;
  in.profileKind = 5;
  in.profileVoltageMv = 5000;
  in.maxLoadCurrentMa = 3000;
  in.ratedCurrentMa = 3000;
  graph.graphMode = RealTime;
  SetUpGraphChart(graphSession, *chart, in);

  graph.testStopped = 0;
  graph.testFinished = 0;
  const uint32_t seqAtStart = Monitor().Feed().NextSeq();
  HANDLE test = CreateThread(nullptr, 2048, TestThread, nullptr, 0, nullptr);
  Sleep(static_cast<DWORD>(seconds * 1000.0));
  graph.testFinished = 1;
  graph.testStopped = 1;
  Monitor().Feed().Stop();
  WaitForSingleObject(test, INFINITE);
  const long publishedDuring = static_cast<long>(Monitor().Feed().NextSeq() - seqAtStart);
  Monitor().Clock().Stop();
  WaitForSingleObject(monitor, INFINITE);
  CloseHandle(test);
  CloseHandle(monitor);

  const int count = chart->pointCount[0];
  const ChartPoint* p = chart->points[0];
  const double spanMs = count > 1 ? p[count - 1].x - p[0].x : 0.0;
  int fresh = count > 0 ? 1 : 0;
  std::vector<double> gaps;
  for (int i = 1; i < count; ++i) {
    if (p[i].y != p[i - 1].y) ++fresh;
    gaps.push_back(p[i].x - p[i - 1].x);
  }
  std::sort(gaps.begin(), gaps.end());
  const double medianGap = gaps.empty() ? 0.0 : gaps[gaps.size() / 2];
  const double p95Gap = gaps.empty() ? 0.0 : gaps[std::min(gaps.size() - 1, gaps.size() * 95 / 100)];

  const double measurementUs = kMeasurementBytes * kByteUs;
  const double passUs = (kMeasurementBytes + kStatusBytes) * kByteUs + 1000.0;
  const double wireRate = 1e6 / measurementUs;
  const double passRate = 1e6 / passUs;
  const double pollRate = publishedDuring / seconds;
  const double sampleRate = spanMs > 0 ? (count - 1) * 1000.0 / spanMs : 0.0;
  const double freshRate = spanMs > 0 ? fresh * 1000.0 / spanMs : 0.0;

  std::printf("wire: GetMeasurements %d bytes = %.0fus -> %.0f measurements/s; monitor pass with status and 1 ms "
              "pause -> %.0f/s\n",
              kMeasurementBytes, measurementUs, wireRate, passRate);
  std::printf("monitor: %.0f readings/s, %.2f of the pass limit, %.2f of the wire\n", pollRate, pollRate / passRate,
              pollRate / wireRate);
  std::printf("chart: %d samples in %.0f ms = %.0f samples/s (%.2f of 1000/s), pass gap median %.2f ms p95 %.2f ms\n",
              count, spanMs, sampleRate, sampleRate / 1000.0, medianGap, p95Gap);
  std::printf("chart: %.0f fresh values/s = %.2f of the poller, %.2f of the wire\n", freshRate,
              pollRate > 0 ? freshRate / pollRate : 0.0, freshRate / wireRate);
  testerLink.Close();
  return 0;
}
