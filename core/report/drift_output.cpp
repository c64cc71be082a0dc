#include "core/report/drift_output.h"

#include "core/report/chart_svg.h"

using nlohmann::json;

json DriftJson(const ReportDrift& d) {
  json j = {{"label", d.label}};
  if (!d.comparison) {
    j["against"] = nullptr;
    j["note"] = d.note;
    j["flagged"] = 0;
    return j;
  }
  j.update(ComparisonJson(*d.comparison));
  j.erase("before");
  j.erase("after");
  j["against"] = d.comparison->before;
  j["againstDate"] = d.comparison->beforeDate;
  return j;
}

std::string DriftHtml(const ReportDrift& d) {
  std::string h = "<h2>Drift</h2>\n<p>";
  if (!d.comparison) return h + XmlEscape(d.note) + ".</p>\n";
  const HistoryComparison& c = *d.comparison;
  h += "Compared with report " + std::to_string(c.before) + " of " + XmlEscape(d.label) + " (" +
       XmlEscape(c.beforeDate) + "), drift beyond " + XmlEscape(ThresholdsText(c.thresholds)) + ": " +
       std::to_string(c.Flagged()) + " of " + std::to_string(c.changes.size()) + " figures drifted.</p>\n<table>\n<tr>";
  const std::vector<std::vector<std::string>> rows = ComparisonRows(c);
  for (const char* title : {"#", "Profile", "Figure", "Before", "Now", "Change", "Drift"})
    h += std::string("<th>") + title + "</th>";
  h += "</tr>\n";
  for (size_t i = 1; i < rows.size(); ++i) {
    h += "<tr>";
    for (size_t k = 0; k < 6; ++k) h += "<td>" + XmlEscape(rows[i][k]) + "</td>";
    h += rows[i][6] == "DRIFT" ? "<td class=\"fail\">DRIFT</td>" : "<td>-</td>";
    h += "</tr>\n";
  }
  h += "</table>\n";
  for (const std::string& u : c.unpaired) h += "<p>" + XmlEscape(u) + ".</p>\n";
  return h;
}

std::string DriftMessage(const FigureChange& f, const HistoryComparison& c) {
  return f.figure + ": " + FigureText(f.after, f.unit) + ", earlier " + FigureText(f.before, f.unit) + " (report " +
         std::to_string(c.before) + "): " + f.ChangeText() + ", beyond " + ThresholdFor(f, c.thresholds);
}
