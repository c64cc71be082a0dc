// Readings per second of `loadpost-cli watch --interval 0` (every reading)
// against `loadpost-cli sim-serve`, through the real serial code and a
// pseudo-terminal, with the simulated USB bridge's latency timer at the Linux
// driver's default (16 ms) and at its low-latency setting (1 ms); each as a
// ratio to what the wire allows: a reading is GetMeasurements, 5 + 15 bytes
// at 115200 baud 8N1 (1.74 ms, 576 readings/s).
//   cli_watch_bench [seconds]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr double kWireReadingsPerSecond = 115200.0 / (10.0 * (5 + 15));

struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child Spawn(const std::vector<std::string>& args) {
  int out[2];
  if (pipe(out) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);  // the run's summary
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, out[1]);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Child c;
  if (posix_spawn(&c.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) c.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  c.out = out[0];
  return c;
}

// Everything the child writes until it closes its output (or `ms` pass).
std::string ReadAll(int fd, int ms) {
  std::string text;
  pollfd p{fd, POLLIN, 0};
  char buffer[4096];
  while (poll(&p, 1, ms) > 0) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

std::string ReadLine(int fd) {
  std::string line;
  char ch;
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 10000) > 0 && read(fd, &ch, 1) == 1 && ch != '\n') line += ch;
  return line;
}

// Readings per second of a `watch` run against a server with this latency.
double ReadingsPerSecond(int latencyMs, int seconds) {
  Child server = Spawn({LOADPOST_CLI, "sim-serve", "--latency", std::to_string(latencyMs), "default"});
  std::string root;
  for (std::string line = ReadLine(server.out); !line.empty(); line = ReadLine(server.out)) {
    if (line.rfind("device-root ", 0) == 0) {
      root = line.substr(12);
      break;
    }
  }
  double rate = 0.0;
  if (!root.empty()) {
    Child watch = Spawn({LOADPOST_CLI, "--device-root", root, "watch", "--interval", "0", "--duration",
                         std::to_string(seconds)});
    const std::string csv = ReadAll(watch.out, (seconds + 20) * 1000);
    waitpid(watch.pid, nullptr, 0);
    close(watch.out);
    size_t lines = 0;
    for (char ch : csv) lines += ch == '\n';
    if (lines > 1) rate = static_cast<double>(lines - 1) / seconds;  // the first line is the header
  }
  kill(server.pid, SIGTERM);
  ReadAll(server.out, 5000);
  waitpid(server.pid, nullptr, 0);
  close(server.out);
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const double slow = ReadingsPerSecond(16, seconds);
  const double fast = ReadingsPerSecond(1, seconds);
  std::printf("wire limit: %.1f readings/s (20 bytes per reading)\n", kWireReadingsPerSecond);
  std::printf("bridge latency timer        watch readings/s  ratio\n");
  std::printf("16 ms (driver default)      %16.1f  %5.3f\n", slow, slow / kWireReadingsPerSecond);
  std::printf("1 ms (low-latency setting)  %16.1f  %5.3f\n", fast, fast / kWireReadingsPerSecond);
  return slow > 0 && fast > 0 ? 0 : 1;
}
