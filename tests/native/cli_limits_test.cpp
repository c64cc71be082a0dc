// --limits end to end: the real loadpost-cli on the in-process simulated tester in simulated time (fast), and a refused
// limits file against sim-serve (nothing reaches the tester).
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "tests/native/cli_harness.h"

namespace {

using namespace cli_harness;
using nlohmann::json;

// A shipped scenario run in simulated time by --sim.
std::string SimulatedScenario(const std::string& name) {
  const std::string path = ScratchPath(name + "-simulated.sim");
  std::ofstream(path) << "option clock simulated\n"
                      << ReadFile(std::string(LOADPOST_SCENARIO_DIR) + "/" + name + ".sim");
  return path;
}

const std::string kExample = std::string(LOADPOST_SCENARIO_DIR) + "/../../docs/limits-example.json";
const std::vector<std::string> kQuick = {"--current-step", "500", "--time-step", "667"};

// Every failed rule as "<run number>: <rule>", offered profiles as "source: <rule>".
std::set<std::string> FailedRules(const json& report) {
  std::set<std::string> failed;
  for (const json& run : report["runs"]) {
    for (const json& r : run.value("rules", json::array())) {
      if (r["verdict"] == "FAIL")
        failed.insert(std::to_string(run["number"].get<int>()) + ": " + r["name"].get<std::string>());
    }
  }
  for (const json& r : report["limits"]["offered"]) {
    if (r["verdict"] == "FAIL") failed.insert("source: " + r["name"].get<std::string>());
  }
  return failed;
}

TEST(CliLimits, TheExampleFailsExactlyTheFaultyChargersRules) {
  struct Case {
    const char* scenario;
    int code;
    std::vector<std::string> verdicts;
    std::set<std::string> failed;
  } cases[] = {
      {"default", 0, {"PASS", "PASS", "PASS", "PASS", "PASS", "PASS", "PASS"}, {}},
      {"faulty",
       1,
       {"PASS", "FAIL", "FAIL", "PASS", "PASS", "PASS"},
       {"2: ripple under 150 mV", "2: within 3 % at no load", "3: 15 V holds 14.25 V at its rated current",
        "source: a programmable range reaching 21 V"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    const std::string dir = ScratchPath(std::string("limits-") + c.scenario);
    std::filesystem::remove_all(dir);
    std::vector<std::string> args = {
        LOADPOST_CLI, "--sim", SimulatedScenario(c.scenario), "report", "--ripple-seconds", "0.3", "--out", dir,
        "--limits",   kExample};
    args.insert(args.end(), kQuick.begin(), kQuick.end());
    const Result r = Finish(Spawn(args));
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    const json j = json::parse(ReadFile(dir + "/report.json"));
    EXPECT_EQ(FailedRules(j), c.failed);
    ASSERT_EQ(j["runs"].size(), c.verdicts.size());
    for (size_t k = 0; k < c.verdicts.size(); ++k) EXPECT_EQ(j["runs"][k]["verdict"], c.verdicts[k]) << k;
    const std::string html = ReadFile(dir + "/report.html");
    EXPECT_NE(html.find("<h2>Limits</h2>"), std::string::npos);
    for (const std::string& f : c.failed) EXPECT_NE(html.find(f.substr(f.find(": ") + 2)), std::string::npos) << f;
    EXPECT_NE(r.out.find(c.failed.empty() ? "Limits met: 0 of" : "Limits FAIL: 4 of"), std::string::npos) << r.out;
  }
}

TEST(CliLimits, SweepAndRippleJudgeTheirOwnFiguresOnly) {
  const std::string limits = ScratchPath("sweep-limits.json");
  std::ofstream(limits) << R"({"rules": [
    {"name": "ripple", "maxRippleMv": 150},
    {"name": "2 A", "minVbusVolts": 4.8, "atMa": 2000},
    {"name": "cool", "maxTemperatureC": 20}]})";
  struct Case {
    const char* command;
    int code;
    std::vector<std::string> verdicts;  // ripple, 2 A, cool
  } cases[] = {
      // 4.780 V at 2 A on the faulty charger's 5 V; the tester reads 25 C.
      {"sweep", 1, {"n/a", "FAIL", "FAIL"}},
      {"ripple", 1, {"PASS", "n/a", "FAIL"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    std::vector<std::string> args = {LOADPOST_CLI, "--json",   "--sim", SimulatedScenario("faulty"),
                                     c.command,    "--limits", limits};
    if (std::string(c.command) == "sweep") args.insert(args.end(), kQuick.begin(), kQuick.end());
    const Result r = Finish(Spawn(args));
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    const json j = json::parse(r.out);
    ASSERT_EQ(j["rules"].size(), 3u) << r.out;
    for (size_t k = 0; k < 3; ++k) EXPECT_EQ(j["rules"][k]["verdict"], c.verdicts[k]) << j["rules"][k];
  }
}

// A limits file that cannot be used ends the command before anything is sent to the tester.
TEST(CliLimits, AMalformedFileIsRefusedBeforeTheTesterIsTouched) {
  const std::string limits = ScratchPath("bad-limits.json");
  std::ofstream(limits) << "{\"rules\": [\n  {\"name\": \"ripple\", \"maxRippleMV\": 150}\n]}\n";
  const std::string record = ScratchPath("bad-limits-record.txt");
  std::remove(record.c_str());
  SimServer server("default", {"--record", record});
  for (const char* command : {"report", "sweep", "ripple"}) {
    SCOPED_TRACE(command);
    const Result r = server.Run({command, "--limits", limits});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("--limits: " + limits + ":2: \"maxRippleMV\" is not a field of a rule"), std::string::npos)
        << r.err;
  }
  EXPECT_EQ(ReadFile(record).find(" RX "), std::string::npos) << ReadFile(record);
  server.Run({"status"});  // the record does show what reaches the tester
  EXPECT_NE(ReadFile(record).find(" RX "), std::string::npos);
  const Result missing = server.Run({"report", "--limits", ScratchPath("no-such.json")});
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("cannot read the limits file"), std::string::npos) << missing.err;
}

}  // namespace
