#include "core/report/history_compare.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

bool IsVoltage(const std::string& unit) { return unit == "V" || unit == "mV"; }

std::string Number(double v, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

int DecimalsOf(const std::string& unit) { return unit == "V" ? 3 : unit == "mV" || unit == "mA" ? 0 : 3; }

bool Drifted(const FigureChange& c, const DriftThresholds& t) {
  if (!c.before || !c.after) return false;
  const double change = std::fabs(*c.after - *c.before);
  if (IsVoltage(c.unit) && t.mv) return (c.unit == "V" ? change * 1000.0 : change) > *t.mv + 1e-9;
  if (*c.before == 0) return change > 0;
  return change / std::fabs(*c.before) * 100.0 > t.percent + 1e-9;
}

void Add(std::vector<FigureChange>& out, const HistoryRun& run, const std::string& figure, const std::string& unit,
         const std::optional<double>& before, const std::optional<double>& after) {
  if (!before && !after) return;
  FigureChange c;
  c.run = run.number;
  c.profile = run.profile;
  c.figure = figure;
  c.unit = unit;
  c.before = before;
  c.after = after;
  out.push_back(c);
}

std::optional<double> D(const std::optional<int>& v) {
  return v ? std::optional<double>(*v) : std::nullopt;
}

void CompareRuns(const HistoryRun& b, const HistoryRun& a, std::vector<FigureChange>& out) {
  Add(out, a, "VBUS at no load", "V", b.noLoadVolts, a.noLoadVolts);
  Add(out, a, "VBUS at highest load", "V", b.highestLoadVolts, a.highestLoadVolts);
  Add(out, a, "ripple", "mV", D(b.rippleMv), D(a.rippleMv));
  Add(out, a, "VBUS minimum", "V", b.minVolts, a.minVolts);
  Add(out, a, "VBUS maximum", "V", b.maxVolts, a.maxVolts);
  Add(out, a, "capacity", "mAh", b.mah, a.mah);
  Add(out, a, "energy", "mWh", b.mwh, a.mwh);
  std::map<std::string, const HistoryRule*> earlier;
  for (const HistoryRule& r : b.rules) earlier[r.name] = &r;
  for (const HistoryRule& r : a.rules) {
    const auto it = earlier.find(r.name);
    Add(out, a, "rule " + r.name, r.unit, it == earlier.end() ? std::nullopt : it->second->value, r.value);
    // A rule that measures nothing (offered) has no figure either side.
  }
}

}  // namespace

std::string ParseDriftThresholds(const std::vector<std::string>& texts, DriftThresholds* t) {
  bool mv = false, percent = false;
  for (const std::string& text : texts) {
    const bool isPercent = !text.empty() && text.back() == '%';
    const bool isMv = text.size() > 2 && text.compare(text.size() - 2, 2, "mV") == 0;
    const std::string number = text.substr(0, text.size() - (isPercent ? 1 : isMv ? 2 : 0));
    char* end = nullptr;
    const double v = number.empty() ? -1 : std::strtod(number.c_str(), &end);
    if ((!isPercent && !isMv) || number.empty() || end != number.c_str() + number.size() || !std::isfinite(v) ||
        v < 0 || number[0] == ' ') {
      return "must be a change in mV or % such as 50mV or 10%, not " + (text.empty() ? std::string("empty") : text);
    }
    if ((isMv && mv) || (isPercent && percent)) return "is given twice in " + std::string(isMv ? "mV" : "%");
    if (isMv) {
      mv = true;
      t->mv = v;
    } else {
      percent = true;
      t->percent = v;
    }
  }
  // Only a percentage given: it judges every figure.
  if (percent && !mv) t->mv.reset();
  return "";
}

std::optional<double> FigureChange::Change() const {
  if (!before || !after) return std::nullopt;
  return *after - *before;
}

std::string FigureText(const std::optional<double>& value, const std::string& unit) {
  if (!value) return "not measured";
  return Number(*value, DecimalsOf(unit)) + (unit.empty() ? "" : " " + unit);
}

std::string FigureChange::ChangeText() const {
  if (!before) return "not measured before";
  if (!after) return "not measured now";
  const double d = *after - *before;
  std::string text = (d >= 0 ? "+" : "") + Number(d, DecimalsOf(unit)) + (unit.empty() ? "" : " " + unit);
  if (!IsVoltage(unit) && *before != 0) text += " (" + Number(d / std::fabs(*before) * 100.0, 1) + " %)";
  return text;
}

int HistoryComparison::Flagged() const {
  int n = 0;
  for (const FigureChange& c : changes) n += c.flagged;
  return n;
}

std::string ThresholdsText(const DriftThresholds& t) {
  const std::string percent = Number(t.percent, t.percent == std::floor(t.percent) ? 0 : 2) + " %";
  if (!t.mv) return percent;
  return Number(*t.mv, *t.mv == std::floor(*t.mv) ? 0 : 3) + " mV (volts), " + percent + " (others)";
}

std::string ThresholdFor(const FigureChange& f, const DriftThresholds& t) {
  if (IsVoltage(f.unit) && t.mv) return Number(*t.mv, *t.mv == std::floor(*t.mv) ? 0 : 3) + " mV";
  return Number(t.percent, t.percent == std::floor(t.percent) ? 0 : 2) + " %";
}

HistoryComparison CompareHistoryReports(const HistoryReport& before, const HistoryReport& after,
                                        const DriftThresholds& thresholds) {
  HistoryComparison c;
  c.before = before.id;
  c.after = after.id;
  c.beforeDate = before.date;
  c.thresholds = thresholds;
  // Runs pair by profile and requested voltage, in order (a profile listed twice pairs in turn).
  std::vector<bool> used(before.runs.size(), false);
  for (const HistoryRun& a : after.runs) {
    size_t k = 0;
    while (k < before.runs.size() && (used[k] || before.runs[k].Key() != a.Key())) ++k;
    if (k == before.runs.size()) {
      c.unpaired.push_back("run " + std::to_string(a.number) + " (" + a.profile + ") only in report " +
                           std::to_string(after.id));
      continue;
    }
    used[k] = true;
    CompareRuns(before.runs[k], a, c.changes);
  }
  for (size_t k = 0; k < before.runs.size(); ++k) {
    if (!used[k]) {
      c.unpaired.push_back("run " + std::to_string(before.runs[k].number) + " (" + before.runs[k].profile +
                           ") only in report " + std::to_string(before.id));
    }
  }
  for (FigureChange& f : c.changes) f.flagged = Drifted(f, thresholds);
  return c;
}

nlohmann::json ComparisonJson(const HistoryComparison& c) {
  using nlohmann::json;
  const auto value = [](const std::optional<double>& v) { return v ? json(*v) : json(nullptr); };
  json changes = json::array();
  for (const FigureChange& f : c.changes) {
    const std::optional<double> d = f.Change();
    changes.push_back({{"run", f.run},
                       {"profile", f.profile},
                       {"figure", f.figure},
                       {"unit", f.unit},
                       {"before", value(f.before)},
                       {"after", value(f.after)},
                       {"change", d ? json(std::round(*d * 1e6) / 1e6) : json(nullptr)},
                       {"flagged", f.flagged}});
  }
  return {{"before", c.before},
          {"after", c.after == 0 ? json(nullptr) : json(c.after)},
          {"thresholds", {{"mv", value(c.thresholds.mv)}, {"percent", c.thresholds.percent}}},
          {"flagged", c.Flagged()},
          {"changes", changes},
          {"unpaired", c.unpaired}};
}

std::vector<std::vector<std::string>> ComparisonRows(const HistoryComparison& c) {
  std::vector<std::vector<std::string>> rows = {{"RUN", "PROFILE", "FIGURE", "BEFORE", "AFTER", "CHANGE", "DRIFT"}};
  for (const FigureChange& f : c.changes) {
    rows.push_back({std::to_string(f.run), f.profile, f.figure, FigureText(f.before, f.unit),
                    FigureText(f.after, f.unit), f.ChangeText(), f.flagged ? "DRIFT" : "-"});
  }
  return rows;
}

std::string HistoryRun::Key() const {
  return profile + "\n" + requested + "\n" + (requested == "requested" ? std::to_string(requestedMv) : "");
}
