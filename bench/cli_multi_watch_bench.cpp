// Several testers at once: four simulated testers served by `loadpost-cli
// sim-serve` on pseudo-terminals (wire timing, the USB bridge at 1 ms), read by
// one `watch --all --interval 0`. Readings per second of each tester, as a
// ratio of the same tester watched alone in the same run (goal: 0.9 or more
// each), with the machine's load average.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/native/child_process.h"

namespace {

using child_process::Child;
using child_process::Finish;
using child_process::Spawn;

constexpr const char* kSeconds = "5";

struct Span {
  long lines = 0;
  double first = 0, last = 0;
  double PerSecond() const { return lines > 1 && last > first ? (lines - 1) / (last - first) : 0.0; }
};

// Readings per second of each tester in a watch's CSV, from the times it
// writes; `serialColumn`: the lines begin with the serial number.
std::map<std::string, double> Rates(const std::string& csv, bool serialColumn, const std::string& alone) {
  std::map<std::string, Span> spans;
  std::ifstream lines(csv);
  std::string line;
  std::getline(lines, line);  // the header
  while (std::getline(lines, line)) {
    std::string serial = alone;
    size_t at = 0;
    if (serialColumn) {
      at = line.find(',') + 1;
      serial = line.substr(0, at - 1);
    }
    const double t = std::stod(line.substr(at, line.find(',', at) - at));
    Span& s = spans[serial];
    if (s.lines++ == 0) s.first = t;
    s.last = t;
  }
  std::map<std::string, double> rates;
  for (const auto& [serial, span] : spans) rates[serial] = span.PerSecond();
  return rates;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace

int main() {
  const std::string dir = "/tmp/loadpost-multi-watch-bench-" + std::to_string(getpid());
  Child server = Spawn({LOADPOST_CLI, "sim-serve", "--latency", "1", "four-testers"}, true);
  std::map<std::string, std::string> devices;
  const std::string root = child_process::ReadDeviceRoot(server.out, &devices);
  const auto watch = [&](std::vector<std::string> choice, const std::string& csv) {
    std::vector<std::string> args = {LOADPOST_CLI, "--device-root", root};
    args.insert(args.end(), choice.begin(), choice.end());
    for (const char* a : {"watch", "--interval", "0", "--load", "1000", "--duration", kSeconds, "--out"}) {
      args.push_back(a);
    }
    args.push_back(csv);
    const child_process::Result r = Finish(Spawn(args, true));
    if (r.code != 0) std::fprintf(stderr, "watch exited with %d\n", r.code);
  };

  std::printf("load average before: %s\n", LoadAverage().c_str());
  std::map<std::string, double> alone;
  for (const auto& [serial, device] : devices) {
    const std::string csv = dir + "-" + serial + ".csv";
    watch({"--serial", serial}, csv);
    alone[serial] = Rates(csv, false, serial)[serial];
    std::remove(csv.c_str());
  }
  const std::string csv = dir + "-all.csv";
  watch({"--all"}, csv);
  std::map<std::string, double> together = Rates(csv, true, "");
  std::remove(csv.c_str());

  std::printf("watch --interval 0 over four testers, bridge at 1 ms, %s s each\n", kSeconds);
  std::printf("tester      alone/s  with 3 others/s  ratio\n");
  double lowest = 1e9;
  for (const auto& [serial, rate] : alone) {
    const double ratio = rate > 0 ? together[serial] / rate : 0.0;
    lowest = std::min(lowest, ratio);
    std::printf("%-10s  %7.1f  %15.1f  %5.3f\n", serial.c_str(), rate, together[serial], ratio);
  }
  std::printf("lowest ratio %.3f (goal 0.9 or more): %s\n", lowest, lowest >= 0.9 ? "met" : "NOT met");
  std::printf("load average after: %s\n", LoadAverage().c_str());
  kill(server.pid, SIGTERM);
  Finish(server);
  return 0;
}
