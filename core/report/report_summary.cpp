#include "core/report/report_summary.h"

#include <cctype>

#include "core/report/chart_svg.h"
#include "core/report/report_files.h"
#include "core/report/safe_file.h"
#include "core/base/utf8.h"
#include "core/base/version.h"

namespace {

using nlohmann::json;

std::string Html(const std::string& text) { return XmlEscape(text); }

const char* VerdictClass(const std::string& verdict) {
  if (verdict == "PASS") return "pass";
  if (verdict == "FAIL") return "fail";
  if (verdict == "INCOMPLETE" || verdict == "ERROR") return "incomplete";
  return "none";
}

}  // namespace

TesterReportEntry EntryOf(const Report& report, const std::string& folder, int exitCode) {
  TesterReportEntry e;
  e.serial = report.serial;
  e.device = report.device;
  e.model = report.model;
  e.folder = folder;
  const Verdict overall = report.Overall();
  e.verdict = report.Incomplete() && overall != Verdict::Fail ? "INCOMPLETE" : VerdictText(overall);
  if (report.Incomplete()) e.reason = report.incompleteReason.empty() ? "unfinished" : report.incompleteReason;
  for (const ReportRun& r : report.runs) {
    if (r.plan.request == PlanRequest::Refused) continue;
    ++e.runs;
    e.runsComplete += r.Complete();
  }
  e.exitCode = exitCode;
  return e;
}

std::string ReportSummary::Verdict() const {
  bool fail = false, incomplete = false, pass = false;
  for (const TesterReportEntry& t : testers) {
    fail = fail || t.verdict == "FAIL";
    incomplete = incomplete || t.verdict == "INCOMPLETE" || t.verdict == "ERROR";
    pass = pass || t.verdict == "PASS";
  }
  return fail ? "FAIL" : incomplete ? "INCOMPLETE" : pass ? "PASS" : "n/a";
}

json SummaryJson(const ReportSummary& summary) {
  json testers = json::array();
  for (const TesterReportEntry& t : summary.testers) {
    json j = TesterIdentityJson(t.serial, t.device);
    j["model"] = t.model.empty() ? json(nullptr) : json(t.model);
    j["verdict"] = t.verdict;
    j["complete"] = !t.folder.empty() && t.reason.empty();
    j["report"] = t.folder.empty() ? json(nullptr) : json(t.folder + "/" + kReportHtmlName);
    j["runs"] = t.runs;
    j["runsComplete"] = t.runsComplete;
    j["exitCode"] = t.exitCode;
    if (!t.reason.empty()) j["reason"] = t.reason;
    testers.push_back(j);
  }
  return {{"program", std::string("loadpost-cli ") + BuildVersion()},
          {"date", summary.date},
          {"verdict", summary.Verdict()},
          {"exitCode", summary.exitCode},
          {"testers", testers}};
}

std::string SummaryHtml(const ReportSummary& summary) {
  std::string h;
  h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n";
  h += "<title>Loadpost reports " + Html(summary.date) + "</title>\n";
  h += std::string("<style>") + ReportStyleSheet() + "</style>\n</head>\n<body>\n";
  h += "<h1>Loadpost source reports</h1>\n<table>\n";
  h += "<tr><th>Date</th><td>" + Html(summary.date) + "</td></tr>\n";
  h += "<tr><th>Testers</th><td>" + std::to_string(summary.testers.size()) + "</td></tr>\n";
  const std::string verdict = summary.Verdict();
  h += "<tr><th>Verdict</th><td class=\"" + std::string(VerdictClass(verdict)) + "\">" + Html(verdict) + "</td></tr>\n";
  h += "</table>\n<table>\n<tr><th>Tester</th><th>Model</th><th>Verdict</th><th>Runs complete</th><th>Report</th>"
       "<th>Note</th></tr>\n";
  for (const TesterReportEntry& t : summary.testers) {
    const std::string name = t.serial.empty() ? t.device : t.serial;
    h += "<tr><td>" + Html(name) + "</td><td>" + Html(t.model.empty() ? "-" : t.model) + "</td>";
    h += "<td class=\"" + std::string(VerdictClass(t.verdict)) + "\">" + Html(t.verdict) + "</td>";
    h += "<td>" + (t.runs > 0 ? std::to_string(t.runsComplete) + " of " + std::to_string(t.runs) : std::string("-")) +
         "</td>";
    const std::string link = t.folder + "/" + kReportHtmlName;
    h += "<td>" + (t.folder.empty() ? std::string("-") : "<a href=\"" + Html(link) + "\">" + Html(link) + "</a>") + "</td>";
    h += "<td>" + Html(t.reason) + "</td></tr>\n";
  }
  h += "</table>\n<p>Made by loadpost-cli " + Html(BuildVersion()) + ".</p>\n</body>\n</html>\n";
  return h;
}

bool WriteSummaryFiles(const ReportSummary& summary, const std::filesystem::path& dir, std::string* error) {
  return WriteWholeFile(dir / kSummaryJsonName, SummaryJson(summary).dump(2) + "\n", error) &&
         WriteWholeFile(dir / kIndexHtmlName, SummaryHtml(summary), error);
}

std::vector<std::filesystem::path> SummaryFilesIn(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (const char* name : {kIndexHtmlName, kSummaryJsonName}) {
    if (std::filesystem::is_regular_file(dir / name, ec)) files.push_back(dir / name);
  }
  return files;
}

std::string FolderNameOf(const std::string& serial) {
  std::string name;
  for (char c : serial) name += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
  return name.empty() ? "_" : name;
}
