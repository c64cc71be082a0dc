// Every way a command that changes the tester can end, end to end: the real
// loadpost-cli against sim-serve, judged by the tester's own frame record.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <utility>

#include "tests/native/cli_harness.h"

namespace {

using namespace cli_harness;

// The bytes of the last frame in a frame record whose line reads "<time> <prefix> ...".
std::vector<int> LastFrame(const std::string& record, const std::vector<std::string>& prefixes) {
  std::vector<int> bytes;
  std::istringstream lines(record);
  for (std::string line; std::getline(lines, line);) {
    const std::string frame = line.substr(line.find(' ') + 1);
    for (const std::string& p : prefixes) {
      if (frame.rfind(p, 0) != 0) continue;
      std::istringstream hex(frame.substr(3));
      bytes.clear();
      for (std::string b; hex >> b;) bytes.push_back(std::stoi(b, nullptr, 16));
    }
  }
  return bytes;
}

// The tester has been sent a load other than 0 mA.
bool Loaded(const std::string& record) {
  std::istringstream lines(record);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(" RX 02 03 10 ");
    if (at != std::string::npos && line.compare(at + 13, 5, "00 00") != 0) return true;
  }
  return false;
}

// The tester was told 0 mA and enforced limits (mode byte 00) last, and its
// own reports afterwards say so: set-point 0 mA, limit mode 0.
void ExpectSafe(const std::string& record) {
  EXPECT_EQ(LastFrame(record, {"RX 02 03 10"}), (std::vector<int>{2, 3, 0x10, 0, 0, 0x12, 3}));
  const std::vector<int> mode = LastFrame(record, {"RX 02 03 E0 01", "RX 02 05 E0 01"});
  const std::vector<int> measured = LastFrame(record, {"TX 02 0B 0C"});
  const std::vector<int> reported = LastFrame(record, {"TX 02 04 E1"});
  ASSERT_GE(mode.size(), 5u);
  ASSERT_EQ(measured.size(), 15u);
  ASSERT_GE(reported.size(), 4u) << "the tester was not asked for its limit mode";
  EXPECT_EQ(mode[4], 0) << "limit mode written";
  EXPECT_EQ(measured[7] | measured[8] << 8, 0) << "set-point reported";
  EXPECT_EQ(reported[3], 0) << "limit mode reported";
}

const std::string kOneProfile = "tester VXPD0001 kt60\n charger fixed 5V 3A\nend\n";
const std::vector<std::string> kAllow = {"--limit-mode", "allow", "--accept-risk"};
const std::vector<std::string> kQuick = {"--current-step", "500", "--time-step", "667", "--ripple-seconds", "0.3"};

// What ends the command once its load is on: a signal, a control command,
// "remove-out" (the output folder goes away), or nothing ("").
struct WayOut {
  const char* name;
  std::string scenario;
  std::vector<std::string> args;  // the command; "OUT" stands for a scratch folder
  std::string trigger;
  int code;
  std::string text;  // in standard output or standard error
};

// A client of `serve` that switches its tester's load on and stays connected: reads the server's "<serial>
// TCPIP::127.0.0.1::<port>::SOCKET" line and sends the commands. The socket, or -1.
int HoldLoadOverScpi(const Child& serve, const std::string& commands) {
  const std::string line = child_process::ReadLine(serve.out);
  const size_t end = line.rfind("::SOCKET");
  const size_t port = end == std::string::npos || end == 0 ? end : line.rfind("::", end - 1);
  if (port == std::string::npos) return -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(std::atoi(line.c_str() + port + 2)));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const std::string text = commands + "\n";
  if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
      write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

const std::map<std::string, int> kSignals = {
    {"SIGINT", SIGINT}, {"SIGTERM", SIGTERM}, {"SIGHUP", SIGHUP}, {"SIGQUIT", SIGQUIT}};

TEST(CliEnd, EveryWayOutLeavesTheTesterAtZeroWithEnforcedLimits) {
  const std::vector<std::string> sweep = With({"sweep"}, {kQuick.begin(), kQuick.begin() + 4});
  const std::vector<std::string> report = With({"report", "--out", "OUT"}, kQuick);
  // Slow enough that the folder is surely removed while the command runs, however busy the machine.
  const std::vector<std::string> slow = {"--current-step", "500", "--time-step", "1500"};
  const WayOut cases[] = {
      {"load, its time up", "default", {"load", "1500", "--for", "1"}, "", 0,
       "Load back to 0 mA on VXPD0001: 1.0 s elapsed"},
      {"load, SIGINT", "default", {"load", "1500"}, "SIGINT", 0, "Load back to 0 mA on VXPD0001: stopped by the user"},
      {"load --for, SIGINT", "default", {"load", "1500", "--for", "60"}, "SIGINT", 2,
       "load ended early: stopped by the user"},
      {"load allow, SIGTERM", "default", With({"load", "3500"}, kAllow), "SIGTERM", 0,
       "Load back to 0 mA on VXPD0001: stopped by SIGTERM"},
      {"load allow, SIGHUP", "default", With({"load", "3500"}, kAllow), "SIGHUP", 2,
       "load ended early: the terminal was closed (SIGHUP); the load is back at 0 mA"},
      {"load, SIGQUIT", "default", {"load", "1500", "--for", "60"}, "SIGQUIT", 2,
       "load ended early: quit by the user (SIGQUIT)"},
      {"load allow, detach", "default", With({"load", "3500"}, kAllow), "detach", 2,
       "load ended early: the source was detached"},
      {"load, capability change", "default", {"load", "1500"}, "capchange", 2,
       "load ended early: the source re-advertised its capabilities"},
      {"load allow, unplug", "default", With({"load", "3500"}, kAllow), "unplug VXPD0001", 2,
       "the connection to the tester was lost: the load could not be set back to 0 mA"},
      // The tester stops taking loads: 0 mA is sent, and the user is told to check and clear it.
      {"load --for, loads no longer taken", "default", {"load", "1500", "--for", "1.5"}, "fault drop 10 always", 2,
       "could not set the load back to 0 mA (the tester did not answer); check the tester with 'loadpost-cli status' and clear it "
       "with 'loadpost-cli load 0'"},
      // The terminal is gone (writes fail with EIO) when SIGHUP comes: the end goes on.
      {"watch on a terminal that closes, SIGHUP", "default", {"watch", "--load", "1000", "--interval", "50"}, "hangup",
       2, ""},
      {"watch, its time up", "default", {"watch", "--load", "1000", "--duration", "1"}, "", 0,
       "Stopped   1.0 s elapsed"},
      {"watch, SIGTERM", "default", {"watch", "--load", "1000"}, "SIGTERM", 0, "Stopped   stopped by SIGTERM"},
      {"watch --stop-below, SIGHUP", "default", {"watch", "--load", "1000", "--stop-below", "3000"}, "SIGHUP", 2,
       "Stopped   the terminal was closed (SIGHUP) (incomplete)"},
      {"watch JSON, SIGQUIT", "default", {"--json", "watch", "--load", "1000"}, "SIGQUIT", 2,
       "\"complete\":false,\"durationS\""},
      {"watch allow --stop-below, capability change", "default",
       With({"watch", "--load", "3500", "--stop-below", "3000"}, kAllow), "capchange", 2,
       "Stopped   the source re-advertised its capabilities (incomplete)"},
      {"watch, output full", "default", {"watch", "--load", "1000", "--out", "/dev/full"}, "", 2,
       "cannot write /dev/full: No space left on device"},
      {"sweep, complete", kOneProfile, sweep, "", 0, "7 of 7 steps, complete"},
      {"sweep allow, complete", kOneProfile, With(sweep, kAllow), "", 0, "8 of 8 steps, complete"},
      {"sweep allow, SIGINT", kOneProfile, With(sweep, kAllow), "SIGINT", 2, "sweep ended early: stopped by the user"},
      {"sweep, SIGQUIT", kOneProfile, sweep, "SIGQUIT", 2, "sweep ended early: quit by the user (SIGQUIT)"},
      {"sweep, detach", kOneProfile, sweep, "detach", 2, "sweep ended early: the source was detached"},
      {"sweep allow, capability change", kOneProfile, With(sweep, kAllow), "capchange", 2,
       "sweep ended early: the source re-advertised its capabilities"},
      {"sweep, unplug", kOneProfile, sweep, "unplug VXPD0001", 2,
       "sweep ended early: the connection to the tester was lost"},
      {"sweep, output folder gone", kOneProfile, With(With({"sweep"}, slow), {"--csv", "OUT/sweep.csv"}), "remove-out", 2,
       "cannot write"},
      {"report allow, complete", kOneProfile, With(report, kAllow), "", 0, "Verdict PASS"},
      {"report, SIGHUP", kOneProfile, report, "SIGHUP", 2, "run 1 (PD-FIX 5.00V): the terminal was closed (SIGHUP)"},
      {"report allow, SIGTERM", kOneProfile, With(report, kAllow), "SIGTERM", 2,
       "run 1 (PD-FIX 5.00V): stopped by SIGTERM"},
      // The tester's device path (its name when opened by --port) is not UTF-8: writing report.json throws.
      {"report allow, exception", kOneProfile, With(report, kAllow), "", 2, "ended by an unexpected error"},
      {"report, output folder gone", kOneProfile, With(With({"report", "--out", "OUT"}, slow), {"--ripple-seconds", "0.3"}),
       "remove-out", 2, "cannot write"},
      // serve: a client holds a load beyond the rating; every stop signal ends the server cleanly, saying why.
      {"serve, SIGINT", "default", {"serve", "--port-base", "0"}, "SIGINT", 0,
       "the server was stopped (stopped by the user); load 0 mA, limits enforced"},
      {"serve, SIGTERM", "default", {"serve", "--port-base", "0"}, "SIGTERM", 0,
       "the server was stopped (stopped by SIGTERM); load 0 mA, limits enforced"},
      {"serve, SIGQUIT", "default", {"serve", "--port-base", "0"}, "SIGQUIT", 0,
       "the server was stopped (quit by the user (SIGQUIT)); load 0 mA, limits enforced"},
  };
  constexpr size_t kAtOnce = 7;
  for (size_t first = 0; first < std::size(cases); first += kAtOnce) {
    const size_t end = std::min(std::size(cases), first + kAtOnce);
    std::vector<std::unique_ptr<SimServer>> servers;
    std::vector<Child> children;
    std::vector<std::string> records, outs;
    std::vector<int> terminals, clients;
    for (size_t i = first; i < end; ++i) {
      const WayOut& c = cases[i];
      records.push_back(ScratchPath("end-record-" + std::to_string(i) + ".txt"));
      outs.push_back(ScratchPath("end-out-" + std::to_string(i)));
      std::remove(records.back().c_str());
      std::filesystem::remove_all(outs.back());
      std::filesystem::create_directories(outs.back());
      servers.push_back(std::make_unique<SimServer>(c.scenario, std::vector<std::string>{"--record", records.back()}));
      std::vector<std::string> args = c.args;
      for (std::string& a : args) {
        if (a.rfind("OUT", 0) == 0) a = outs.back() + a.substr(3);
      }
      if (std::string(c.name).find("exception") != std::string::npos) {
        const std::string port = outs.back() + "/tester-\xff";
        std::filesystem::create_symlink(servers.back()->devices["VXPD0001"], port);
        args.insert(args.begin(), {LOADPOST_CLI, "--port", port});
        children.push_back(Spawn(args));
      } else if (c.trigger == "hangup") {
        args.insert(args.begin(), {LOADPOST_CLI, "--device-root", servers.back()->root});
        terminals.push_back(-1);
        children.push_back(SpawnOnTerminal(args, &terminals.back()));
      } else {
        children.push_back(servers.back()->Start(args));
        if (c.args[0] == "serve") {
          clients.push_back(HoldLoadOverScpi(children.back(), "CURR:LIM:ACC;MODE ALL;:CURR 3.5;INP ON"));
          EXPECT_GE(clients.back(), 0) << c.name;
        }
      }
    }
    // Each trigger once its command has switched the load on.
    std::vector<bool> fired(end - first, false);
    for (int wait = 0; wait < 400; ++wait) {
      bool pending = false;
      for (size_t k = 0; k < fired.size(); ++k) {
        const std::string& trigger = cases[first + k].trigger;
        if (fired[k] || trigger.empty()) continue;
        if (!Loaded(ReadFile(records[k]))) {
          pending = true;
          continue;
        }
        fired[k] = true;
        if (kSignals.count(trigger)) {
          kill(children[k].pid, kSignals.at(trigger));
        } else if (trigger == "hangup") {
          kill(children[k].pid, SIGHUP);
          for (int& t : terminals) close(std::exchange(t, -1));
        } else if (trigger == "remove-out") {
          std::filesystem::remove_all(outs[k]);
        } else {
          servers[k]->Control(trigger);
        }
      }
      if (!pending) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (size_t k = 0; k < children.size(); ++k) {
      const WayOut& c = cases[first + k];
      SCOPED_TRACE(c.name);
      const Result r = Finish(children[k]);
      EXPECT_EQ(r.code, c.code) << r.out << r.err;
      EXPECT_NE((r.out + r.err).find(c.text), std::string::npos) << r.out << r.err;
      if (c.trigger.rfind("unplug", 0) == 0) continue;  // nothing reaches a tester that is gone
      if (c.trigger.rfind("fault", 0) == 0) {
        EXPECT_EQ(LastFrame(ReadFile(records[k]), {"RX 02 03 10"}), (std::vector<int>{2, 3, 0x10, 0, 0, 0x12, 3}));
        continue;
      }
      ExpectSafe(ReadFile(records[k]));
    }
    for (int fd : clients) {
      if (fd >= 0) close(fd);
    }
  }
}

// SIGKILL cannot be caught: the user guide's check and clearing afterwards.
TEST(CliEnd, AfterAKillStatusShowsWhatWasLeftAndLoadZeroClearsIt) {
  const std::string record = ScratchPath("kill-record.txt");
  std::remove(record.c_str());
  SimServer server("default", {"--record", record});
  const Child load = server.Start(With({"load", "3500"}, kAllow));
  for (int i = 0; i < 200 && !Loaded(ReadFile(record)); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  kill(load.pid, SIGKILL);
  Finish(load);
  const std::string left = server.Run({"--json", "status"}).out;
  EXPECT_NE(left.find("\"limitMode\":\"allow\""), std::string::npos) << left;
  EXPECT_NE(left.find("\"setpointMa\":3500"), std::string::npos) << left;
  const Result cleared = server.Run({"load", "0"});
  EXPECT_EQ(cleared.code, 0) << cleared.err;
  EXPECT_NE(cleared.out.find("Load 0 mA on VXPD0001 (VBUS 5.000 V), limits enforced; done"), std::string::npos);
  const std::string after = server.Run({"--json", "status"}).out;
  EXPECT_NE(after.find("\"limitMode\":\"enforce\""), std::string::npos) << after;
  EXPECT_NE(after.find("\"setpointMa\":0"), std::string::npos) << after;
}

}  // namespace
