// report: every profile of the source judged in one run, written as an HTML
// page, report.json and one CSV per run (report/report_files.h).
#include <ctime>
#include <filesystem>
#include <memory>

#include "cli/cli_files.h"
#include "cli/cli_graph_tests.h"
#include "cli/cli_limits.h"
#include "cli/cli_output.h"
#include "cli/cli_report.h"
#include "cli/cli_source_tests.h"
#include "core/link/profile_text.h"
#include "core/report/chart_svg.h"
#include "core/report/history_record.h"
#include "core/report/report_files.h"
#include "core/base/log_file.h"
#include "core/report/rules_output.h"
#include "core/base/tester_state.h"
#include "core/base/utf8.h"

namespace {

std::string LocalTimeText() {
  // Not std::localtime: its one buffer is shared by the threads of several testers' reports.
  std::tm t{};
  char text[64] = "";
  if (SystemLocalTime(std::time(nullptr), &t)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &t);
  return text;
}

std::string RunLabel(const ReportRun& r) {
  std::string label = Utf8(r.plan.profileText.c_str());
  if (r.plan.request == PlanRequest::RowAndVoltage) label += Format(" at %.2f V", r.plan.requestedMv / 1000.0);
  return label;
}

void PrintSummary(const Report& rep, const std::filesystem::path& html) {
  std::vector<std::vector<std::string>> rows = {
      {"#", "PROFILE", "REQUESTED", "NO LOAD", "HIGHEST LOAD", "RIPPLE", "VERDICT", "FIRST FAILING STEP"}};
  for (size_t i = 0; i < rep.runs.size(); ++i) {
    const ReportRun& r = rep.runs[i];
    const JudgedStep* none = r.NoLoadStep();
    const JudgedStep* top = r.HighestStep();
    const JudgedStep* fail = r.FirstFailingStep();
    std::string verdict = r.plan.request == PlanRequest::Refused ? "not run"
                          : r.Overall() == Verdict::None && !r.Complete() ? "INCOMPLETE"
                                                                          : VerdictText(r.Overall());
    rows.push_back({std::to_string(i + 1), Utf8(r.plan.profileText.c_str()),
                    r.plan.request == PlanRequest::AsSupplied ? "as supplied" : Format("%.2f V", r.plan.requestedMv / 1000.0),
                    none ? Format("%.3f V", VoltsAtMv(none->volts)) : "-",
                    top ? Format("%.3f V at %u mA", VoltsAtMv(top->volts), static_cast<unsigned>(top->currentMa)) : "-",
                    r.ripple.samples > 0 ? Format("%lld mV %s", static_cast<long long>(r.ripple.RippleMv()), VerdictText(r.ripple.verdict)) : "-",
                    verdict,
                    fail ? Utf8(fail->line.text) : r.plan.request == PlanRequest::Refused ? Utf8(r.plan.refusal.c_str()) : r.error});
  }
  PrintTable(stdout, rows, true);
  PrintRules(rep);
  const Verdict overall = rep.Overall();
  std::printf("Verdict %s%s\nReport: %s\n",
              rep.Incomplete() && overall != Verdict::Fail ? "INCOMPLETE" : VerdictText(overall),
              rep.Incomplete() ? (" (incomplete: " + (rep.incompleteReason.empty() ? std::string("unfinished") : rep.incompleteReason) + ")").c_str() : "",
              html.string().c_str());
  std::fflush(stdout);
}

}  // namespace

std::string CheckEarlierReport(const std::string& outDir, bool force,
                               const std::vector<std::filesystem::path>& earlier) {
  if (earlier.empty() || force) return "";
  const std::u8string first = earlier.front().filename().u8string();
  std::string names(first.begin(), first.end());
  if (earlier.size() > 1) names += Format(" and %d more", static_cast<int>(earlier.size() - 1));
  return outDir + " already holds a report (" + names + "): add --force to replace it, or choose another --out folder";
}

namespace {

// Removes the earlier report's files (its own names only).
bool RemoveEarlierReport(const std::vector<std::filesystem::path>& earlier, std::string* error) {
  for (const std::filesystem::path& file : earlier) {
    std::error_code ec;
    std::filesystem::remove(file, ec);
    if (ec) {
      const std::u8string name = file.u8string();
      *error = "cannot remove " + std::string(name.begin(), name.end()) + " of the earlier report: " + ec.message();
      return false;
    }
  }
  return true;
}

}  // namespace

int RunReport(const CliOptions& options, const ReportOptions& o) {
  if (options.Several()) return RunReports(options, o);
  if (const std::string why = CheckSweepSettings(o.settings); !why.empty()) return Fail(why);
  const std::filesystem::path dir = PathOf(o.outDir);
  std::vector<std::filesystem::path> earlier = ReportFilesIn(dir);
  if (const std::string why = CheckEarlierReport(o.outDir, o.force, earlier); !why.empty()) return Fail(why);
  if (const std::string why = CheckJunitFile(o.verdicts); !why.empty()) return Fail(why);
  if (const std::string why = CheckHistory(o.history); !why.empty()) return Fail(why);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (const std::string why = CheckWritable("--out", o.outDir + "/" + kReportHtmlName); !why.empty()) return Fail(why);
  CoreSession session;
  Report rep;
  return ReportTester(options, o, session, dir, std::move(earlier), true, &rep);
}

int ReportTester(const CliOptions& options, const ReportOptions& o, CoreSession& session,
                 const std::filesystem::path& dir, std::vector<std::filesystem::path> earlier, bool alone,
                 Report* report) {
  TesterState& S = session.State();
  if (const int code = session.Open(options, o.settings.limits, static_cast<uint16_t>(o.settings.currentStepMa),
                                    static_cast<uint16_t>(o.settings.timeStepMs))) {
    return code;
  }
  session.EndOnFirstRow();
  const Session& tester = session.Tester();
  Report& rep = *report;
  rep.serial = tester.place.serial;
  rep.device = tester.place.path;
  rep.model = TesterModelName(tester.hardwareRevision);
  rep.hardware = VersionText(tester.hardwareRevision);
  rep.firmware = VersionText(tester.firmwareVersion);
  rep.date = LocalTimeText();
  rep.limitMode = o.settings.limits.mode;
  rep.currentStepMa = static_cast<uint16_t>(o.settings.currentStepMa);
  rep.timeStepMs = static_cast<uint16_t>(o.settings.timeStepMs);
  rep.rippleSeconds = o.rippleSeconds;
  const PdoList list = S.GetPdoList();
  for (int i = 0; i < list.count; ++i) {
    wchar_t text[kProfileTextChars];
    FormatProfileListText(list.entries[i], tester.hardwareRevision, text, kProfileTextChars);
    rep.capabilities.push_back(Utf8(text));
  }
  for (const PlannedRun& p : PlanReport(list, tester.hardwareRevision)) rep.runs.push_back(ReportRun{p});

  int toRun = 0;
  for (const ReportRun& r : rep.runs) toRun += r.plan.request != PlanRequest::Refused;
  auto chart = std::make_unique<LineChart>();
  Progress progress(alone);
  std::string stopReason;
  std::string error;
  // The earlier report goes when this one's first files are written: a
  // command that cannot start (no tester, no source) leaves it as it was.
  const auto write = [&] {
    if (!RemoveEarlierReport(earlier, &error)) return false;
    earlier.clear();
    ApplyLimits(o.verdicts.limits, list, rep);
    return WriteReportFiles(rep, dir, &error);
  };
  int k = 0;
  for (size_t i = 0; i < rep.runs.size() && stopReason.empty(); ++i) {
    ReportRun& run = rep.runs[i];
    if (run.plan.request == PlanRequest::Refused) continue;
    const std::string label = "run " + std::to_string(i + 1) + " (" + RunLabel(run) + ")";
    if (const std::string why = session.Broken(); !why.empty()) {
      stopReason = why + " before " + label;
      break;
    }
    progress.Profile(++k, toRun, RunLabel(run));
    progress.Phase("switching");
    const bool voltage = run.plan.request == PlanRequest::RowAndVoltage;
    if (run.plan.request != PlanRequest::AsSupplied) {
      run.error = session.Switch(run.plan.row, voltage ? run.plan.requestedMv : 0, VoltageToleranceMv(run.plan.entry));
      if (!run.error.empty()) {
        stopReason = label + ": " + run.error;
        break;
      }
    }
    run.started = true;
    run.profileMv = S.live.profileVoltageMv;
    run.profileKind = S.live.profileKind;
    run.profileSubKind = S.live.profileSubKind;
    run.ripple = CaptureRipple(session, *chart, o.rippleSeconds, progress, nullptr, nullptr);
    if (run.ripple.end != RunEnd::Complete) {
      run.error = session.EndText(run.ripple.end);
      stopReason = label + ": " + run.error;
      break;
    }
    run.sweep = RunSweepTest(session, *chart, progress);
    if (run.sweep.end != RunEnd::Complete) {
      run.error = session.EndText(run.sweep.end);
      stopReason = label + ": " + run.error;
      break;
    }
    // What is measured so far is on disk, marked unfinished, should the
    // program be ended before it can write the rest.
    if (!write()) break;
  }
  if (stopReason.empty() && error.empty()) {
    rep.finished = true;
  } else if (!stopReason.empty()) {
    rep.incompleteReason = stopReason;
  } else {
    rep.incompleteReason = error;
  }
  progress.Phase("back to the first profile");
  const std::string problem = session.Finish();
  progress.Clear();
  if (!problem.empty()) rep.incompleteReason += (rep.incompleteReason.empty() ? "" : "; ") + problem;
  // The drift since the charger's previous report goes into the files; with
  // several testers, the previous report made on the same tester.
  std::string historyError;
  if (!o.history.against.empty()) {
    ApplyLimits(o.verdicts.limits, list, rep);  // the rules of a run cut short are compared too
    ReportDrift drift;
    if (DriftAgainst(o.history, rep, options.Several(), &drift, &historyError)) rep.drift = drift;
  }
  const bool written = write();
  if (alone && options.json) {
    nlohmann::json j = ReportJson(rep);
    j["path"] = (dir / kReportHtmlName).string();
    PrintJson(stdout, j);
  } else if (alone) {
    PrintSummary(rep, dir / kReportHtmlName);
  }
  if (!written) return Fail(error);
  // With several testers the command writes one JUnit file of all, each tester a suite of its own.
  if (alone && !WriteJunit(o.verdicts, {ReportSuite(rep, "report", ReportCsvPaths(rep, dir))}, &error)) {
    return Fail(error);
  }
  // The history's record; a database that fails leaves the report's files standing.
  const std::u8string dirText = dir.u8string();
  const std::string folder = AbsolutePathText(std::string(dirText.begin(), dirText.end()));
  if (historyError.empty()) {
    const HistoryReport record =
        HistoryReportOf(rep, "report", o.history.label, folder, ReportCsvPaths(rep, PathOf(folder)));
    RecordHistory(o.history, record, &historyError);
  }
  if (!historyError.empty()) return Fail(historyError);
  if (!problem.empty()) return Fail(tester.Name() + ": " + problem);
  if (rep.Incomplete()) return Fail("report incomplete: " + rep.incompleteReason);
  return rep.Overall() == Verdict::Fail ? kExitFail : kExitOk;
}
