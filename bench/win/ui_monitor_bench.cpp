// Monitor-loop passes per second against the simulated tester (wire timing and
// the USB bridge on), idle and while the real-time graph runs, as a ratio to
// what the wire allows. A pass sends GetMeasurements (5 + 15 bytes on the wire)
// and GetPortStatus (5 + 17 bytes); at 115200 baud 8N1 a byte takes 86.8 us.
// Two runs: the bridge at its 16 ms default (slow-bridge.sim, whose bridge
// refuses the program's low-latency settings) and with the program's settings.
#include <windows.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "window/resources/resource_ids.h"
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

double PassesPerSecond(ui::App& app, int seconds) {
  const size_t before = MeasurementTimes(app.FrameRecord()).size();
  Sleep(static_cast<DWORD>(seconds * 1000));
  const std::vector<double> times = MeasurementTimes(app.FrameRecord());
  if (times.size() <= before + 1) return 0.0;
  const double span = times.back() - times[before];
  return span > 0 ? (times.size() - before - 1) / span : 0.0;
}

struct Rates {
  double idle = 0.0;
  double realTime = 0.0;
};

bool Measure(const wchar_t* scenario, Rates* rates) {
  ui::App app;
  if (!app.Start(ui::Scenario(scenario))) {
    std::printf("could not start Loadpost.exe\n");
    return false;
  }
  ui::WaitUntil([&] { return app.Items(app.Main(), IDC_VOLTAGE_LIST).size() == 5; }, 20000);
  Sleep(2000);
  rates->idle = PassesPerSecond(app, 10);
  app.Click(IDC_REALTIME_GRAPH);
  HWND graph = app.WaitForDialog(L"Graph - Real time voltage & ripple", 10000);
  if (graph) {
    Sleep(1000);
    rates->realTime = PassesPerSecond(app, 10);
    app.Click(graph, IDC_GRAPH_STOP);
    Sleep(500);
    app.Click(graph, IDOK);
  } else {
    std::printf("%ls: graph window did not open\n", scenario);
  }
  app.Exit();
  return graph != nullptr;
}

}  // namespace

int main() {
  const double wireLimit = 1.0 / (kPassBytes * kByteSeconds);
  Rates slow, fast;
  if (!Measure(L"slow-bridge", &slow) || !Measure(L"default", &fast)) return 1;
  std::printf("wire limit: %.1f passes/s (%.0f bytes per pass)\n", wireLimit, kPassBytes);
  std::printf("bridge                         idle passes/s  ratio   real-time passes/s  ratio\n");
  std::printf("16 ms default (refused)        %13.1f  %5.3f  %18.1f  %5.3f\n", slow.idle, slow.idle / wireLimit,
              slow.realTime, slow.realTime / wireLimit);
  std::printf("program's settings (2 ms, 03)  %13.1f  %5.3f  %18.1f  %5.3f\n", fast.idle, fast.idle / wireLimit,
              fast.realTime, fast.realTime / wireLimit);
  std::printf("(idle: a 250 ms pause per pass allows at most 4/s)\n");
  return 0;
}
