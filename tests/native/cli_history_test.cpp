// The results history end to end: the real loadpost-cli on the in-process simulated tester in simulated time. A charger
// whose ripple grew between two reports drifts in exactly that figure (report --against, history compare), and two
// processes writing at once both land in an intact database.
#include <sqlite3.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/report/history_store.h"
#include "tests/native/cli_harness.h"

namespace {

using namespace cli_harness;
using nlohmann::json;

int Count(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A charger of two fixed profiles in simulated time; `nine` follows its 9 V line.
std::string Charger(const std::string& name, const std::string& nine) {
  const std::string path = ScratchPath(name + ".sim");
  std::ofstream(path) << "option clock simulated\ncharger c\n  fixed 5V 3A\n  fixed 9V 3A" << nine
                      << "\nend\ntester VXPD0001 kt60\n  charger c\nend\n";
  return path;
}

Result Cli(std::vector<std::string> args) {
  args.insert(args.begin(), LOADPOST_CLI);
  return Finish(Spawn(args));
}

const std::vector<std::string> kQuick = {"--current-step", "500", "--time-step", "667", "--ripple-seconds", "0.3"};

// 300 mV of ripple on the 9 V output moves single VBUS readings by up to
// 150 mV: at a 200 mV threshold only the ripple itself drifts.
TEST(CliHistory, MoreRippleDriftsInExactlyThatFigure) {
  const std::string db = ScratchPath("drift.db");
  const std::string out = ScratchPath("drift-reports");
  const std::string junit = ScratchPath("drift-junit.xml");
  const std::string limits = ScratchPath("drift-limits.json");
  std::filesystem::remove(db);
  std::filesystem::remove_all(out);
  std::ofstream(limits) << R"({"rules": [{"name": "5 V holds 4.6 V", "profile": {"kind": "PD-FIX", "volts": 5},
                                         "minVbusVolts": 4.6, "atRated": true}]})";
  const std::vector<std::string> history = {"--db", db, "--label", "PSU-7 #0042", "--limits", limits};
  const Result first =
      Cli(With({"--sim", Charger("steady", ""), "report", "--out", out + "/1"}, With(kQuick, history)));
  ASSERT_EQ(first.code, 0) << first.out << first.err;
  const Result second =
      Cli(With({"--sim", Charger("rippling", " ripple 150 120"), "report", "--out", out + "/2", "--against", "latest",
                "--drift", "200mV", "--junit", junit},
               With(kQuick, history)));
  ASSERT_EQ(second.code, 0) << second.out << second.err;  // drift is no verdict of the report
  const json drift = json::parse(ReadFile(out + "/2/report.json"))["drift"];
  EXPECT_EQ(drift["against"], 1);
  EXPECT_EQ(drift["flagged"], 1);
  int rules = 0;
  for (const json& c : drift["changes"]) {
    SCOPED_TRACE(c.dump());
    EXPECT_EQ(c["flagged"], c["run"] == 2 && c["figure"] == "ripple");
    rules += c["figure"] == "rule 5 V holds 4.6 V";
  }
  EXPECT_EQ(rules, 1);
  EXPECT_EQ(drift["changes"].size(), 7u);  // per run no load, highest load, ripple; one rule
  EXPECT_EQ(Count(ReadFile(out + "/2/report.html"), "<td class=\"fail\">DRIFT</td>"), 1);
  const std::string xml = ReadFile(junit);
  EXPECT_EQ(Count(xml, "name=\"drift: "), 1) << xml;
  EXPECT_NE(xml.find("name=\"drift: ripple\""), std::string::npos);
  const Result compare = Cli({"history", "compare", "previous", "latest", "--label", "PSU-7 #0042", "--drift",
                              "200mV", "--db", db});
  EXPECT_EQ(compare.code, 1) << compare.out << compare.err;
  EXPECT_NE(compare.out.find("Drift FLAGGED: 1 of 7 figures"), std::string::npos) << compare.out;
  EXPECT_NE(compare.out.find("ripple                0 mV     300 mV   +300 mV   DRIFT"), std::string::npos)
      << compare.out;
  // At the default 50 mV the readings' spread counts as well; a report against itself never drifts.
  EXPECT_EQ(Cli({"history", "compare", "1", "2", "--db", db}).code, 1);
  EXPECT_EQ(Cli({"history", "compare", "2", "2", "--db", db}).code, 0);
  EXPECT_EQ(Cli({"history", "compare", "1", "2", "--db", db, "--serial", "VXPD0001"}).code, 1);
  const Result two = Cli({"--serial", "VXPD0001", "--serial", "VXPD0002", "history", "compare", "1", "2", "--db", db});
  EXPECT_EQ(two.code, 2);
  EXPECT_NE(two.err.find("history takes at most one --serial"), std::string::npos) << two.err;
  const Result missing = Cli({"history", "compare", "1", "3", "--db", db});
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("no report 3 in " + db), std::string::npos) << missing.err;
  const Result list = Cli({"--json", "history", "--label", "PSU-7 #0042", "--db", db});
  ASSERT_EQ(list.code, 0) << list.err;
  const json reports = json::parse(list.out);
  ASSERT_EQ(reports.size(), 2u);
  for (const json& r : reports) {
    EXPECT_EQ(r["verdict"], "PASS");
    EXPECT_EQ(r["tester"]["serial"], "VXPD0001");
    EXPECT_EQ(r["runs"], 2);
  }
  EXPECT_EQ(reports[1]["folder"], std::filesystem::absolute(out + "/2").lexically_normal().string());
}

// Two processes append while a third holds the database: both wait for it,
// neither fails, and the file stays intact with both rows.
TEST(CliHistory, WritersAtTheSameTimeWaitAndBothLand) {
  const std::string db = ScratchPath("concurrent.db");
  std::filesystem::remove(db);
  std::string error;
  ASSERT_TRUE(OpenHistoryStore(db, HistoryOpen::Write, &error)) << error;
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  const std::string charger = Charger("writers", "");
  std::vector<Child> writers;
  for (const char* label : {"first", "second"}) {
    writers.push_back(Spawn({LOADPOST_CLI, "--sim", charger, "ripple", "--seconds", "0.2", "--db", db,
                             "--label", label}));
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));  // long enough for both to be waiting, mostly
  ASSERT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  for (Child& w : writers) {
    const Result r = Finish(w);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
  }
  std::string labels;
  const auto collect = [](void* out, int, char** values, char**) {
    *static_cast<std::string*>(out) += std::string(values[0] ? values[0] : "NULL") + ";";
    return 0;
  };
  ASSERT_EQ(sqlite3_exec(holder, "SELECT label FROM reports ORDER BY label", collect, &labels, nullptr), SQLITE_OK);
  EXPECT_EQ(labels, "first;second;");
  std::string integrity;
  ASSERT_EQ(sqlite3_exec(holder, "PRAGMA integrity_check", collect, &integrity, nullptr), SQLITE_OK);
  EXPECT_EQ(integrity, "ok;");
  sqlite3_close(holder);
}

}  // namespace
