// loadpost-cli's ripple and report against `sim-serve default` (the simulated
// tester on a pseudo-terminal, with wire timing), through the real serial code:
// - ripple: samples per second as a ratio of the wire limit of one
//   measurement exchange (5 + 15 bytes at 115200 baud: 576/s); goal >= 0.9;
// - report on the default charger: wall time against the sum of the dwell
//   times it asks for (ripple captures and step holds); goal <= 1.1. The
//   current step is LOADPOST_BENCH_STEP_MA (default 100 mA; the window's 25 mA
//   makes it a seven-minute run), the time step the window's 500 ms.
#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/native/child_process.h"

namespace {

using child_process::Child;
using child_process::Finish;
using child_process::Spawn;

class Server {
 public:
  // The bridge at its low-latency setting, as the program sets it on a real
  // device (a pseudo-terminal has no latency timer to ask for).
  Server() : proc_(Spawn({LOADPOST_CLI, "sim-serve", "--latency", "1", "default"}, true)) {
    root_ = child_process::ReadDeviceRoot(proc_.out);
  }
  ~Server() {
    kill(proc_.pid, SIGTERM);
    Finish(proc_);
  }
  nlohmann::json Run(std::vector<std::string> args) const {
    args.insert(args.begin(), {LOADPOST_CLI, "--device-root", root_, "--json"});
    return nlohmann::json::parse(Finish(Spawn(args, true)).out, nullptr, false);
  }

 private:
  Child proc_;
  std::string root_;
};

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

void BM_RippleSamplesPerSecond(benchmark::State& state) {
  Server server;
  for (auto _ : state) {
    const nlohmann::json j = server.Run({"ripple", "--seconds", "5"});
    const double rate = j.value("samplesPerSecond", 0.0);
    state.counters["samples_per_s"] = rate;
    state.counters["ratio_of_576"] = rate / 576.0;
  }
}
BENCHMARK(BM_RippleSamplesPerSecond)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_ReportWallOverDwell(benchmark::State& state) {
  const char* step = std::getenv("LOADPOST_BENCH_STEP_MA");
  const std::string stepMa = step ? step : "100";
  char dir[] = "/tmp/loadpost-bench-report.XXXXXX";
  if (!mkdtemp(dir)) return;
  Server server;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const nlohmann::json j =
        server.Run({"report", "--current-step", stepMa, "--time-step", "500", "--ripple-seconds", "1", "--out", dir});
    const double wall = Seconds(std::chrono::steady_clock::now() - start);
    double dwell = 0.0;
    if (j.is_object()) {
      for (const auto& run : j["runs"]) {
        if (!run.contains("sweep")) continue;
        dwell += j["settings"]["rippleSeconds"].get<double>() +
                 run["sweep"]["stepCount"].get<double>() * run["sweep"]["timeStepMs"].get<double>() / 1000.0;
      }
    }
    state.counters["current_step_ma"] = std::stod(stepMa);
    state.counters["wall_s"] = wall;
    state.counters["dwell_s"] = dwell;
    state.counters["wall_over_dwell"] = dwell > 0 ? wall / dwell : 0.0;
  }
}
BENCHMARK(BM_ReportWallOverDwell)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
