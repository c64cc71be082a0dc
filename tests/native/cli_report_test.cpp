// ripple, sweep and report end to end: the real loadpost-cli against sim-serve.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "core/graphs/sweep_csv.h"
#include "core/graphs/sweep_plan.h"
#include "tests/native/cli_harness.h"

namespace {

using namespace cli_harness;
using nlohmann::json;

// The window's smallest sweep that reaches 3 A: 7 steps.
const std::vector<std::string> kQuick = {"--current-step", "500", "--time-step", "667"};

// Checks a page with Python's HTML parser (every element closed in order) and
// every SVG in it with its XML parser; prints the number of SVG elements.
std::string CheckMarkup(const std::string& path) {
  const char* script = R"(
import re, sys, html.parser, xml.etree.ElementTree as ET
text = open(sys.argv[1], encoding='utf-8').read()
class Check(html.parser.HTMLParser):
    stack = []
    def handle_starttag(self, tag, attrs):
        if tag not in ('meta', 'br'): self.stack.append(tag)
    def handle_startendtag(self, tag, attrs): pass
    def handle_endtag(self, tag):
        assert self.stack and self.stack.pop() == tag, 'unbalanced </%s>' % tag
c = Check(); c.feed(text); c.close()
assert not c.stack, 'unclosed %s' % c.stack
svgs = re.findall(r'<svg.*?</svg>', text, re.S)
for s in svgs: ET.fromstring(s)
print(len(svgs))
)";
  const Result r = Finish(Spawn({"/usr/bin/python3", "-c", script, path}));
  return r.code == 0 ? r.out : "error: " + r.err;
}

void WaitForFile(const std::string& path) {
  for (int i = 0; i < 1200 && access(path.c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

struct CodeCase {
  std::string scenario;
  std::vector<std::string> args;
  int code;
  std::string text;  // in standard output (exit 0, 1) or standard error (2)
};

TEST(CliSourceTests, ExitCodesAndVerdicts) {
  const std::string sagging = "tester VXPD0001 kt60\n charger fixed 15V 3A resistance 600\nend\n";
  const std::string rippling = "tester VXPD0001 kt60\n charger fixed 9V 3A ripple 700 120\nend\n";
  // 5 V, 240 mOhm with the cable: in the window up to 2500 mA, 4.28 V at the
  // rated 3000 mA (below its 4.30 V), sagging on past the rating.
  const std::string ratedSag =
      "charger weak\n fixed 5V 3A\n resistance 160\n trip off\nend\ntester VXPD0001 kt60\n charger weak\n noise 0 0\nend\n";
  const std::vector<std::string> allow = {"--limit-mode", "allow", "--accept-risk"};
  const std::vector<std::string> force = {"--limit-mode", "force", "--limit", "4000", "--accept-risk"};
  const std::string atRating = "Verdict FAIL, first failing step: Under Voltage, V=4.280V, I=3000mA";
  const CodeCase cases[] = {
      {"default", {"ripple", "--seconds", "0.3"}, 0, "Verdict  PASS"},
      {rippling, {"ripple", "--seconds", "0.3"}, 1, "Verdict  FAIL"},
      {sagging, With({"sweep"}, kQuick), 1, "Verdict FAIL, first failing step: Under Voltage, V=13.580V, I=2000mA"},
      // Past the rating a sag is permitted; at the rating it fails.
      {ratedSag, With(With({"sweep"}, kQuick), allow), 1, atRating},
      {ratedSag, With(With({"sweep"}, kQuick), force), 1, atRating},
      {ratedSag, With(With({"sweep"}, kQuick), force), 1, "4000 mA  3.040 V  Under Voltage, V=3.040V, I=4000mA, P=12.16W (permissible shut down region)"},
      {"default", {"sweep", "--current-step", "4"}, 2, "Minimum value for Current Intervals is 5mA"},
      {"default", {"sweep", "--limit-mode", "allow"}, 2, "add --accept-risk"},
      {"default", {"report", "--ripple-seconds", "0"}, 2, "--ripple-seconds: must be a number above 0"},
      {"no-source", {"ripple"}, 2, "no source is attached"},
  };
  std::vector<std::unique_ptr<SimServer>> servers;
  std::vector<Child> children;
  for (const CodeCase& c : cases) {  // all at once
    servers.push_back(std::make_unique<SimServer>(c.scenario));
    children.push_back(servers.back()->Start(c.args));
  }
  for (size_t i = 0; i < children.size(); ++i) {
    const CodeCase& c = cases[i];
    SCOPED_TRACE(c.args[0] + " on " + c.scenario);
    const Result r = Finish(children[i]);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_NE((c.code == 2 ? r.err : r.out).find(c.text), std::string::npos) << r.out << r.err;
  }
}

TEST(CliSourceTests, SweepCsvIsTheWindowsWriterOutputAndTheChartIsWellFormed) {
  SimServer server("ripple");
  const std::string csv = ScratchPath("sweep.csv");
  const std::string svg = ScratchPath("sweep.svg");
  const Result r = server.Run(With({"--json", "sweep", "--csv", csv, "--svg", svg}, kQuick));
  ASSERT_EQ(r.code, 0) << r.err;
  const json j = json::parse(r.out);
  float volts[kSweepTableSize];
  std::fill(std::begin(volts), std::end(volts), kSweepNoValue);
  ASSERT_EQ(j["steps"].size(), 7u);
  for (const json& step : j["steps"]) volts[step["index"].get<int>()] = step["volts"].get<float>();
  EXPECT_EQ(ReadFile(csv), BuildSweepCsv(volts, kSweepTableSize, j["currentStepMa"], j["endMa"]));
  const Result parsed = Finish(Spawn({"/usr/bin/python3", "-c", "import sys,xml.etree.ElementTree as E;E.parse(sys.argv[1])", svg}));
  EXPECT_EQ(parsed.code, 0) << parsed.err;
  const std::string picture = ReadFile(svg);
  EXPECT_NE(picture.find("Permissible shut down region"), std::string::npos);
  // Each step's current labels the axis, written upwards as the window draws it.
  const std::regex upwards(R"re(rotate\(-90\)" x="0" y="[0-9.]+" font-size="[0-9.]+">[0-9]+</text>)re");
  EXPECT_EQ(std::distance(std::sregex_iterator(picture.begin(), picture.end(), upwards), std::sregex_iterator()), 7);
}

TEST(CliReport, DefaultChargerPassesAndTheFaultyOneFailsOnItsFaultyProfiles) {
  struct Want {
    const char* scenario;
    int code;
    std::vector<std::string> verdicts;
    std::vector<const char*> firstFailing;  // per run: how it starts, "" for none, null for either
  } wants[] = {
      {"default", 0, {"PASS", "PASS", "PASS", "PASS", "PASS", "PASS", "PASS"}, {"", "", "", "", "", "", ""}},
      {"faulty", 1, {"PASS", "FAIL", "FAIL", "PASS", "PASS", "PASS"},
       {"", nullptr, "Under Voltage, V=13.580V, I=2000mA", "", "", ""}},
      // Quick Charge 2.0 at 5, 9 and 12 V, 3.0 at 3.6, 7.8 and 12 V: each judged once settled.
      {"qc3", 0, {"PASS", "PASS", "PASS", "PASS", "PASS", "PASS"}, {"", "", "", "", "", ""}},
  };
  std::vector<std::unique_ptr<SimServer>> servers;
  std::vector<Child> children;
  for (const Want& w : wants) {  // both reports run at once
    servers.push_back(std::make_unique<SimServer>(w.scenario));
    const std::string out = ScratchPath(std::string("report-") + w.scenario);
    children.push_back(servers.back()->Start(With({"report", "--ripple-seconds", "0.3", "--out", out}, kQuick)));
  }
  for (size_t i = 0; i < children.size(); ++i) {
    const Want& w = wants[i];
    SCOPED_TRACE(w.scenario);
    const Result r = Finish(children[i]);
    EXPECT_EQ(r.code, w.code) << r.out << r.err;
    const std::string dir = ScratchPath(std::string("report-") + w.scenario + "/");
    const json j = json::parse(ReadFile(dir + "report.json"));
    EXPECT_TRUE(j["complete"].get<bool>());
    ASSERT_EQ(j["runs"].size(), w.verdicts.size());
    const std::string html = ReadFile(dir + "report.html");
    for (size_t k = 0; k < w.verdicts.size(); ++k) {
      const json& run = j["runs"][k];
      EXPECT_EQ(run["verdict"], w.verdicts[k]) << k;
      if (!w.firstFailing[k]) continue;  // the rippling profile's steps fail at random
      const std::string first = run.contains("firstFailingStep") ? run["firstFailingStep"]["text"].get<std::string>() : "";
      EXPECT_EQ(first.substr(0, std::string(w.firstFailing[k]).size()), w.firstFailing[k]) << k;
    }
    for (const json& run : j["runs"]) EXPECT_EQ(ReadFile(dir + run["sweep"]["csv"].get<std::string>()).rfind(kSweepCsvHeader, 0), 0u);
    for (const json& row : j["source"]["capabilities"]) EXPECT_NE(html.find(row.get<std::string>()), std::string::npos) << row;
    EXPECT_EQ(CheckMarkup(dir + "report.html"), std::to_string(w.verdicts.size()) + "\n");
    // The source is back on its first profile, at 5 V.
    EXPECT_NE(servers[i]->Run({"status"}).out.find("VBUS           5.000 V"), std::string::npos);
  }
}

TEST(CliReport, EndedPartWayLeavesAnIncompleteReportAndNoLoad) {
  struct Case {
    const char* name;
    std::string control;  // control command, or "" for Ctrl-C (SIGINT)
    std::string reason;
    bool toldZero;        // the tester was told 0 mA after the event
  } cases[] = {
      {"detach", "detach", "the source was detached", true},
      {"unplug", "unplug VXPD0001", "the connection to the tester was lost", false},
      {"sigint", "", "stopped by the user", true},
  };
  std::vector<std::unique_ptr<SimServer>> servers;
  std::vector<Child> children;
  const auto dirOf = [](const Case& c) { return ScratchPath(std::string("partial-") + c.name + "/"); };
  const auto recordOf = [](const Case& c) { return ScratchPath(std::string("record-") + c.name + ".txt"); };
  for (const Case& c : cases) {  // all at once
    std::remove(recordOf(c).c_str());
    std::remove((dirOf(c) + "report.json").c_str());
    servers.push_back(std::make_unique<SimServer>("default", std::vector<std::string>{"--record", recordOf(c)}));
    children.push_back(servers.back()->Start(With({"report", "--ripple-seconds", "0.3", "--out", dirOf(c)}, kQuick)));
  }
  for (size_t i = 0; i < children.size(); ++i) {
    WaitForFile(dirOf(cases[i]) + "report.json");  // written after the first run
    if (cases[i].control.empty()) {
      kill(children[i].pid, SIGINT);
    } else {
      servers[i]->Control(cases[i].control);
    }
  }
  for (size_t i = 0; i < children.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    const Result r = Finish(children[i]);
    EXPECT_EQ(r.code, 2) << r.out << r.err;
    const json j = json::parse(ReadFile(dirOf(c) + "report.json"));
    EXPECT_FALSE(j["complete"].get<bool>());
    EXPECT_NE(j["incompleteReason"].get<std::string>().find(c.reason), std::string::npos) << j["incompleteReason"];
    EXPECT_EQ(j["runs"][0]["verdict"], "PASS");
    EXPECT_NE(ReadFile(dirOf(c) + "report.html").find("INCOMPLETE REPORT"), std::string::npos);
    if (c.toldZero) {
      const std::string frames = ReadFile(recordOf(c));
      const size_t last = frames.rfind(" RX 02 03 10 ");
      ASSERT_NE(last, std::string::npos);
      EXPECT_EQ(frames.substr(last + 13, 5), "00 00") << frames.substr(last, 40);
    }
    // Stopped with the source still there: it is back on its first profile (the source takes its time to switch).
    if (c.control.empty()) {
      std::string status;
      for (int tries = 0; tries < 20; ++tries) {
        status = servers[i]->Run({"status"}).out;
        if (status.find("VBUS           5.000 V") != std::string::npos) break;
        usleep(200 * 1000);
      }
      EXPECT_NE(status.find("VBUS           5.000 V"), std::string::npos) << status;
    }
  }
}

// The files in a folder (names, sorted).
std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string MakeFolder(const std::string& name, const std::vector<std::string>& files) {
  const std::string dir = ScratchPath(name) + "/";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  for (const std::string& f : files) std::ofstream(dir + f) << "the user's " << f << "\n";
  return dir;
}

// The check that an output can be written, and the write itself, never touch
// a file of the user's beside it, whether the command fails or succeeds.
TEST(CliFiles, AUsersTmpFileBesideAnOutputSurvives) {
  const struct {
    const char* scenario;
    const char* command;
    int code;
    std::vector<std::string> after;
  } cases[] = {
      {"no-source", "sweep", 2, {"x.csv.tmp"}},
      {"default", "ripple", 0, {"x.csv", "x.csv.tmp"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    const std::string dir = MakeFolder(std::string("kept-") + c.command, {"x.csv.tmp"});
    SimServer server(c.scenario);
    const std::vector<std::string> args = {c.command, "--csv", dir + "x.csv"};
    const Result r = server.Run(c.command == std::string("ripple") ? With(args, {"--seconds", "0.2"}) : args);
    EXPECT_EQ(r.code, c.code) << r.err;
    EXPECT_EQ(FilesIn(dir), c.after);
    EXPECT_EQ(ReadFile(dir + "x.csv.tmp"), "the user's x.csv.tmp\n");
  }
}

// A folder holding an earlier report: refused as it is; with --force the new report replaces the earlier one's files
// (none of its CSVs stays beside the new report's) and every other file of the folder stays.
TEST(CliReport, AnEarlierReportIsRefusedOrReplacedWhole) {
  const std::vector<std::string> user = {"notes.txt", "report.json.tmp", "run-notes.csv"};
  const std::vector<std::string> earlier = {"report.html", "report.json", "run-01-pd-fix-5000mV.csv",
                                            "run-07-pd-apdo-21000mV.csv"};
  std::vector<std::string> all = user;
  all.insert(all.end(), earlier.begin(), earlier.end());
  std::sort(all.begin(), all.end());
  const std::string dir = MakeFolder("earlier-report", all);
  SimServer server("tester VXPD0001 kt60\n charger fixed 5V 3A\nend\n");
  const Result refused = server.Run({"report", "--out", dir});
  EXPECT_EQ(refused.code, 2);
  EXPECT_NE(refused.err.find(dir + " already holds a report (report.html and 3 more): add --force to replace it, "
                                   "or choose another --out folder"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(FilesIn(dir), all);
  const Result replaced = server.Run(With({"report", "--force", "--ripple-seconds", "0.3", "--out", dir}, kQuick));
  ASSERT_EQ(replaced.code, 0) << replaced.err;
  std::vector<std::string> want = user;
  want.push_back("report.html");
  want.push_back("report.json");
  const json j = json::parse(ReadFile(dir + "report.json"));
  for (const json& run : j["runs"]) want.push_back(run["sweep"]["csv"].get<std::string>());
  std::sort(want.begin(), want.end());
  EXPECT_EQ(FilesIn(dir), want);
  for (const std::string& f : user) EXPECT_EQ(ReadFile(dir + f), "the user's " + f + "\n");
}

}  // namespace
