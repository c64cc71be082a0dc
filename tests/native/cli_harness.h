// Test harness of the command line's end-to-end tests: the real loadpost-cli
// run as a child process against its pseudo-terminal server, `sim-serve`.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace cli_harness {

struct Child {
  pid_t pid = -1;
  int in = -1;   // its standard input
  int out = -1;  // its standard output
  int err = -1;  // its standard error
};

inline Child Spawn(const std::vector<std::string>& args) {
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Child c;
  if (posix_spawn(&c.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) c.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  c.in = in[1];
  c.out = out[0];
  c.err = err[0];
  return c;
}

struct Result {
  int code = -1;
  std::string out;
  std::string err;
};

// Reads both outputs to their end and waits for the exit code.
inline Result Finish(Child c) {
  Result r;
  close(c.in);
  pollfd fds[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open = 2;
  // A report prints nothing until its end: minutes of silence are no hang.
  while (open > 0 && poll(fds, 2, 300000) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (!fds[i].revents) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  if (open > 0) kill(c.pid, SIGKILL);  // hung: fail rather than wait forever
  int status = 0;
  waitpid(c.pid, &status, 0);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

inline std::string ReadLine(int fd) {
  std::string line;
  char ch;
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 10000) > 0 && read(fd, &ch, 1) == 1 && ch != '\n') line += ch;
  return line;
}

// `loadpost-cli sim-serve` on a scenario (a name, or text written to a file).
class SimServer {
 public:
  explicit SimServer(const std::string& scenario, const std::vector<std::string>& extra = {}) {
    std::string arg = scenario;
    if (scenario.find('\n') != std::string::npos) {
      arg = testing::TempDir() + "cli_scenario_" + std::to_string(getpid()) + "_" + std::to_string(++made_) + ".sim";
      std::ofstream(arg) << scenario;
    }
    // The bridge runs as a driver in low latency, which the program asks for on
    // a real device (a pseudo-terminal cannot be asked).
    std::vector<std::string> args = {LOADPOST_CLI, "sim-serve", "--latency", "1", arg};
    args.insert(args.end(), extra.begin(), extra.end());
    child_ = Spawn(args);
    for (std::string line = ReadLine(child_.out); !line.empty(); line = ReadLine(child_.out)) {
      const size_t space = line.find(' ');
      if (line.compare(0, space, "device-root") == 0) {
        root = line.substr(space + 1);
        break;
      }
      devices[line.substr(0, space)] = line.substr(space + 1);
    }
  }
  ~SimServer() {
    kill(child_.pid, SIGTERM);
    Finish(child_);
  }
  void Control(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(write(child_.in, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Runs loadpost-cli with this server's device tree.
  Result Run(std::vector<std::string> args) const {
    args.insert(args.begin(), {LOADPOST_CLI, "--device-root", root});
    return Finish(Spawn(args));
  }
  Child Start(std::vector<std::string> args) const {
    args.insert(args.begin(), {LOADPOST_CLI, "--device-root", root});
    return Spawn(args);
  }

  std::string root;
  std::map<std::string, std::string> devices;  // serial -> pseudo-terminal

 private:
  Child child_;
  static inline int made_ = 0;
};

}  // namespace cli_harness
