// report over several testers: every tester's report at the same time, each
// on a thread of its own over its own core into OUT/<serial>/, then a summary
// of all (a table, summary.json and index.html).
#include <ctime>
#include <filesystem>

#include "cli/cli_files.h"
#include "cli/cli_limits.h"
#include "cli/cli_multi.h"
#include "cli/cli_output.h"
#include "cli/cli_report.h"
#include "core/report/report_files.h"
#include "core/report/report_summary.h"
#include "core/base/log_file.h"

namespace {

namespace fs = std::filesystem;

std::string NowText() {
  std::tm t{};
  char text[64] = "";
  if (SystemLocalTime(std::time(nullptr), &t)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &t);
  return text;
}

void PrintSummaryTable(const ReportSummary& summary, const std::string& outDir) {
  std::vector<std::vector<std::string>> rows = {{"SERIAL", "MODEL", "VERDICT", "RUNS", "REPORT", "NOTE"}};
  for (const TesterReportEntry& t : summary.testers) {
    rows.push_back({t.serial.empty() ? t.device : t.serial, t.model.empty() ? "-" : t.model, t.verdict,
                    t.runs > 0 ? Format("%d of %d", t.runsComplete, t.runs) : "-",
                    t.folder.empty() ? "-" : outDir + "/" + t.folder + "/" + kReportHtmlName,
                    t.reason.substr(0, t.reason.find("; "))});  // the first cause; all of it in summary.json
  }
  PrintTable(stdout, rows, true);
  std::printf("Verdict %s\nSummary: %s/%s\n", summary.Verdict().c_str(), outDir.c_str(), kIndexHtmlName);
  std::fflush(stdout);
}

}  // namespace

int RunReports(const CliOptions& options, const ReportOptions& o) {
  if (const std::string why = CheckSweepSettings(o.settings); !why.empty()) return Fail(why);
  if (const std::string why = CheckJunitFile(o.verdicts); !why.empty()) return Fail(why);
  if (const std::string why = CheckHistory(o.history); !why.empty()) return Fail(why);
  std::vector<TesterPlace> places;
  if (const int code = ChooseTesters(options, &places)) return code;
  // Every folder is checked before any tester is touched.
  const fs::path dir = PathOf(o.outDir);
  if (const std::string why = CheckEarlierReport(o.outDir, o.force, SummaryFilesIn(dir)); !why.empty()) {
    return Fail(why);
  }
  std::vector<std::string> folders;
  std::vector<std::vector<fs::path>> earlier;
  for (const TesterPlace& p : places) {
    folders.push_back(FolderNameOf(p.serial));
    earlier.push_back(ReportFilesIn(dir / folders.back()));
    const std::string shown = o.outDir + "/" + folders.back();
    if (const std::string why = CheckEarlierReport(shown, o.force, earlier.back()); !why.empty()) return Fail(why);
  }
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (const std::string why = CheckWritable("--out", o.outDir + "/" + kIndexHtmlName); !why.empty()) return Fail(why);

  ReportSummary summary;
  summary.date = NowText();
  std::vector<Report> reports(places.size());
  const std::vector<TesterEnd> ends = RunEachTester(places, [&](size_t i) {
    TesterEnd end;
    const fs::path folder = dir / folders[i];
    std::error_code made;
    const bool created = fs::create_directories(folder, made);
    if (const std::string why = CheckWritable("--out", o.outDir + "/" + folders[i] + "/" + kReportHtmlName);
        !why.empty()) {
      end.code = Fail(why);
      return end;
    }
    CoreSession session;
    session.UsePlace(places[i]);
    end.code = ReportTester(options, o, session, folder, earlier[i], false, &reports[i]);
    if (end.code != kExitOk && session.Tester().refusal != ConnectRefusal::None) {
      MarkLeftOut(options, session.Tester(), &end);
      std::error_code ignored;
      if (created) fs::remove(folder, ignored);  // only while empty: a folder this run made for nothing
    }
    return end;
  });

  for (size_t i = 0; i < places.size(); ++i) {
    const TesterEnd& end = ends[i];
    const Report& rep = reports[i];
    const bool written = !rep.date.empty() && fs::is_regular_file(dir / folders[i] / kReportHtmlName, ec);
    TesterReportEntry e = EntryOf(rep, written ? folders[i] : "", end.code);
    e.serial = places[i].serial;
    e.device = places[i].path;
    if (end.leftOut) {
      e.verdict = "SKIPPED";
      e.reason = end.leftOutText;
    } else if (rep.date.empty()) {
      e.verdict = "ERROR";  // never started: no report
      e.reason = end.message;
    } else if (!written && e.reason.empty()) {
      e.reason = end.message;
    }
    summary.testers.push_back(e);
  }
  summary.exitCode = WorstExitCode(ends);
  std::string error;
  bool written = WriteSummaryFiles(summary, dir, &error);
  std::vector<JunitSuite> suites;
  for (size_t i = 0; i < places.size(); ++i) {
    if (reports[i].date.empty()) continue;  // never started
    suites.push_back(ReportSuite(reports[i], "report", ReportCsvPaths(reports[i], dir / folders[i])));
  }
  std::string junitError;
  if (!WriteJunit(o.verdicts, suites, &junitError)) {
    written = false;
    error = error.empty() ? junitError : error;
  }
  if (options.json) {
    nlohmann::json j = SummaryJson(summary);
    j["path"] = (dir / kIndexHtmlName).string();
    PrintJson(stdout, j);
  } else {
    PrintSummaryTable(summary, o.outDir);
  }
  if (!written) return Fail(error);
  return summary.exitCode;
}
