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

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Proc {
  pid_t pid = -1;
  int out = -1;
};

Proc Start(const std::vector<std::string>& args) {
  int out[2];
  if (pipe(out) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, out[1]);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Proc p;
  if (posix_spawn(&p.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) p.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  p.out = out[0];
  return p;
}

std::string ReadLine(int fd) {
  std::string line;
  char c;
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 10000) > 0 && read(fd, &c, 1) == 1 && c != '\n') line += c;
  return line;
}

std::string Finish(Proc p) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(p.out, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(p.out);
  waitpid(p.pid, nullptr, 0);
  return text;
}

class Server {
 public:
  // The bridge at its low-latency setting, as the program sets it on a real
  // device (a pseudo-terminal has no latency timer to ask for).
  Server() : proc_(Start({LOADPOST_CLI, "sim-serve", "--latency", "1", "default"})) {
    for (std::string line = ReadLine(proc_.out); !line.empty(); line = ReadLine(proc_.out)) {
      if (line.rfind("device-root ", 0) == 0) {
        root_ = line.substr(12);
        break;
      }
    }
  }
  ~Server() {
    kill(proc_.pid, SIGTERM);
    Finish(proc_);
  }
  nlohmann::json Run(std::vector<std::string> args) const {
    args.insert(args.begin(), {LOADPOST_CLI, "--device-root", root_, "--json"});
    return nlohmann::json::parse(Finish(Start(args)), nullptr, false);
  }

 private:
  Proc proc_;
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
