// loadpost-cli end to end: the real program against the simulated tester served
// on pseudo-terminals by `loadpost-cli sim-serve`, through the real serial code.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Child {
  pid_t pid = -1;
  int in = -1;   // its standard input
  int out = -1;  // its standard output
  int err = -1;  // its standard error
};

Child Spawn(const std::vector<std::string>& args) {
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
Result Finish(Child c) {
  Result r;
  close(c.in);
  pollfd fds[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  int open = 2;
  while (open > 0 && poll(fds, 2, 30000) > 0) {
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

std::string ReadLine(int fd) {
  std::string line;
  char ch;
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 10000) > 0 && read(fd, &ch, 1) == 1 && ch != '\n') line += ch;
  return line;
}

// A file in the temporary folder that no other run of these tests uses at the
// same time (several worktrees may run them on one machine).
std::string ScratchFile(const std::string& name) {
  return testing::TempDir() + std::to_string(getpid()) + "_" + name;
}

// `loadpost-cli sim-serve` on a scenario (a name, or text written to a file).
class SimServer {
 public:
  explicit SimServer(const std::string& scenario) {
    std::string arg = scenario;
    if (scenario.find('\n') != std::string::npos) {
      arg = ScratchFile("cli_scenario.sim");
      std::ofstream(arg) << scenario;
    }
    // The bridge runs as a driver in low latency, which the program asks for on
    // a real device (a pseudo-terminal cannot be asked).
    child_ = Spawn({LOADPOST_CLI, "sim-serve", "--latency", "1", arg});
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
};

constexpr const char* kGarbledScenario = "tester VXPD0001 kt60\n charger pd65\n fault badetx any always\nend\n";

struct Case {
  const char* scenario;
  std::vector<std::string> args;
  int code;
  std::vector<std::string> out;  // texts standard output holds
  std::string err;               // a text standard error holds
};

TEST(CliCommands, AnswerLikeTheWindowForEachScenario) {
  const Case cases[] = {
      {"default", {"list"}, 0, {"VXPD0001  KT-60  2.0       3.0       yes"}, ""},
      {"default", {"status"}, 0, {"Profile        PD-FIX", "Rated current  3000mA", "VBUS           5.00 V"}, ""},
      {"default", {"--json", "status"}, 0, {"\"attached\":true", "\"profile\":\"PD-FIX\"", "\"setpointMa\":0"}, ""},
      {"default", {"profiles"}, 0, {"*  0    PD-FIX 5.00V", "   4    PD-APDO 3.30V-21.00V  3000mA"}, ""},
      {"default", {"request", "1"}, 0, {"Active row 1: PD-FIX 9.00V, 9000 mV"}, ""},
      {"default", {"load", "1000", "--for", "0.5"}, 0, {"Load 1000 mA on VXPD0001 (VBUS 4.89 V)"}, ""},
      {"kt40", {"load", "3600", "--limit-mode", "allow", "--accept-risk", "--for", "0"}, 0, {"Load 3600 mA"}, ""},
      {"default", {"request", "5"}, 2, {}, "row 5 is not in the capability list (rows 0 to 4)"},
      {"default", {"request", "--voltage", "9000"}, 2, {}, "VXPD0001: The active profile is not programmable"},
      {"default", {"request", "x"}, 2, {}, "x"},
      {"default", {"--serial", "VXPD9999", "status"}, 2, {}, "no tester with serial number VXPD9999 (found: VXPD0001)"},
      {"qc3", {"request", "--voltage", "9000"}, 0, {"9000 mV"}, ""},
      {"qc3", {"request", "--voltage", "20000"}, 2, {}, "Please enter a number between 3600-12000"},
      {"kt40", {"profiles"}, 0, {"Unknown profile"}, ""},
      {"kt40", {"request", "4"}, 2, {}, "PPS profiles are not supported by KT-40."},
      {"kt40-fw26", {"list"}, 0, {"VXPD0026  KT-40  1.0       2.6       no: Please update the device firmware"}, ""},
      {"kt40-fw26", {"status"}, 2, {}, "VXPD0026: Please update the device firmware"},
      {"two-testers", {"status"}, 2, {}, "2 testers found (VXPD0001, VXPD0002): choose one with --serial"},
      {"two-testers", {"--serial", "VXPD0002", "--json", "list"}, 0, {"\"serial\":\"VXPD0002\""}, ""},
      {"no-devices", {"list"}, 2, {}, "No Trevane Loadpost device detected."},
      {"no-devices", {"--sim", "kt40", "list"}, 0, {"VXPD0040  KT-40  1.0       2.7       yes"}, ""},
      {kGarbledScenario, {"status"}, 2, {}, "Unable to connect to selected Loadpost device (VXPD0001: no answer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.scenario) + " " + c.args.back());
    SimServer server(c.scenario);
    const Result r = server.Run(c.args);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    for (const std::string& text : c.out) EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    // A pseudo-terminal has no latency timer: nothing to set, nothing to report.
    EXPECT_EQ(r.err.find("Low-latency"), std::string::npos) << r.err;
  }
}

TEST(CliCommands, BusyTesterIsRefusedWhileAnotherProcessHoldsIt) {
  SimServer server("default");
  const int fd = open(server.devices["VXPD0001"].c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  const Result status = server.Run({"status"});
  EXPECT_EQ(status.code, 2);
  EXPECT_NE(status.err.find("VXPD0001: Another copy of Loadpost is already using that tester."), std::string::npos);
  EXPECT_NE(server.Run({"list"}).out.find("no: Another copy of Loadpost is already using that tester."),
            std::string::npos);
  close(fd);
  EXPECT_EQ(server.Run({"status"}).code, 0);
}

struct BadInput {
  std::vector<std::string> args;
  std::string err;
};

TEST(CliCommands, RefuseBadValuesBeforeTouchingTheTester) {
  const BadInput cases[] = {
      {{"load", "6000"}, "load 6000 mA is out of range (0 to 5100 mA)"},
      {{"load", "3001"}, "load 3001 mA is above the ceiling of 3000 mA (limit mode enforce, rated current 3000 mA)"},
      {{"load", "3601", "--limit-mode", "allow", "--accept-risk"}, "above the ceiling of 3600 mA"},
      {{"load", "3500", "--limit-mode", "allow"}, "add --accept-risk"},
      {{"load", "2000", "--limit-mode", "force", "--limit", "1200", "--accept-risk"}, "1000 to 5000 in steps of 500"},
      {{"load", "-1"}, "out of range"},
      {{"load", "abc"}, "abc"},
      {{"watch", "--out", "/nonexistent/w.csv"}, "cannot write /nonexistent/w.csv"},
      {{"watch", "--stop-below", "3000"}, "--stop-below needs --load"},
  };
  SimServer server("default");
  for (const BadInput& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    const Result r = server.Run(c.args);
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_NE(server.Run({"--json", "status"}).out.find("\"setpointMa\":0"), std::string::npos);
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Waits until the watch has written `n` lines to `path`.
bool AwaitLines(const std::string& path, size_t n) {
  for (int i = 0; i < 200; ++i) {
    if (Lines(path).size() >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

struct WatchEnd {
  const char* what;
  std::vector<std::string> args;
  int code;
  std::string stopped;
};

TEST(CliWatch, EveryEndLeavesACompleteFileTheLoadAtZeroAndASummary) {
  const WatchEnd cases[] = {
      {"ctrl-c", {"--load", "1000"}, 0, "Stopped   stopped by the user"},
      {"ctrl-c with a duration", {"--load", "1000", "--duration", "60"}, 2, "stopped by the user (incomplete)"},
      {"unplug", {"--load", "1000", "--duration", "60"}, 2, "the tester was unplugged or stopped answering"},
      {"detach", {"--load", "1000"}, 2, "the source was detached (incomplete)"},
      {"detach in a capacity test", {"--load", "1000", "--stop-below", "3000"}, 0, "Stopped   VBUS below 3000 mV"},
      {"stop below", {"--load", "3500", "--limit-mode", "allow", "--accept-risk", "--stop-below", "4500"}, 0,
       "Stopped   VBUS below 4500 mV"},
      {"capacity", {"--load", "3000", "--stop-after-mah", "0.2"}, 0, "Stopped   0.200 mAh drawn"},
  };
  for (const WatchEnd& c : cases) {
    SCOPED_TRACE(c.what);
    SimServer server("default");
    const std::string file = ScratchFile("cli_watch.csv");
    std::remove(file.c_str());
    std::vector<std::string> args = {"watch", "--interval", "50", "--out", file};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Child watch = server.Start(args);
    ASSERT_TRUE(AwaitLines(file, 2));
    const std::string what = c.what;
    if (what.rfind("ctrl-c", 0) == 0) kill(watch.pid, SIGINT);
    if (what == "unplug") server.Control("unplug VXPD0001");
    if (what.rfind("detach", 0) == 0) server.Control("detach");
    const Result r = Finish(watch);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_NE(r.out.find(c.stopped), std::string::npos) << r.out;
    const std::vector<std::string> lines = Lines(file);
    ASSERT_GE(lines.size(), 2u);
    for (const std::string& line : lines) EXPECT_EQ(std::count(line.begin(), line.end(), ','), 9) << line;
    if (what != "unplug") {
      const std::string status = server.Run({"--json", "status"}).out;
      EXPECT_NE(status.find("\"setpointMa\":0"), std::string::npos) << status;
    }
  }
}

}  // namespace
