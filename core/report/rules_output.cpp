#include "core/report/rules_output.h"

#include "core/base/utf8.h"
#include "core/report/chart_svg.h"

namespace {

using nlohmann::json;

void AddRows(std::vector<std::vector<std::string>>& rows, const std::string& run, const std::string& profile,
             const std::vector<RuleResult>& results) {
  for (const RuleResult& r : results)
    rows.push_back({run, profile, r.name, r.valueText, r.limitText, VerdictText(r.verdict)});
}

}  // namespace

json RuleJson(const RuleResult& r) {
  return {{"name", r.name},
          {"field", r.field},
          {"value", r.value ? json(*r.value) : json(nullptr)},
          {"unit", r.unit},
          {"limit", r.limit ? json(*r.limit) : json(nullptr)},
          {"valueText", r.valueText},
          {"limitText", r.limitText},
          {"verdict", VerdictText(r.verdict)}};
}

json RulesJson(const std::vector<RuleResult>& results) {
  json list = json::array();
  for (const RuleResult& r : results) list.push_back(RuleJson(r));
  return list;
}

std::vector<std::vector<std::string>> RuleRows(const Report& report) {
  std::vector<std::vector<std::string>> rows = {{"#", "PROFILE", "RULE", "VALUE", "LIMIT", "VERDICT"}};
  for (size_t i = 0; i < report.runs.size(); ++i) {
    const ReportRun& run = report.runs[i];
    AddRows(rows, std::to_string(i + 1), Utf8(run.plan.profileText.c_str()), run.rules);
  }
  AddRows(rows, "-", "source", report.offered);
  return rows;
}

std::string RulesHtml(const Report& report) {
  if (report.limitsFile.empty()) return "";
  const std::vector<std::vector<std::string>> rows = RuleRows(report);
  std::string h = "<h2>Limits</h2>\n<p>Judged against " + XmlEscape(report.limitsFile) + ".</p>\n<table>\n<tr>";
  for (const char* title : {"#", "Profile", "Rule", "Value", "Limit", "Verdict"})
    h += std::string("<th>") + title + "</th>";
  h += "</tr>\n";
  for (size_t i = 1; i < rows.size(); ++i) {
    const std::string& verdict = rows[i][5];
    const char* cls = verdict == "PASS" ? "pass" : verdict == "FAIL" ? "fail" : "none";
    h += "<tr>";
    for (size_t c = 0; c < 5; ++c) h += "<td>" + XmlEscape(rows[i][c]) + "</td>";
    h += std::string("<td class=\"") + cls + "\">" + verdict + "</td></tr>\n";
  }
  return h + "</table>\n";
}
