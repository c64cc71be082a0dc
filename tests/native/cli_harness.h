// Test harness of the command line's end-to-end tests: the real loadpost-cli
// run as a child process against its pseudo-terminal server, `sim-serve`.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/native/child_process.h"

namespace cli_harness {

using child_process::Child;
using child_process::Finish;
using child_process::Result;
using child_process::Spawn;
using child_process::SpawnOnTerminal;

// A scratch file or folder in a folder of this test process's own, made afresh
// and removed when the process ends: a busy machine soon gives a process id
// again, and what an earlier process left must never be taken for this one's.
inline std::string ScratchPath(const std::string& name) {
  struct Folder {
    std::string path = testing::TempDir() + "loadpost-test-XXXXXX";
    Folder() {
      // Readable by all, as /tmp's files are: some tests run the program as another user.
      const bool made = mkdtemp(path.data()) && chmod(path.c_str(), 0755) == 0;
      path = made ? path + "/" : testing::TempDir() + std::to_string(getpid()) + "_";
    }
    ~Folder() {
      std::error_code ec;
      if (path.back() == '/') std::filesystem::remove_all(path, ec);
    }
  };
  static const Folder folder;
  return folder.path + name;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// args followed by more.
inline std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// `loadpost-cli sim-serve` on a scenario (a name, or text written to a file).
class SimServer {
 public:
  explicit SimServer(const std::string& scenario, const std::vector<std::string>& extra = {}) {
    std::string arg = scenario;
    if (scenario.find('\n') != std::string::npos) {
      arg = ScratchPath("scenario-" + std::to_string(++made_) + ".sim");
      std::ofstream(arg) << scenario;
    }
    // The bridge runs as a driver in low latency, which the program asks for on
    // a real device (a pseudo-terminal cannot be asked).
    std::vector<std::string> args = {LOADPOST_CLI, "sim-serve", "--latency", "1", arg};
    args.insert(args.end(), extra.begin(), extra.end());
    child_ = Spawn(args);
    root = child_process::ReadDeviceRoot(child_.out, &devices);
  }
  // Ends it as Ctrl-C would (it removes its device tree), with its whole group.
  ~SimServer() {
    if (child_.pid > 0) kill(-child_.pid, SIGTERM);
    Finish(child_);
  }
  pid_t Pid() const { return child_.pid; }
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
