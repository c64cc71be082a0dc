#include "cli/cli_limits.h"

#include <CLI/CLI.hpp>
#include <ctime>

#include "cli/cli_files.h"
#include "cli/cli_output.h"
#include "core/base/log_file.h"
#include "core/base/tester_state.h"
#include "core/base/utf8.h"
#include "core/link/profile_text.h"
#include "core/report/limits_check.h"
#include "core/report/rules_output.h"
#include "core/report/safe_file.h"

void AddVerdictFileOptions(CLI::App* command, VerdictFileOptions* o) {
  command
      ->add_option("--limits", o->limitsPath,
                   "Judge every run also against this JSON limits file (the lab's own rules; see the user guide)")
      ->check(
          [o](const std::string& path) {
            std::string error;
            return LoadLimitsFile(path, &o->limits, &error) ? std::string() : error;
          },
          "FILE");
  command->add_option("--junit", o->junitPath, "Write the results as JUnit XML to this file (for CI systems)");
}

std::string CheckJunitFile(const VerdictFileOptions& o) { return CheckWritable("--junit", o.junitPath); }

void ApplyLimits(const LimitsFile& limits, const PdoList& list, Report& report) {
  if (limits.path.empty()) return;
  report.limitsFile = limits.path;
  for (ReportRun& run : report.runs) run.rules = JudgeRunRules(limits, run);
  report.offered = JudgeOffered(limits, list, report.capabilities);
}

std::vector<std::string> ReportCsvPaths(const Report& report, const std::filesystem::path& dir) {
  std::vector<std::string> paths;
  for (size_t i = 0; i < report.runs.size(); ++i) {
    const ReportRun& r = report.runs[i];
    paths.push_back(r.sweep.csv.empty() ? "" : (dir / r.CsvName(static_cast<int>(i) + 1)).string());
  }
  return paths;
}

bool WriteJunit(const VerdictFileOptions& o, const std::vector<JunitSuite>& suites, std::string* error) {
  return o.junitPath.empty() || WriteWholeFile(PathOf(o.junitPath), JunitXml(suites), error);
}

Report OneRunReport(CoreSession& session, const ReportRun& run) {
  const Session& tester = session.Tester();
  Report rep;
  rep.serial = tester.place.serial;
  rep.device = tester.place.path;
  rep.model = TesterModelName(tester.hardwareRevision);
  rep.hardware = VersionText(tester.hardwareRevision);
  rep.firmware = VersionText(tester.firmwareVersion);
  // Not std::localtime: its one buffer is shared by the threads of several testers (watch --all --db).
  std::tm t{};
  char date[64] = "";
  if (SystemLocalTime(std::time(nullptr), &t)) std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %z", &t);
  rep.date = date;
  const PdoList list = session.State().GetPdoList();
  for (int i = 0; i < list.count; ++i) {
    wchar_t text[kProfileTextChars];
    FormatProfileListText(list.entries[i], tester.hardwareRevision, text, kProfileTextChars);
    rep.capabilities.push_back(Utf8(text));
  }
  rep.runs.push_back(run);
  rep.finished = true;
  return rep;
}

void PrintRules(const Report& report) {
  if (report.limitsFile.empty()) return;
  const std::vector<std::vector<std::string>> rows = RuleRows(report);
  int failed = 0;
  for (size_t i = 1; i < rows.size(); ++i) failed += rows[i][5] == "FAIL";
  std::printf("\n");
  PrintTable(stdout, rows, true);
  std::printf("Limits %s: %d of %d rules failed (%s)\n", failed ? "FAIL" : "met", failed,
              static_cast<int>(rows.size() - 1), report.limitsFile.c_str());
  std::fflush(stdout);
}

void AddRulesJson(const Report& report, nlohmann::json& j) {
  if (report.limitsFile.empty()) return;
  j["limits"] = report.limitsFile;
  j["rules"] = RulesJson(report.runs.empty() ? std::vector<RuleResult>{} : report.runs.front().rules);
  j["offered"] = RulesJson(report.offered);
}
