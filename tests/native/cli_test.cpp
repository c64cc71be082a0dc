// loadpost-cli end to end: the real program against the simulated tester served
// on pseudo-terminals by `loadpost-cli sim-serve`, through the real serial code.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>

#include "tests/native/cli_harness.h"

namespace {

using namespace cli_harness;

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
      {"no-devices", {"ripple", "--seconds", "0.2", "--sim", "kt40"}, 0, {"Verdict  PASS"}, ""},
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
      // No reading below 3000 mV was recorded: the source went away before its end.
      {"detach in a capacity test", {"--load", "1000", "--stop-below", "3000"}, 2,
       "Stopped   the source was detached (incomplete)"},
      {"stop below", {"--load", "3500", "--limit-mode", "allow", "--accept-risk", "--stop-below", "4500"}, 0,
       "Stopped   VBUS below 4500 mV"},
      {"capacity", {"--load", "3000", "--stop-after-mah", "0.2"}, 0, "Stopped   0.200 mAh drawn"},
  };
  for (const WatchEnd& c : cases) {
    SCOPED_TRACE(c.what);
    SimServer server("default");
    // Named per process: other runs of these tests may share the machine.
    const std::string file = testing::TempDir() + std::to_string(getpid()) + "_cli_watch.csv";
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
