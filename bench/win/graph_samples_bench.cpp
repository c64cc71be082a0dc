// How many VBUS samples reach the real-time chart each second, against what the
// tester's wire allows. A poller thread plays the monitor loop's real-time pass
// over testerLink (GetMeasurements, GetPortStatus, 1 ms pause) against the
// stand-in ftd2xx.dll beside this program, while the graph window's own
// TestThread samples vbusVolts into a LineChart. Run by hand under Wine:
//   graph_samples_bench.exe [seconds] [serial]
// Uses the "ripple" scenario beside the program unless LOADPOST_SIM_SCENARIO
// names another, so that successive measurements differ.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "chart/line_chart.h"
#include "graphs/graph_run.h"
#include "graphs/graph_window_win.h"
#include "link/tester_link_win.h"
#include "shell/app_win.h"
#include "shell/shared_state.h"

namespace {

constexpr double kByteUs = 10.0 * 1e6 / 115200.0;
constexpr int kMeasurementBytes = 5 + 15;  // request and reply frames
constexpr int kStatusBytes = 5 + 17;

std::atomic<bool> pollerRunning{true};
std::atomic<long> published{0};
std::atomic<long> pollFailures{0};

DWORD WINAPI Poller(LPVOID) {
  while (pollerRunning) {
    uint8_t temperature = 0;
    uint16_t vbus = 0, setpoint = 0, current = 0, loopback = 0;
    if (testerLink.GetMeasurements(&temperature, &vbus, &setpoint, &current, &loopback)) {
      live.vbusVolts = vbus / 1000.0f;
      live.measuredCurrentMa = current;
      live.loadSetpointMa = setpoint;
      ++published;
    } else {
      ++pollFailures;
    }
    uint32_t attach = 0, kind = 0, extra = 0;
    uint8_t active = 0, sub = 0;
    uint16_t mv = 0, rated = 0;
    testerLink.GetPortStatus(&attach, &active, &kind, &sub, &mv, &rated, &extra);
    Sleep(1);
  }
  return 0;
}

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
  stopEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  portDetachedEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);

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

  HANDLE poller = CreateThread(nullptr, 0, Poller, nullptr, 0, nullptr);
  Sleep(200);  // the first measurements are in
  graph.testStopped = 0;
  graph.testFinished = 0;
  const long publishedAtStart = published;
  HANDLE test = CreateThread(nullptr, 2048, TestThread, nullptr, 0, nullptr);
  Sleep(static_cast<DWORD>(seconds * 1000.0));
  graph.testFinished = 1;
  graph.testStopped = 1;
  SetEvent(stopEvent);
  WaitForSingleObject(test, INFINITE);
  const long publishedDuring = published - publishedAtStart;
  pollerRunning = false;
  WaitForSingleObject(poller, INFINITE);
  CloseHandle(test);
  CloseHandle(poller);

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
  std::printf("poller: %.0f measurements/s (%ld failures), %.2f of the pass limit, %.2f of the wire\n", pollRate,
              static_cast<long>(pollFailures), pollRate / passRate, pollRate / wireRate);
  std::printf("chart: %d samples in %.0f ms = %.0f samples/s (%.2f of 1000/s), pass gap median %.2f ms p95 %.2f ms\n",
              count, spanMs, sampleRate, sampleRate / 1000.0, medianGap, p95Gap);
  std::printf("chart: %.0f fresh values/s = %.2f of the poller, %.2f of the wire\n", freshRate,
              pollRate > 0 ? freshRate / pollRate : 0.0, freshRate / wireRate);
  testerLink.Close();
  return 0;
}
