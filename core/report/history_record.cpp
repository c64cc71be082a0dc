#include "core/report/history_record.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/base/utf8.h"
#include "core/base/version.h"

namespace {

HistoryRule RuleOf(const RuleResult& r) {
  return {r.name, r.field, r.value, r.unit, r.limit, r.valueText, r.limitText, VerdictText(r.verdict)};
}

std::vector<HistoryRule> RulesOf(const std::vector<RuleResult>& results) {
  std::vector<HistoryRule> rules;
  for (const RuleResult& r : results) rules.push_back(RuleOf(r));
  return rules;
}

const char* RequestText(PlanRequest request) {
  switch (request) {
    case PlanRequest::AsSupplied: return "as supplied";
    case PlanRequest::Refused: return "refused";
    default: return "requested";
  }
}

// A run's verdict. A sweep or a ripple capture alone is one part of a
// report's run: its own verdict (and its rules') is the run's.
Verdict RunVerdict(const ReportRun& r, const std::string& command, bool* complete) {
  *complete = r.Complete();
  if (command == "report") return r.Overall();
  const bool sweep = command == "sweep";
  *complete = sweep ? r.sweep.done && r.sweep.end == RunEnd::Complete
                    : r.ripple.done && r.ripple.end == RunEnd::Complete;
  const Verdict own = sweep ? r.sweep.judgement.verdict : r.ripple.verdict;
  const Verdict rules = RulesVerdict(r.rules);
  if (own == Verdict::Fail || rules == Verdict::Fail) return Verdict::Fail;
  if (*complete && (own == Verdict::Pass || rules == Verdict::Pass)) return Verdict::Pass;
  return Verdict::None;
}

HistoryRun RunOf(const ReportRun& r, const std::string& command, int number, const std::string& csvPath) {
  HistoryRun h;
  h.number = number;
  h.profile = Utf8(r.plan.profileText.c_str());
  h.requested = RequestText(r.plan.request);
  h.requestedMv = r.plan.requestedMv;
  h.profileMv = r.profileMv;
  const Verdict verdict = RunVerdict(r, command, &h.complete);
  h.verdict = r.plan.request == PlanRequest::Refused     ? "not run"
              : verdict == Verdict::None && !h.complete ? "INCOMPLETE"
                                                        : VerdictText(verdict);
  h.error = r.plan.request == PlanRequest::Refused ? Utf8(r.plan.refusal.c_str()) : r.error;
  if (const JudgedStep* n = r.NoLoadStep()) h.noLoadVolts = VoltsAtMv(n->volts);
  if (const JudgedStep* t = r.HighestStep()) {
    h.highestLoadVolts = VoltsAtMv(t->volts);
    h.highestLoadMa = t->currentMa;
  }
  h.steps = static_cast<int>(r.sweep.judgement.steps.size());
  h.stepCount = r.sweep.stepCount;
  if (const JudgedStep* f = r.FirstFailingStep()) h.firstFailingStep = Utf8(f->line.text);
  const RippleCapture& c = r.ripple;
  h.rippleSamples = c.samples;
  if (c.samples > 0) {
    h.rippleMv = static_cast<int>(c.RippleMv());
    h.rippleMinVolts = VoltsAtMv(c.minVolts);
    h.rippleMaxVolts = VoltsAtMv(c.maxVolts);
    h.rippleVerdict = VerdictText(c.verdict);
  }
  const int hottest = std::max(c.maxTemperatureC, r.sweep.maxTemperatureC);
  if (hottest >= 0) h.maxTemperatureC = hottest;
  h.csvPath = csvPath;
  h.rules = RulesOf(r.rules);
  return h;
}

}  // namespace

std::string ReportVerdictText(const Report& report) {
  const Verdict overall = report.Overall();
  return report.Incomplete() && overall != Verdict::Fail ? "INCOMPLETE" : VerdictText(overall);
}

HistoryReport HistoryReportOf(const Report& report, const std::string& command, const std::string& label,
                              const std::string& folder, const std::vector<std::string>& csvPaths) {
  HistoryReport h;
  h.command = command;
  h.label = label;
  h.serial = report.serial;
  h.device = report.device;
  h.model = report.model;
  h.hardware = report.hardware;
  h.firmware = report.firmware;
  h.date = report.date;
  h.program = "loadpost-cli " + Utf8(kProgramVersion);
  nlohmann::json settings = nlohmann::json::object();
  if (!report.limitMode.empty()) settings["limitMode"] = report.limitMode;
  if (command == "report" || command == "sweep") {
    settings["currentStepMa"] = report.currentStepMa;
    settings["timeStepMs"] = report.timeStepMs;
  }
  if (command == "report" || command == "ripple") settings["rippleSeconds"] = report.rippleSeconds;
  h.settings = settings.dump();
  h.limitsFile = report.limitsFile;
  h.folder = folder;
  h.verdict = ReportVerdictText(report);
  h.complete = !report.Incomplete();
  h.incompleteReason = report.incompleteReason;
  h.offered = RulesOf(report.offered);
  for (size_t i = 0; i < report.runs.size(); ++i) {
    h.runs.push_back(RunOf(report.runs[i], command, static_cast<int>(i) + 1, i < csvPaths.size() ? csvPaths[i] : ""));
  }
  h.runCount = static_cast<int>(h.runs.size());
  if (command != "report" && h.runs.size() == 1) {
    // One part of a run: its verdict, and the source's offered profiles.
    const Verdict offered = RulesVerdict(report.offered);
    const std::string& run = h.runs.front().verdict;
    h.verdict = run == "FAIL" || offered == Verdict::Fail ? "FAIL"
                : !h.complete || run == "INCOMPLETE"       ? "INCOMPLETE"
                : run == "PASS" || offered == Verdict::Pass ? "PASS"
                                                            : "n/a";
  }
  return h;
}
