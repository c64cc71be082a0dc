// ripple and sweep, and the options of the three commands that judge a source.
#include "cli/cli_source_tests.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <memory>

#include "cli/cli_files.h"
#include "cli/cli_graph_tests.h"
#include "cli/cli_output.h"
#include "cli/cli_values.h"
#include "core/config/config_rules.h"
#include "core/link/profile_text.h"
#include "core/report/chart_svg.h"
#include "core/report/history_record.h"
#include "core/report/report_files.h"
#include "core/base/tester_state.h"
#include "core/base/utf8.h"

namespace {

using nlohmann::json;

std::string ActiveProfileText(const CoreSession& session, uint8_t hardwareRevision) {
  const TesterState& S = session.State();
  wchar_t text[kProfileTextChars];
  FormatProfileListText(S.GetPdoList().EntryAt(S.live.activePdoIndex), hardwareRevision, text, kProfileTextChars);
  return Narrow(text);
}

bool WriteOutput(const std::string& path, const std::string& bytes) {
  std::string error;
  if (WriteWholeFile(PathOf(path), bytes, &error)) return true;
  Fail(error);
  return false;
}

}  // namespace

std::string CheckSweepSettings(const SweepSettings& s) {
  wchar_t message[256];
  const auto narrow = [](long long v) { return static_cast<int32_t>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v); };
  ConfigCheckResult r = CheckCurrentStep(narrow(s.currentStepMa));
  if (r.check == ConfigCheck::Ok) r = CheckTimeStep(narrow(s.timeStepMs), narrow(s.currentStepMa));
  if (FormatConfigMessage(r, message, 256)) return FirstLine(message);
  uint32_t mode = 0;
  uint16_t index = 0;
  return CheckLimits(s.limits, &mode, &index);
}

int RunRipple(const CliOptions& options, const RippleOptions& r) {
  if (const std::string why = CheckWritable("--csv", r.csvPath); !why.empty()) return Fail(why);
  if (const std::string why = CheckJunitFile(r.verdicts); !why.empty()) return Fail(why);
  if (const std::string why = CheckHistory(r.history); !why.empty()) return Fail(why);
  CoreSession session;
  TesterState& S = session.State();
  if (const int code = session.Open(options, LimitOptions{}, S.config.currentStepMa, S.config.timeStepMs)) return code;
  const std::string profile = ActiveProfileText(session, session.Tester().hardwareRevision);
  const uint16_t profileMv = S.live.profileVoltageMv;
  auto chart = std::make_unique<LineChart>();
  Progress progress;
  std::vector<Reading> samples;
  int64_t startUs = 0;
  const RippleCapture c = CaptureRipple(session, *chart, r.seconds, progress, &samples, &startUs);
  progress.Clear();
  const std::string problem = session.Finish();
  ReportRun run;
  run.plan.entry = S.GetPdoList().EntryAt(S.live.activePdoIndex);
  run.plan.profileText = Widen(profile);
  run.plan.requestedMv = profileMv;
  run.started = true;
  run.profileMv = profileMv;
  run.ripple = c;
  Report rep = OneRunReport(session, run);
  ApplyLimits(r.verdicts.limits, S.GetPdoList(), rep);

  const double rate = c.seconds > 0 ? c.samples / c.seconds : 0.0;
  const bool complete = c.end == RunEnd::Complete;
  if (options.json) {
    json j = {{"profile", profile},          {"profileMv", profileMv},   {"samples", c.samples},
              {"seconds", Rounded(c.seconds, 3)}, {"samplesPerSecond", Rounded(rate, 1)}, {"setpointMa", c.setpointMa},
              {"window", WindowJson(c.window)}, {"verdict", VerdictText(c.verdict)}, {"complete", complete}};
    if (c.samples > 0) {
      j["minVolts"] = VoltsAtMv(c.minVolts);
      j["maxVolts"] = VoltsAtMv(c.maxVolts);
      j["rippleVolts"] = VoltsFromMv(c.RippleMv());
    }
    if (!complete) j["ended"] = session.EndText(c.end);
    AddRulesJson(rep, j);
    PrintJson(stdout, j);
  } else {
    std::vector<std::vector<std::string>> rows = {
        {"Profile", Format("%s (source at %.2f V)", profile.c_str(), profileMv / 1000.0)},
        {"Samples", Format("%d in %.2f s (%.0f per second)", c.samples, c.seconds, rate)}};
    if (c.samples > 0) {
      rows.push_back({"Minimum", Format("%.3f V", VoltsAtMv(c.minVolts))});
      rows.push_back({"Maximum", Format("%.3f V", VoltsAtMv(c.maxVolts))});
      rows.push_back({"Ripple", Format("%lld mV", static_cast<long long>(c.RippleMv()))});
    }
    rows.push_back({"Window", c.window ? Format("%.3f V to %.3f V at %u mA", VoltsAtMv(c.window->low), VoltsAtMv(c.window->high),
                                                static_cast<unsigned>(c.setpointMa))
                                       : std::string("none for this profile")});
    rows.push_back({"Verdict", std::string(VerdictText(c.verdict)) + (complete ? "" : Format(" (incomplete: %s)", session.EndText(c.end).c_str()))});
    PrintTable(stdout, rows, false);
    PrintRules(rep);
  }
  if (!r.csvPath.empty() && !WriteOutput(r.csvPath, BuildRippleCsv(samples, startUs))) return kExitError;
  std::string error;
  if (!WriteJunit(r.verdicts, {ReportSuite(rep, "ripple", {r.csvPath})}, &error)) return Fail(error);
  rep.rippleSeconds = r.seconds;
  if (!complete) rep.incompleteReason = session.EndText(c.end);
  if (!RecordHistory(r.history, HistoryReportOf(rep, "ripple", r.history.label, "", {AbsolutePathText(r.csvPath)}),
                     &error)) {
    return Fail(error);
  }
  // The cause first, then what the end could not do.
  if (!complete) Fail(session.Tester().Name() + ": capture ended early: " + session.EndText(c.end));
  if (!problem.empty()) Fail(session.Tester().Name() + ": " + problem);
  if (!complete || !problem.empty()) return kExitError;
  return rep.Overall() == Verdict::Fail ? kExitFail : kExitOk;
}

int RunSweep(const CliOptions& options, const SweepOptions& o) {
  if (const std::string why = CheckSweepSettings(o.settings); !why.empty()) return Fail(why);
  for (const auto& [option, path] : {std::pair{"--csv", &o.csvPath}, std::pair{"--svg", &o.svgPath}}) {
    if (const std::string why = CheckWritable(option, *path); !why.empty()) return Fail(why);
  }
  if (const std::string why = CheckJunitFile(o.verdicts); !why.empty()) return Fail(why);
  if (const std::string why = CheckHistory(o.history); !why.empty()) return Fail(why);
  CoreSession session;
  TesterState& S = session.State();
  if (const int code = session.Open(options, o.settings.limits, static_cast<uint16_t>(o.settings.currentStepMa),
                                    static_cast<uint16_t>(o.settings.timeStepMs))) {
    return code;
  }
  ReportRun run;
  run.plan.row = S.live.activePdoIndex;
  run.plan.entry = S.GetPdoList().EntryAt(S.live.activePdoIndex);
  run.plan.profileText = Widen(ActiveProfileText(session, session.Tester().hardwareRevision));
  run.plan.requestedMv = S.live.profileVoltageMv;
  run.started = true;
  run.profileMv = S.live.profileVoltageMv;
  auto chart = std::make_unique<LineChart>();
  Progress progress;
  run.sweep = RunSweepTest(session, *chart, progress);
  progress.Clear();
  const std::string problem = session.Finish();
  const SweepRecord& s = run.sweep;
  const bool complete = s.end == RunEnd::Complete;
  Report rep = OneRunReport(session, run);
  ApplyLimits(o.verdicts.limits, S.GetPdoList(), rep);

  if (options.json) {
    json j = RunJson(run, 1)["sweep"];
    j["profile"] = Narrow(run.plan.profileText.c_str());
    j["profileMv"] = run.profileMv;
    j["complete"] = complete;
    if (const JudgedStep* f = run.FirstFailingStep()) j["firstFailingStep"] = Utf8(f->line.text);
    AddRulesJson(rep, j);
    PrintJson(stdout, j);
  } else {
    std::vector<std::vector<std::string>> rows = {{"CURRENT", "VBUS", "RESULT"}};
    for (const JudgedStep& step : s.judgement.steps) {
      const bool outside = step.line.verdict == SweepVerdict::Under || step.line.verdict == SweepVerdict::Over;
      rows.push_back({Format("%u mA", static_cast<unsigned>(step.currentMa)), Format("%.3f V", VoltsAtMv(step.volts)),
                      outside ? Utf8(step.line.text) : "ok"});
    }
    PrintTable(stdout, rows, true);
    std::printf("Profile %s, 0 to %u mA in %u mA steps of %u ms: %d of %d steps, %s\n",
                Narrow(run.plan.profileText.c_str()).c_str(), static_cast<unsigned>(s.endMa),
                static_cast<unsigned>(s.currentStepMa), static_cast<unsigned>(s.timeStepMs), static_cast<int>(s.judgement.steps.size()),
                s.stepCount, complete ? "complete" : session.EndText(s.end).c_str());
    const JudgedStep* f = run.FirstFailingStep();
    std::printf("Verdict %s%s%s%s\n", VerdictText(s.judgement.verdict),
                complete ? "" : (" (incomplete: " + session.EndText(s.end) + ")").c_str(),
                f ? ", first failing step: " : "", f ? Utf8(f->line.text).c_str() : "");
    std::fflush(stdout);
    PrintRules(rep);
  }
  bool written = true;
  if (!o.csvPath.empty()) written = WriteOutput(o.csvPath, s.csv) && written;
  if (!o.svgPath.empty()) written = WriteOutput(o.svgPath, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + s.svg) && written;
  std::string error;
  if (!WriteJunit(o.verdicts, {ReportSuite(rep, "sweep", {o.csvPath})}, &error)) {
    Fail(error);
    written = false;
  }
  rep.limitMode = o.settings.limits.mode;
  rep.currentStepMa = s.currentStepMa;
  rep.timeStepMs = s.timeStepMs;
  if (!complete) rep.incompleteReason = session.EndText(s.end);
  if (!RecordHistory(o.history, HistoryReportOf(rep, "sweep", o.history.label, "", {AbsolutePathText(o.csvPath)}),
                     &error)) {
    Fail(error);
    written = false;
  }
  if (!complete) Fail(session.Tester().Name() + ": sweep ended early: " + session.EndText(s.end));
  if (!problem.empty()) Fail(session.Tester().Name() + ": " + problem);
  if (!complete || !problem.empty() || !written) return kExitError;
  return rep.Overall() == Verdict::Fail ? kExitFail : kExitOk;
}

void AddSourceTestCommands(CLI::App& app, CliOptions& options, int* exitCode, const std::function<void()>& settle) {
  static RippleOptions ripple;
  static SweepOptions sweep;
  static ReportOptions report;
  const auto addSettings = [](CLI::App* command, SweepSettings* s) {
    command->add_option("--current-step", s->currentStepMa, "Current step in mA, 5 to 500 (the window's setting)")
        ->check(NumberIn(ranges::kStepMa))
        ->capture_default_str();
    command->add_option("--time-step", s->timeStepMs,
                        "Time each step is held in ms, at least 4/3 of the current step, at most 60000")
        ->check(NumberIn(ranges::kStepMs))
        ->capture_default_str();
    AddLimitOptions(command, &s->limits);
  };

  CLI::App* r = app.add_subcommand(
      "ripple", "Capture VBUS at the tester's full pace: samples, minimum, maximum, ripple and the verdict against "
                "the active profile's voltage window (exit 1 on FAIL)");
  r->add_option("--seconds", ripple.seconds, "How long to capture (at most 1 day)")
      ->check(NumberIn(ranges::kRippleSeconds))
      ->capture_default_str();
  r->add_option("--csv", ripple.csvPath, "Write the samples (time in ms, VBUS in V) to this file");
  AddVerdictFileOptions(r, &ripple.verdicts);
  AddHistoryOptions(r, &ripple.history, false);
  r->callback([&options, exitCode, settle] {
    settle();
    *exitCode = RunRipple(options, ripple);
  });

  CLI::App* s = app.add_subcommand(
      "sweep", "Step the load from 0 mA to the ceiling and judge every step against the active profile's window "
               "and regions (exit 0 all permitted, 1 any not, 2 error); the load goes back to 0 mA at the end");
  addSettings(s, &sweep.settings);
  s->add_option("--csv", sweep.csvPath, "Write the sweep as the window's Export CSV does");
  s->add_option("--svg", sweep.svgPath, "Write the chart (axes, grid, regions, legend, curve) as an SVG picture");
  AddVerdictFileOptions(s, &sweep.verdicts);
  AddHistoryOptions(s, &sweep.history, false);
  s->callback([&options, exitCode, settle] {
    settle();
    *exitCode = RunSweep(options, sweep);
  });

  CLI::App* p = app.add_subcommand(
      "report", "Judge every profile of the source (ripple at no load, sweep to the rated current or ceiling) and "
                "write report.html, report.json and one CSV per run; at the end the load goes to 0 mA and the "
                "source back to its first profile (exit 0 all PASS, 1 any FAIL, 2 error or incomplete)");
  addSettings(p, &report.settings);
  p->add_option("--ripple-seconds", report.rippleSeconds, "Ripple capture of each run in seconds (at most 1 hour)")
      ->check(NumberIn(ranges::kReportRippleSeconds))
      ->capture_default_str();
  p->add_option("--out", report.outDir, "Folder for the report (made if missing)")->capture_default_str();
  p->add_flag("--force", report.force,
              "Replace an earlier report in that folder: its report.html, report.json and run CSVs are removed, "
              "no other file");
  AddVerdictFileOptions(p, &report.verdicts);
  AddHistoryOptions(p, &report.history, true);
  p->callback([&options, exitCode, settle] {
    settle();
    *exitCode = RunReport(options, report);
  });
}
