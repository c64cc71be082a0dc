// loadpost-cli watch against `loadpost-cli sim-serve` (the simulated tester on
// a pseudo-terminal with wire timing and its USB bridge), both the real
// programs:
// - readings per second of `watch --interval 0`, with the bridge's latency
//   timer at the Linux driver's default (16 ms) and at its low-latency setting
//   (1 ms), each as a ratio of the wire limit for one measurement exchange
//   (5 + 15 bytes at 115200 baud, 10 bits each: 576 per second);
// - with the bridge at 1 ms, `watch --interval 0` and `ripple` one request at
//   a time (LOADPOST_ONE_REQUEST_AT_A_TIME) and with a second measurement
//   request on the wire, one after the other in the same run, as ratios of
//   that limit;
// - CPU time of an idle `watch --interval 1000` per second of wall time, in
//   its steady state.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/native/child_process.h"

namespace {

constexpr double kWireLimitPerSecond = 115200.0 / 10.0 / 20.0;  // 576

using child_process::Child;
using child_process::Finish;
using child_process::Spawn;

// utime + stime of a process, in seconds.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; fields >> f; ++i) {
    if (i == 14 || i == 15) ticks += std::stod(f);
    if (i == 15) break;
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Server {
  Child child;
  std::string root;
};

Server StartServer(int latencyMs) {
  Server s{Spawn({LOADPOST_CLI, "sim-serve", "--latency", std::to_string(latencyMs)}, true), ""};
  s.root = child_process::ReadDeviceRoot(s.child.out);
  return s;
}

void StopServer(Server& s) {
  kill(s.child.pid, SIGTERM);
  Finish(s.child);
}

const std::vector<std::string> kOneAtATime = {"LOADPOST_ONE_REQUEST_AT_A_TIME=1"};

// Readings per second of watch --interval 0, from the time stamps it writes.
double ReadingsPerSecond(const Server& server, const std::string& csv, const std::vector<std::string>& env = {}) {
  Finish(Spawn({LOADPOST_CLI, "--device-root", server.root, "watch", "--interval", "0", "--duration", "5", "--load",
                "1000", "--out", csv},
               true, env));
  std::ifstream lines(csv);
  std::string line, first, last;
  long count = -1;  // the header
  while (std::getline(lines, line)) {
    if (count == 0) first = line;
    last = line;
    ++count;
  }
  if (count < 2) return 0.0;
  const double seconds = std::stod(last.substr(0, last.find(','))) - std::stod(first.substr(0, first.find(',')));
  return seconds > 0 ? (count - 1) / seconds : 0.0;
}

// Samples per second of a 5 s ripple capture, as it reports them.
double RippleSamplesPerSecond(const Server& server, const std::vector<std::string>& env = {}) {
  const child_process::Result r =
      Finish(Spawn({LOADPOST_CLI, "--device-root", server.root, "--json", "ripple", "--seconds", "5"}, true, env));
  const std::string key = "\"samplesPerSecond\":";
  const size_t at = r.out.find(key);
  return at == std::string::npos ? 0.0 : std::stod(r.out.substr(at + key.size()));
}

}  // namespace

int main() {
  const std::string csv = "/tmp/loadpost-watch-bench.csv";
  std::printf("watch --interval 0 (wire limit 576 readings/s)\n");
  std::printf("bridge latency timer        readings/s  ratio\n");
  Server server;
  for (int latencyMs : {16, 1}) {
    server = StartServer(latencyMs);
    const double rate = ReadingsPerSecond(server, csv);
    std::printf("%-26s  %10.1f  %5.3f\n",
                latencyMs == 16 ? "16 ms (driver default)" : "1 ms (low-latency setting)", rate,
                rate / kWireLimitPerSecond);
    if (latencyMs != 1) StopServer(server);
  }

  // Captures against the 1 ms server: one request at a time, then two on the wire.
  std::printf("captures, bridge at 1 ms         one at a time      two on the wire\n");
  const double watchOne = ReadingsPerSecond(server, csv, kOneAtATime);
  const double watchTwo = ReadingsPerSecond(server, csv);
  std::printf("watch --interval 0 readings/s   %7.1f (%5.3f)   %7.1f (%5.3f)\n", watchOne,
              watchOne / kWireLimitPerSecond, watchTwo, watchTwo / kWireLimitPerSecond);
  const double rippleOne = RippleSamplesPerSecond(server, kOneAtATime);
  const double rippleTwo = RippleSamplesPerSecond(server);
  std::printf("ripple samples/s                %7.1f (%5.3f)   %7.1f (%5.3f)\n", rippleOne,
              rippleOne / kWireLimitPerSecond, rippleTwo, rippleTwo / kWireLimitPerSecond);

  // Idle CPU against the 1 ms server: a tester on a driver in low latency.
  const Child idle = Spawn({LOADPOST_CLI, "--device-root", server.root, "watch", "--interval", "1000", "--duration",
                            "14", "--out", csv},
                           true);
  std::this_thread::sleep_for(std::chrono::seconds(3));  // connected and watching
  const double cpuStart = CpuSeconds(idle.pid);
  const auto wallStart = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const double cpu = CpuSeconds(idle.pid) - cpuStart;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  Finish(idle);
  std::printf("watch --interval 1000, idle: %.3f s CPU in %.1f s = %.2f%% of one core\n", cpu, wall,
              100.0 * cpu / wall);

  StopServer(server);
  std::remove(csv.c_str());
  return 0;
}
