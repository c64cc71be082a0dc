#include "core/report/report_model.h"

#include <cctype>
#include <cstdio>

#include "core/report/chart_svg.h"
#include "core/base/utf8.h"

Verdict ReportRun::Overall() const {
  const Verdict byRules = RulesVerdict(rules);
  if (ripple.verdict == Verdict::Fail || sweep.judgement.verdict == Verdict::Fail || byRules == Verdict::Fail) {
    return Verdict::Fail;
  }
  if (!Complete()) return Verdict::None;
  if (ripple.verdict == Verdict::Pass || sweep.judgement.verdict == Verdict::Pass || byRules == Verdict::Pass) {
    return Verdict::Pass;
  }
  return Verdict::None;
}

const JudgedStep* ReportRun::NoLoadStep() const {
  return sweep.judgement.steps.empty() ? nullptr : &sweep.judgement.steps.front();
}

const JudgedStep* ReportRun::HighestStep() const {
  return sweep.judgement.steps.empty() ? nullptr : &sweep.judgement.steps.back();
}

const JudgedStep* ReportRun::FirstFailingStep() const {
  const int i = sweep.judgement.firstFailing;
  return i >= 0 && i < static_cast<int>(sweep.judgement.steps.size()) ? &sweep.judgement.steps[i] : nullptr;
}

std::string ReportRun::CsvName(int number) const {
  std::string name = Utf8(plan.profileText.c_str());
  const size_t space = name.find(' ');
  if (space != std::string::npos) name.resize(space);
  std::string slug;
  for (char c : name) slug += std::isalnum(static_cast<unsigned char>(c)) ? static_cast<char>(std::tolower(c)) : '-';
  char text[96];
  std::snprintf(text, sizeof text, "run-%02d-%s-%umV.csv", number, slug.c_str(), static_cast<unsigned>(plan.requestedMv));
  return text;
}

Verdict Report::Overall() const {
  const Verdict byOffered = RulesVerdict(offered);
  if (byOffered == Verdict::Fail) return Verdict::Fail;
  bool pass = byOffered == Verdict::Pass;
  for (const ReportRun& r : runs) {
    const Verdict v = r.Overall();
    if (v == Verdict::Fail) return Verdict::Fail;
    pass = pass || v == Verdict::Pass;
  }
  return pass ? Verdict::Pass : Verdict::None;
}

double PlannedDwellSeconds(const Report& report) {
  double seconds = 0.0;
  for (const ReportRun& r : report.runs) {
    if (r.plan.request == PlanRequest::Refused) continue;
    seconds += report.rippleSeconds;
    seconds += static_cast<double>(r.sweep.stepCount) * r.sweep.timeStepMs / 1000.0;
  }
  return seconds;
}

std::string BuildRippleCsv(const std::vector<Reading>& samples, int64_t startUs) {
  std::string out = "Time (ms), VBUS (V)\r\n";
  char row[64];
  for (const Reading& r : samples) {
    const int n = std::snprintf(row, sizeof row, "%.3f,%.3f\r\n", static_cast<double>(r.timeUs - startUs) / 1000.0,
                                VoltsFromMv(r.vbusMv));
    if (n > 0 && n < static_cast<int>(sizeof row)) out.append(row, static_cast<size_t>(n));
  }
  return out;
}
