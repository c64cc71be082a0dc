#include "core/report/report_files.h"

#include <algorithm>
#include <cstdio>
#include <regex>

#include "core/report/chart_svg.h"
#include "core/report/drift_output.h"
#include "core/report/rules_output.h"
#include "core/base/utf8.h"
#include "core/base/version.h"

namespace {

using nlohmann::json;

std::string Volts(float v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f V", VoltsAtMv(v));
  return text;
}

std::string Millivolts(int64_t mv) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld mV", static_cast<long long>(mv));
  return text;
}

std::string EndText(RunEnd end) {
  switch (end) {
    case RunEnd::Complete: return "complete";
    case RunEnd::Stopped: return "stopped";
    case RunEnd::Detached: return "source detached";
    case RunEnd::LinkLost: return "connection to the tester lost";
    case RunEnd::TimedOut: return "no reading from the tester in time";
    default: return "not run";
  }
}

std::string H(const std::string& text) { return XmlEscape(text); }

std::string StepText(const JudgedStep& s) { return Utf8(s.line.text); }

std::string VerdictCell(Verdict v, bool complete) {
  if (v == Verdict::None && !complete) return "<td class=\"incomplete\">INCOMPLETE</td>";
  const char* cls = v == Verdict::Pass ? "pass" : v == Verdict::Fail ? "fail" : "none";
  return std::string("<td class=\"") + cls + "\">" + VerdictText(v) + "</td>";
}

std::string RequestedText(const ReportRun& r) {
  if (r.plan.request == PlanRequest::AsSupplied) return "as supplied";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f V", r.plan.requestedMv / 1000.0);
  return text;
}

json StepJson(const JudgedStep& s) {
  return {{"index", s.index},          {"currentMa", s.currentMa}, {"measuredMa", s.measuredMa},
          {"volts", VoltsAtMv(s.volts)}, {"permitted", s.permitted}, {"text", StepText(s)}};
}

const char* kStyle =
    "body{font-family:Arial,Helvetica,sans-serif;margin:24px;color:#111}"
    "table{border-collapse:collapse;margin:8px 0 16px}th,td{border:1px solid #999;padding:3px 8px;text-align:left}"
    "th{background:#eee}.pass{background:#c8f0c8}.fail{background:#f4c0c0}.none{background:#eee}"
    ".incomplete{background:#ffe08a}.banner{padding:8px;border:2px solid #c00;background:#fff0d0;font-weight:bold}"
    "section{margin-top:28px}svg{max-width:100%;height:auto}";

}  // namespace

const char* ReportStyleSheet() { return kStyle; }

json TesterIdentityJson(const std::string& serial, const std::string& device) {
  return {{"serial", serial.empty() ? json(nullptr) : json(serial)},
          {"device", device.empty() ? json(nullptr) : json(device)}};
}

json WindowJson(const std::optional<VoltageWindow>& w) {
  if (!w) return nullptr;
  return {{"low", VoltsAtMv(w->low)}, {"high", VoltsAtMv(w->high)}};
}

json RunJson(const ReportRun& r, int number) {
  json run = {{"number", number},
              {"row", r.plan.row},
              {"profile", Utf8(r.plan.profileText.c_str())},
              {"request", r.plan.request == PlanRequest::AsSupplied ? "as supplied"
                          : r.plan.request == PlanRequest::Refused  ? "refused"
                                                                   : "requested"},
              {"requestedMv", r.plan.requestedMv},
              {"started", r.started},
              {"complete", r.Complete()},
              {"verdict", VerdictText(r.Overall())}};
  if (!r.plan.refusal.empty()) run["refusal"] = Utf8(r.plan.refusal.c_str());
  if (!r.error.empty()) run["error"] = r.error;
  if (!r.rules.empty()) run["rules"] = RulesJson(r.rules);
  if (!r.started) return run;
  run["profileMv"] = r.profileMv;
  const RippleCapture& c = r.ripple;
  run["ripple"] = {{"done", c.done},                {"end", EndText(c.end)},         {"samples", c.samples},
                   {"seconds", Rounded(c.seconds, 3)}, {"setpointMa", c.setpointMa},    {"window", WindowJson(c.window)},
                   {"verdict", VerdictText(c.verdict)}};
  if (c.samples > 0) {
    run["ripple"]["minVolts"] = VoltsAtMv(c.minVolts);
    run["ripple"]["maxVolts"] = VoltsAtMv(c.maxVolts);
    run["ripple"]["rippleVolts"] = VoltsFromMv(c.RippleMv());
  }
  const SweepRecord& s = r.sweep;
  json steps = json::array();
  for (const JudgedStep& step : s.judgement.steps) steps.push_back(StepJson(step));
  run["sweep"] = {{"done", s.done},
                  {"end", EndText(s.end)},
                  {"currentStepMa", s.currentStepMa},
                  {"timeStepMs", s.timeStepMs},
                  {"endMa", s.endMa},
                  {"ratedMa", s.ratedMa},
                  {"stepCount", s.stepCount},
                  {"verdict", VerdictText(s.judgement.verdict)},
                  {"steps", steps},
                  {"csv", r.CsvName(number)}};
  if (const JudgedStep* f = r.FirstFailingStep()) run["firstFailingStep"] = StepJson(*f);
  if (const JudgedStep* n = r.NoLoadStep()) run["noLoadVolts"] = VoltsAtMv(n->volts);
  if (const JudgedStep* h = r.HighestStep()) {
    run["highestLoadVolts"] = VoltsAtMv(h->volts);
    run["highestLoadMa"] = h->currentMa;
  }
  return run;
}

json ReportJson(const Report& report) {
  json runs = json::array();
  for (size_t i = 0; i < report.runs.size(); ++i) runs.push_back(RunJson(report.runs[i], static_cast<int>(i) + 1));
  json j = {{"program", "loadpost-cli " + Utf8(kProgramVersion)},
            {"date", report.date},
            {"tester", TesterIdentityJson(report.serial, report.device)},
            {"source", {{"capabilities", report.capabilities}}},
            {"settings", {{"limitMode", report.limitMode}, {"currentStepMa", report.currentStepMa},
                          {"timeStepMs", report.timeStepMs}, {"rippleSeconds", report.rippleSeconds}}},
            {"complete", !report.Incomplete()},
            {"verdict", report.Incomplete() && report.Overall() != Verdict::Fail ? "INCOMPLETE"
                                                                                   : VerdictText(report.Overall())},
            {"runs", runs}};
  j["tester"].update(json{{"model", report.model}, {"hardware", report.hardware}, {"firmware", report.firmware}});
  if (!report.limitsFile.empty()) j["limits"] = {{"file", report.limitsFile}, {"offered", RulesJson(report.offered)}};
  if (report.drift) j["drift"] = DriftJson(*report.drift);
  if (report.Incomplete()) j["incompleteReason"] = report.incompleteReason.empty() ? "unfinished" : report.incompleteReason;
  return j;
}

std::string ReportHtml(const Report& report) {
  std::string h;
  h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\"/>\n";
  h += "<title>Loadpost report " + H(report.TesterName()) + " " + H(report.date) + "</title>\n";
  h += std::string("<style>") + kStyle + "</style>\n</head>\n<body>\n";
  h += "<h1>Loadpost source report</h1>\n";
  if (report.Incomplete()) {
    h += "<p class=\"banner\">INCOMPLETE REPORT: " +
         H(report.incompleteReason.empty() ? std::string("unfinished") : report.incompleteReason) +
         ". Only what was measured is shown.</p>\n";
  }
  const Verdict overall = report.Overall();
  h += "<table>\n";
  h += "<tr><th>Date</th><td>" + H(report.date) + "</td></tr>\n";
  h += "<tr><th>Tester</th><td>" + H(report.TesterName()) + ", " + H(report.model) + ", hardware " + H(report.hardware) +
       ", firmware " + H(report.firmware) + "</td></tr>\n";
  h += "<tr><th>Source</th><td>";
  for (size_t i = 0; i < report.capabilities.size(); ++i) {
    h += (i ? "<br/>" : "") + std::to_string(i) + ": " + H(report.capabilities[i]);
  }
  h += "</td></tr>\n";
  char settings[160];
  std::snprintf(settings, sizeof settings, "limit mode %s, current step %u mA, time step %u ms, ripple capture %.2f s",
                report.limitMode.c_str(), static_cast<unsigned>(report.currentStepMa),
                static_cast<unsigned>(report.timeStepMs), report.rippleSeconds);
  h += "<tr><th>Settings</th><td>" + H(settings) + "</td></tr>\n";
  h += "<tr><th>Verdict</th>" + VerdictCell(overall, !report.Incomplete()) + "</tr>\n</table>\n";

  h += "<h2>Summary</h2>\n<table>\n<tr><th>#</th><th>Profile</th><th>Requested</th><th>VBUS at no load</th>"
       "<th>VBUS at highest load</th><th>Ripple</th><th>Verdict</th><th>First failing step</th></tr>\n";
  for (size_t i = 0; i < report.runs.size(); ++i) {
    const ReportRun& r = report.runs[i];
    const JudgedStep* none = r.NoLoadStep();
    const JudgedStep* top = r.HighestStep();
    const JudgedStep* fail = r.FirstFailingStep();
    h += "<tr><td>" + std::to_string(i + 1) + "</td><td>" + H(Utf8(r.plan.profileText.c_str())) + "</td><td>" +
         H(RequestedText(r)) + "</td>";
    h += "<td>" + (none ? Volts(none->volts) : std::string("-")) + "</td>";
    h += "<td>" + (top ? Volts(top->volts) + " at " + std::to_string(top->currentMa) + " mA" : std::string("-")) + "</td>";
    h += "<td>" + (r.ripple.samples > 0 ? Millivolts(r.ripple.RippleMv()) + " " + VerdictText(r.ripple.verdict)
                                        : std::string("-")) +
         "</td>";
    if (r.plan.request == PlanRequest::Refused) {
      h += "<td class=\"none\">not run</td><td>" + H(Utf8(r.plan.refusal.c_str())) + "</td></tr>\n";
      continue;
    }
    h += VerdictCell(r.Overall(), r.Complete());
    std::string failing = fail ? StepText(*fail) : std::string();
    if (!r.error.empty()) failing += (failing.empty() ? "" : "; ") + std::string("ended early: ") + r.error;
    h += "<td>" + H(failing) + "</td></tr>\n";
  }
  h += "</table>\n";
  h += RulesHtml(report);
  if (report.drift) h += DriftHtml(*report.drift);

  for (size_t i = 0; i < report.runs.size(); ++i) {
    const ReportRun& r = report.runs[i];
    if (!r.started) continue;
    const int number = static_cast<int>(i) + 1;
    h += "<section>\n<h2>Run " + std::to_string(number) + ": " + H(Utf8(r.plan.profileText.c_str())) + ", " +
         H(RequestedText(r)) + "</h2>\n<p>";
    char line[320];
    std::snprintf(line, sizeof line, "Source supplying %.2f V. ", r.profileMv / 1000.0);
    h += line;
    const RippleCapture& c = r.ripple;
    if (c.samples > 0) {
      std::snprintf(line, sizeof line,
                    "Ripple at %u mA: %d samples in %.2f s, minimum %.3f V, maximum %.3f V, ripple %lld mV",
                    static_cast<unsigned>(c.setpointMa), c.samples, c.seconds, VoltsAtMv(c.minVolts),
                    VoltsAtMv(c.maxVolts), static_cast<long long>(c.RippleMv()));
      h += H(line);
      if (c.window) {
        std::snprintf(line, sizeof line, " (window %.3f V to %.3f V)", VoltsAtMv(c.window->low),
                      VoltsAtMv(c.window->high));
        h += H(line);
      }
      h += ": " + std::string(VerdictText(c.verdict)) + ". ";
    }
    const SweepRecord& s = r.sweep;
    std::snprintf(line, sizeof line, "Sweep 0 to %u mA (rated %u mA) in %u mA steps of %u ms: %d of %d steps measured",
                  static_cast<unsigned>(s.endMa), static_cast<unsigned>(s.ratedMa),
                  static_cast<unsigned>(s.currentStepMa), static_cast<unsigned>(s.timeStepMs),
                  static_cast<int>(s.judgement.steps.size()), s.stepCount);
    h += H(line) + ", " + H(EndText(s.end)) + ": " + VerdictText(s.judgement.verdict) + ".";
    if (!r.error.empty()) h += " <strong>Ended early: " + H(r.error) + ".</strong>";
    h += "</p>\n";
    if (!s.svg.empty()) h += s.svg;
    if (!s.csv.empty()) h += "<p>Data: <a href=\"" + H(r.CsvName(number)) + "\">" + H(r.CsvName(number)) + "</a></p>\n";
    h += "</section>\n";
  }
  h += "<p>Made by loadpost-cli " + H(Utf8(kProgramVersion)) + ".</p>\n</body>\n</html>\n";
  return h;
}

bool WriteReportFiles(const Report& report, const std::filesystem::path& dir, std::string* error) {
  for (size_t i = 0; i < report.runs.size(); ++i) {
    const ReportRun& r = report.runs[i];
    if (r.sweep.csv.empty()) continue;
    if (!WriteWholeFile(dir / r.CsvName(static_cast<int>(i) + 1), r.sweep.csv, error)) return false;
  }
  return WriteWholeFile(dir / kReportJsonName, ReportJson(report).dump(2) + "\n", error) &&
         WriteWholeFile(dir / kReportHtmlName, ReportHtml(report), error);
}

bool IsReportFileName(const std::string& name) {
  static const std::regex csv("run-[0-9]{2,}-[a-z0-9-]*-[0-9]+mV\\.csv");
  return name == kReportHtmlName || name == kReportJsonName || std::regex_match(name, csv);
}

std::vector<std::filesystem::path> ReportFilesIn(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::u8string name = it->path().filename().u8string();
    if (it->is_regular_file(ec) && IsReportFileName(std::string(name.begin(), name.end()))) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());  // in name order, not the folder's
  return files;
}
