#include "core/report/limits_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/link/measured_values.h"

namespace {

template <typename... A>
std::string Text(const char* format, A... args) {
  char text[160];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

// The parts of a run that were started ran to their end.
bool Finished(const ReportRun& run) {
  return (!run.ripple.done || run.ripple.end == RunEnd::Complete) &&
         (!run.sweep.done || run.sweep.end == RunEnd::Complete);
}

void NotMeasured(RuleResult& r, const std::string& why) {
  r.valueText = "not measured: " + why;
  r.verdict = Verdict::None;
}

// Fails a limit passed; passes it only when every part of the run finished.
void Judge(RuleResult& r, double value, bool within, const ReportRun& run) {
  r.value = value;
  r.verdict = !within ? Verdict::Fail : Finished(run) ? Verdict::Pass : Verdict::None;
}

void MaxRipple(const LimitRule& rule, const ReportRun& run, RuleResult& r) {
  r.unit = "mV";
  r.limitText = Text("at most %g mV", rule.limit);
  if (run.ripple.samples == 0) return NotMeasured(r, "no ripple capture");
  const int64_t mv = run.ripple.RippleMv();
  r.valueText = Text("%lld mV", static_cast<long long>(mv));
  Judge(r, static_cast<double>(mv), mv <= rule.limit, run);
}

void MinVbus(const LimitRule& rule, const ReportRun& run, RuleResult& r) {
  r.unit = "V";
  r.limit = rule.limit / 1000.0;
  const uint16_t atMa = rule.atRated ? run.sweep.ratedMa : rule.atMa;
  r.limitText = rule.atRated
                    ? Text("at least %.3f V at the rated %u mA", rule.limit / 1000, static_cast<unsigned>(atMa))
                    : Text("at least %.3f V at %u mA", rule.limit / 1000, static_cast<unsigned>(atMa));
  if (!run.sweep.done) return NotMeasured(r, "no sweep");
  // The first step at or above the load: never a lighter one.
  for (const JudgedStep& s : run.sweep.judgement.steps) {
    if (s.currentMa < atMa) continue;
    const int64_t mv = MvOf(s.volts);
    r.valueText = Text("%.3f V at %u mA", VoltsAtMv(s.volts), static_cast<unsigned>(s.currentMa));
    return Judge(r, VoltsAtMv(s.volts), mv >= rule.limit, run);
  }
  const JudgedStep* top = run.HighestStep();
  const std::string reached =
      top ? Text("the sweep ended at %u mA", static_cast<unsigned>(top->currentMa)) : "no step measured";
  if (!Finished(run)) return NotMeasured(r, reached);
  r.valueText = "not reached: " + reached;
  r.verdict = Verdict::Fail;
}

void MaxNoLoad(const LimitRule& rule, const ReportRun& run, RuleResult& r) {
  r.unit = "V";
  r.limit = rule.limit / 1000.0;
  r.limitText = Text("at most %.3f V", rule.limit / 1000);
  std::optional<float> highest;
  if (run.ripple.samples > 0 && run.ripple.setpointMa == 0) highest = run.ripple.maxVolts;
  if (const JudgedStep* s = run.NoLoadStep(); s && s->currentMa == 0)
    highest = std::max(highest.value_or(s->volts), s->volts);
  if (!highest) return NotMeasured(r, "no reading at no load");
  r.valueText = Text("%.3f V", VoltsAtMv(*highest));
  Judge(r, VoltsAtMv(*highest), MvOf(*highest) <= rule.limit, run);
}

void Tolerance(const LimitRule& rule, const ReportRun& run, RuleResult& r) {
  r.unit = "%";
  const uint16_t wanted = run.plan.requestedMv;
  r.limitText = Text("within %g %% of %.2f V", rule.limit, wanted / 1000.0) +
                (rule.upToMa ? Text(" up to %u mA", static_cast<unsigned>(rule.upToMa)) : std::string(" at no load"));
  std::optional<int64_t> worst;  // the reading furthest from the requested voltage, mV
  const auto consider = [&](float volts) {
    const int64_t mv = MvOf(volts);
    if (!worst || std::llabs(mv - wanted) > std::llabs(*worst - wanted)) worst = mv;
  };
  if (run.ripple.samples > 0 && run.ripple.setpointMa <= rule.upToMa) {
    consider(run.ripple.minVolts);
    consider(run.ripple.maxVolts);
  }
  for (const JudgedStep& s : run.sweep.judgement.steps) {
    if (s.currentMa <= rule.upToMa) consider(s.volts);
  }
  if (!worst || wanted == 0) return NotMeasured(r, "no reading in its load range");
  const double percent = Rounded(100.0 * static_cast<double>(std::llabs(*worst - wanted)) / wanted, 2);
  r.valueText = Text("%.2f %% (%.3f V)", percent, VoltsFromMv(*worst));
  Judge(r, percent, percent <= rule.limit, run);
}

void MaxTemperature(const LimitRule& rule, const ReportRun& run, RuleResult& r) {
  r.unit = "C";
  r.limitText = Text("at most %g C", rule.limit);
  const int t = std::max(run.ripple.maxTemperatureC, run.sweep.maxTemperatureC);
  if (t < 0) return NotMeasured(r, "no reading");
  r.valueText = Text("%d C", t);
  Judge(r, t, t <= rule.limit, run);
}

std::string OfferText(const OfferRule& o) {
  std::string s = "a " + o.profile.kindText + " profile";
  if (o.mv) s += Text(" supplying %g V", o.mv / 1000.0);
  if (o.reachesMv) s += Text(" reaching %g V", o.reachesMv / 1000.0);
  if (o.minMa) s += Text(" at %g A or more", o.minMa / 1000.0);
  return s;
}

}  // namespace

std::vector<RuleResult> JudgeRunRules(const LimitsFile& limits, const ReportRun& run) {
  std::vector<RuleResult> results;
  if (run.plan.request == PlanRequest::Refused) return results;
  for (const LimitRule& rule : limits.rules) {
    if (!rule.profile.Matches(run.plan.entry, run.plan.requestedMv)) continue;
    RuleResult r;
    r.name = rule.name;
    r.field = RuleFieldName(rule.field);
    r.limit = rule.limit;
    switch (rule.field) {
      case RuleField::MaxRipple:
        MaxRipple(rule, run, r);
        break;
      case RuleField::MinVbus:
        MinVbus(rule, run, r);
        break;
      case RuleField::MaxNoLoad:
        MaxNoLoad(rule, run, r);
        break;
      case RuleField::Tolerance:
        Tolerance(rule, run, r);
        break;
      case RuleField::MaxTemperature:
        MaxTemperature(rule, run, r);
        break;
    }
    results.push_back(r);
  }
  return results;
}

std::vector<RuleResult> JudgeOffered(const LimitsFile& limits, const PdoList& list,
                                     const std::vector<std::string>& texts) {
  std::vector<RuleResult> results;
  for (const OfferRule& o : limits.offered) {
    RuleResult r;
    r.name = o.name;
    r.field = "offered";
    r.limitText = OfferText(o);
    r.valueText = "not offered";
    r.verdict = Verdict::Fail;
    for (int i = 0; i < list.count && i < kMaxPdoEntries; ++i) {
      const PdoEntry& e = list.entries[i];
      if (!o.profile.MatchesKind(e) || (o.mv && (o.mv < e.minMv || o.mv > std::max(e.minMv, e.maxMv))) ||
          (o.reachesMv && std::max(e.minMv, e.maxMv) < o.reachesMv) || e.maxCurrentMa < o.minMa) {
        continue;
      }
      r.valueText = i < static_cast<int>(texts.size()) ? texts[i] : "row " + std::to_string(i);
      r.verdict = Verdict::Pass;
      break;
    }
    results.push_back(r);
  }
  return results;
}
