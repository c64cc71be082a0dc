// Monitor-loop passes per second against the simulated tester (wire timing on),
// idle and while the real-time graph runs, as a ratio to what the wire allows.
// A pass sends GetMeasurements (5 + 15 bytes on the wire) and GetPortStatus
// (5 + 17 bytes); at 115200 baud 8N1 a byte takes 86.8 us.
#include <windows.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "resources/resource_ids.h"
#include "tests/ui/harness/ui_harness.h"

namespace {

constexpr double kByteSeconds = 10.0 / 115200.0;
constexpr double kPassBytes = 5 + 15 + 5 + 17;

// Timestamps (seconds) of the GetMeasurements requests in the frame record.
std::vector<double> MeasurementTimes(const std::string& record) {
  std::vector<double> times;
  std::istringstream lines(record);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find(" RX 02 01 0C 0C 03") == std::string::npos) continue;
    times.push_back(std::strtod(line.c_str(), nullptr));
  }
  return times;
}

double PassesPerSecond(ui::LoadpostApp& app, int seconds) {
  const size_t before = MeasurementTimes(app.FrameRecord()).size();
  Sleep(static_cast<DWORD>(seconds * 1000));
  const std::vector<double> times = MeasurementTimes(app.FrameRecord());
  if (times.size() <= before + 1) return 0.0;
  const double span = times.back() - times[before];
  return span > 0 ? (times.size() - before - 1) / span : 0.0;
}

}  // namespace

int main() {
  const double wireLimit = 1.0 / (kPassBytes * kByteSeconds);
  ui::LoadpostApp app;
  if (!app.Start(ui::Scenario(L"default"))) {
    std::printf("could not start Loadpost.exe\n");
    return 1;
  }
  ui::WaitUntil([&] { return app.ComboItems(app.Main(), IDC_VOLTAGE_LIST).size() == 5; }, 20000);
  Sleep(2000);
  const double idle = PassesPerSecond(app, 10);
  std::printf("wire limit: %.1f passes/s (%.0f bytes per pass)\n", wireLimit, kPassBytes);
  std::printf("idle:       %.1f passes/s  ratio %.3f (a 250 ms pause per pass allows at most 4/s)\n", idle,
              idle / wireLimit);
  app.Click(IDC_REALTIME_GRAPH);
  HWND graph = app.WaitForDialog(L"Graph - Real time voltage & ripple", 10000);
  if (graph) {
    Sleep(1000);
    const double realTime = PassesPerSecond(app, 10);
    std::printf("real-time:  %.1f passes/s  ratio %.3f\n", realTime, realTime / wireLimit);
    app.Click(graph, IDC_GRAPH_STOP);
    Sleep(500);
    app.Click(graph, IDOK);
  } else {
    std::printf("real-time:  graph window did not open\n");
  }
  app.Exit();
  return 0;
}
