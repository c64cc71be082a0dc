// Several testers at once from one command (--all, --serial more than once): the real loadpost-cli, in process with the
// simulated testers (each on a thread of its own, in simulated time) and against sim-serve.
#include <gtest/gtest.h>

#include <poll.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include <nlohmann/json.hpp>

#include "tests/native/cli_harness.h"

namespace {

using namespace cli_harness;
using nlohmann::json;

std::vector<json> JsonLines(const std::string& text) {
  std::vector<json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(json::parse(line));
  }
  return lines;
}

Child StartSim(const std::string& scenario, std::vector<std::string> args) {
  args.insert(args.begin(), {LOADPOST_CLI, "--sim", scenario});
  return Spawn(args);
}

// A report's measurements and verdicts, without the date it was made.
json Measured(json report) {
  report.erase("date");
  return report;
}

const std::vector<std::string> kQuickReport = {"report", "--current-step", "500", "--time-step", "667",
                                               "--ripple-seconds", "0.5"};

// The two testers of the shipped scenario, in simulated time, run by one process at once (a thread each): every
// reading, the capacity and every verdict of each equal what that tester gives when it runs alone.
TEST(CliSeveralTesters, InOneProcessEachGivesWhatItGivesAlone) {
  const std::string scenario = ScratchPath("two-simulated.sim");
  std::ofstream(scenario) << "option clock simulated\n" << ReadFile(LOADPOST_SCENARIO_DIR "/two-testers.sim");
  const std::vector<std::string> serials = {"VXPD0001", "VXPD0002"};
  const std::vector<std::string> watch = {"--json", "watch", "--interval", "0", "--load", "1500", "--duration", "5"};
  const std::string out = ScratchPath("two-reports");
  std::filesystem::remove_all(out);
  // Limits, JUnit and the results history with several testers: every report judged, one suite per tester, one history
  // row per tester (the threads of one process and the processes alone writing to one database).
  const std::string limits = ScratchPath("two-limits.json"), junit = ScratchPath("two-junit.xml");
  const std::string db = ScratchPath("two-history.db");
  std::filesystem::remove(db);
  std::ofstream(limits) << R"({"rules": [{"name": "ripple under 150 mV", "maxRippleMv": 150}]})";
  const std::vector<std::string> verdicts = {"--limits", limits, "--db", db, "--label", "PSU-2"};
  // Each tester alone runs in a process of its own meanwhile.
  std::vector<Child> watchAlone, reportAlone;
  for (const std::string& serial : serials) {
    watchAlone.push_back(StartSim(scenario, With({"--serial", serial}, watch)));
    reportAlone.push_back(StartSim(
        scenario, With(kQuickReport, With({"--serial", serial, "--out", out + "/alone-" + serial}, verdicts))));
  }
  const Result both = Finish(StartSim(scenario, With({"--all"}, watch)));
  ASSERT_EQ(both.code, 0) << both.err;
  std::map<std::string, std::vector<json>> together;
  for (json line : JsonLines(both.out)) {
    const std::string serial = line.value("serial", "");
    line.erase("serial");
    together[serial].push_back(line);
  }
  ASSERT_EQ(together.size(), serials.size());
  for (size_t i = 0; i < serials.size(); ++i) {
    SCOPED_TRACE(serials[i]);
    const Result alone = Finish(watchAlone[i]);
    ASSERT_EQ(alone.code, 0) << alone.err;
    const std::vector<json> lines = JsonLines(alone.out);
    ASSERT_GT(lines.size(), 500u);  // every reading of 5 s
    EXPECT_EQ(together[serials[i]], lines);  // readings, capacity, and the summary at the end
  }
  // Different chargers behind them: a value of one in the other's lines would show.
  EXPECT_NE(together[serials[0]].back()["summary"]["capacityMwh"],
            together[serials[1]].back()["summary"]["capacityMwh"]);
  const Result reports =
      Finish(StartSim(scenario, With(kQuickReport, With({"--all", "--out", out, "--junit", junit}, verdicts))));
  ASSERT_EQ(reports.code, 0) << reports.out << reports.err;
  const json summary = json::parse(ReadFile(out + "/summary.json"));
  EXPECT_EQ(summary["verdict"], "PASS");
  for (size_t i = 0; i < serials.size(); ++i) {
    SCOPED_TRACE(serials[i]);
    const Result alone = Finish(reportAlone[i]);
    ASSERT_EQ(alone.code, 0) << alone.err;
    const json mine = json::parse(ReadFile(out + "/alone-" + serials[i] + "/report.json"));
    EXPECT_EQ(Measured(json::parse(ReadFile(out + "/" + serials[i] + "/report.json"))), Measured(mine));
    EXPECT_EQ(summary["testers"][i]["serial"], serials[i]);
    EXPECT_EQ(summary["testers"][i]["verdict"], mine["verdict"]);
    EXPECT_EQ(summary["testers"][i]["report"], serials[i] + "/report.html");
  }
  EXPECT_NE(ReadFile(out + "/index.html").find("<a href=\"VXPD0002/report.html\">"), std::string::npos);
  const std::string xml = ReadFile(junit);
  // One suite per tester, in the order of the testers.
  const size_t first = xml.find("<testsuite name=\"loadpost report VXPD0001\"");
  EXPECT_NE(first, std::string::npos) << xml;
  EXPECT_GT(xml.find("<testsuite name=\"loadpost report VXPD0002\""), first) << xml;
  EXPECT_EQ(xml.find("<testsuite ", xml.find("<testsuite ", first + 1) + 1), std::string::npos) << xml;
  const Result history = Finish(Spawn({LOADPOST_CLI, "--json", "history", "--db", db, "--label", "PSU-2"}));
  ASSERT_EQ(history.code, 0) << history.err;
  std::map<std::string, int> rows;  // per tester: alone and together
  for (const json& r : json::parse(history.out)) {
    ++rows[r["tester"]["serial"].get<std::string>()];
    EXPECT_EQ(r["verdict"], "PASS");
    EXPECT_FALSE(r["limits"].get<std::string>().empty());
  }
  EXPECT_EQ(rows, (std::map<std::string, int>{{"VXPD0001", 2}, {"VXPD0002", 2}}));
}

// Ctrl-C reaches every tester of a watch over several, each through its own link (the simulated ones in real time are
// woken by a callback of their own): all of them stop at once, each with its summary (a capture cut short of its
// --duration: incomplete).
TEST(CliSeveralTesters, CtrlCStopsEveryTester) {
  Child watch = StartSim("two-testers", {"--all", "watch", "--load", "500", "--interval", "100", "--duration", "20"});
  // Both watching (a second of lines from each), then Ctrl-C.
  std::string seen;
  pollfd p{watch.out, POLLIN, 0};
  char buffer[4096];
  ssize_t n = 0;
  while ((seen.find("VXPD0001,1.") == std::string::npos || seen.find("VXPD0002,1.") == std::string::npos) &&
         poll(&p, 1, 10000) > 0 && (n = read(watch.out, buffer, sizeof buffer)) > 0) {
    seen.append(buffer, static_cast<size_t>(n));
  }
  kill(watch.pid, SIGINT);
  const Result r = Finish(watch);
  EXPECT_EQ(r.code, 2) << r.err;
  for (const std::string serial : {"VXPD0001", "VXPD0002"}) {
    EXPECT_NE(seen.find(serial + ",1."), std::string::npos) << seen;
    EXPECT_TRUE(std::regex_search(r.err, std::regex(serial + " .* stopped by the user \\(incomplete\\)\n"))) << r.err;
  }
}

// The last load each tester of a frame record was sent (the set-point of its last 0x10 frame), by serial number.
std::map<std::string, std::string> LastLoadFrames(const std::string& record) {
  std::map<std::string, std::string> last;
  std::istringstream in(record);
  std::string device;
  for (std::string line; std::getline(in, line);) {
    const size_t note = line.find(" # device ");
    if (note != std::string::npos) device = line.substr(note + 10);
    const size_t frame = line.find(" RX 02 03 10 ");
    if (frame != std::string::npos) last[device] = line.substr(frame + 13, 5);
  }
  return last;
}

// Four testers on pseudo-terminals report at once; one is unplugged part-way. The others' reports are complete and
// pass, the unplugged one's is incomplete and said to be, the command exits 2, and every tester ends at 0 mA.
TEST(CliSeveralTesters, FourReportAtOnceAndOneUnpluggedPartWayStopsNoOther) {
  const std::string record = ScratchPath("four-record.txt");
  std::remove(record.c_str());
  SimServer server("four-testers", {"--record", record});
  ASSERT_EQ(server.devices.size(), 4u);
  const std::string out = ScratchPath("four-reports");
  std::filesystem::remove_all(out);
  Child reports = server.Start(With(kQuickReport, {"--all", "--out", out}));
  // Part-way through its first sweep (the reports take about 10 s).
  std::this_thread::sleep_for(std::chrono::seconds(3));
  server.Control("unplug VXPD0003");
  const Result r = Finish(reports);
  EXPECT_EQ(r.code, 2) << r.out << r.err;
  EXPECT_NE(r.err.find("VXPD0003: the connection to the tester was lost"), std::string::npos) << r.err;
  const json summary = json::parse(ReadFile(out + "/summary.json"));
  EXPECT_EQ(summary["verdict"], "INCOMPLETE");
  EXPECT_EQ(summary["exitCode"], 2);
  ASSERT_EQ(summary["testers"].size(), 4u);
  for (const json& t : summary["testers"]) {
    const std::string serial = t["serial"];
    SCOPED_TRACE(serial);
    const json report = json::parse(ReadFile(out + "/" + serial + "/report.json"));
    const bool unplugged = serial == "VXPD0003";
    EXPECT_EQ(t["verdict"], unplugged ? "INCOMPLETE" : "PASS");
    EXPECT_EQ(t["complete"], !unplugged);
    EXPECT_EQ(report["complete"], !unplugged);
    EXPECT_EQ(report["tester"]["serial"], serial);
    if (!unplugged) {
      for (const json& run : report["runs"]) EXPECT_EQ(run["verdict"], "PASS");
    } else {
      EXPECT_NE(report["incompleteReason"].get<std::string>().find("the connection to the tester was lost"),
                std::string::npos)
          << report["incompleteReason"];
    }
  }
  // Each tester still plugged in was told 0 mA last; the unplugged one lost
  // its load with its power, as its own report shows once it is back.
  std::map<std::string, std::string> last = LastLoadFrames(ReadFile(record));
  for (const std::string serial : {"VXPD0001", "VXPD0002", "VXPD0004"}) EXPECT_EQ(last[serial], "00 00") << serial;
  server.Control("plug VXPD0003");
  std::vector<json> status;
  for (int tries = 0; tries < 20 && status.size() < 4; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const Result s = server.Run({"--all", "--json", "status"});
    status = s.code == 0 ? JsonLines(s.out) : std::vector<json>{};
  }
  ASSERT_EQ(status.size(), 4u);
  for (const json& s : status) {
    EXPECT_EQ(s["setpointMa"], 0) << s;
    EXPECT_EQ(s["currentMa"], 0) << s;
  }
}

// Which testers a command takes: a busy one is listed and skipped, the exit code is 2 when none is left, and options
// that cannot go together are refused before any tester is touched.
TEST(CliSeveralTesters, BusyTestersAreSkippedAndWrongChoicesRefused) {
  struct Case {
    std::vector<std::string> held;  // held by another program meanwhile
    std::vector<std::string> args;
    int code;
    std::vector<std::string> out;
    std::string err;
  } cases[] = {
      {{"VXPD0002"}, {"--all", "status"}, 0, {"Tester         VXPD0001 (KT-60", "Skipped  busy"},
       "VXPD0002: busy, skipped"},
      {{"VXPD0001"}, {"--serial", "VXPD0002", "--serial", "VXPD0001", "--json", "profiles"}, 0,
       {"\"serial\":\"VXPD0002\"", "\"skipped\":\"busy\""}, "VXPD0001: busy, skipped"},
      {{"VXPD0001", "VXPD0002"}, {"--all", "watch", "--duration", "1"}, 2, {}, "VXPD0002: busy, skipped"},
      {{}, {"--all", "--json", "status"}, 0, {"\"serial\":\"VXPD0001\"", "\"serial\":\"VXPD0002\""}, ""},
      {{}, {"--serial", "VXPD0001", "--serial", "VXPD0001", "status"}, 2, {}, "--serial VXPD0001 is given twice"},
      {{}, {"--serial", "VXPD0001", "--serial", "VXPD0009", "status"}, 2, {}, "no tester with serial number VXPD0009"},
      {{}, {"--all", "--serial", "VXPD0001", "status"}, 2, {}, "--all and --serial do not go together"},
      {{}, {"--all", "load", "500"}, 2, {}, "this command works with one tester: give one --serial"},
  };
  SimServer server("two-testers");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    std::vector<int> fds;
    for (const std::string& serial : c.held) {
      fds.push_back(open(server.devices[serial].c_str(), O_RDWR | O_NOCTTY));
      ASSERT_EQ(flock(fds.back(), LOCK_EX | LOCK_NB), 0);
    }
    const Result r = server.Run(c.args);
    for (int fd : fds) close(fd);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    for (const std::string& text : c.out) EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
}

}  // namespace
