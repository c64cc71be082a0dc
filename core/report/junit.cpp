#include "core/report/junit.h"

#include <cstdio>

#include "core/base/utf8.h"
#include "core/link/measured_values.h"
#include "core/report/chart_svg.h"
#include "core/report/drift_output.h"

namespace {

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", s);
  return text;
}

std::string Attr(const std::string& text) { return "\"" + XmlEscape(text) + "\""; }

std::string RunClass(const ReportRun& r) {
  std::string label = Utf8(r.plan.profileText.c_str());
  if (r.plan.request == PlanRequest::RowAndVoltage || r.plan.request == PlanRequest::Row) {
    char text[32];
    std::snprintf(text, sizeof text, " at %.2f V", r.plan.requestedMv / 1000.0);
    label += text;
  }
  return label;
}

double RunSeconds(const ReportRun& r) {
  double s = r.ripple.done ? r.ripple.seconds : 0.0;
  if (r.sweep.done) s += static_cast<double>(r.sweep.judgement.steps.size()) * r.sweep.timeStepMs / 1000.0;
  return s;
}

// The run's own case: the voltage window over its ripple capture and sweep.
JunitCase WindowCase(const ReportRun& r, const std::string& csv) {
  JunitCase c;
  c.classname = RunClass(r);
  c.name = "voltage window";
  c.seconds = RunSeconds(r);
  c.systemOut = csv;
  char text[200];
  if (r.plan.request == PlanRequest::Refused) {
    c.outcome = JunitOutcome::Skipped;
    c.message = "not run: " + Utf8(r.plan.refusal.c_str());
  } else if (const JudgedStep* f = r.FirstFailingStep()) {
    c.outcome = JunitOutcome::Failed;
    c.type = "sweep";
    c.message = "first failing step: " + Utf8(f->line.text);
  } else if (r.ripple.verdict == Verdict::Fail && r.ripple.window) {
    c.outcome = JunitOutcome::Failed;
    c.type = "ripple";
    std::snprintf(text, sizeof text,
                  "ripple capture from %.3f V to %.3f V, outside the window %.3f V to %.3f V at %u mA",
                  VoltsAtMv(r.ripple.minVolts), VoltsAtMv(r.ripple.maxVolts), VoltsAtMv(r.ripple.window->low),
                  VoltsAtMv(r.ripple.window->high), static_cast<unsigned>(r.ripple.setpointMa));
    c.message = text;
  } else if (!r.error.empty()) {
    c.outcome = JunitOutcome::Error;
    c.type = "ended early";
    c.message = r.error;
  } else if (!r.started || (r.ripple.done && r.ripple.end != RunEnd::Complete) ||
             (r.sweep.done && r.sweep.end != RunEnd::Complete)) {
    c.outcome = JunitOutcome::Skipped;
    c.message = "not run: the report ended before it";
  } else if (r.ripple.verdict != Verdict::Pass && r.sweep.judgement.verdict != Verdict::Pass) {
    c.outcome = JunitOutcome::Skipped;
    c.message = "measured, not judged: the profile has no voltage window";
  }
  return c;
}

JunitCase RuleCase(const std::string& classname, const RuleResult& rule, const std::string& csv) {
  JunitCase c;
  c.classname = classname;
  c.name = rule.name;
  c.systemOut = csv;
  if (rule.verdict == Verdict::Fail) {
    c.outcome = JunitOutcome::Failed;
    c.type = rule.field;
    c.message = rule.Summary();
  } else if (rule.verdict == Verdict::None) {
    c.outcome = JunitOutcome::Skipped;
    c.message = rule.valueText;
  }
  return c;
}

}  // namespace

double JunitSuite::Seconds() const {
  double s = 0.0;
  for (const JunitCase& c : cases) s += c.seconds;
  return s;
}

int JunitSuite::Count(JunitOutcome outcome) const {
  int n = 0;
  for (const JunitCase& c : cases) n += c.outcome == outcome;
  return n;
}

std::string JunitTimestamp(const std::string& date) {
  std::string t = date.substr(0, 19);
  if (t.size() > 10 && t[10] == ' ') t[10] = 'T';
  return t;
}

JunitSuite ReportSuite(const Report& report, const std::string& command, const std::vector<std::string>& csvPaths) {
  JunitSuite suite;
  suite.name = "loadpost " + command + " " + report.TesterName();
  suite.timestamp = JunitTimestamp(report.date);
  suite.properties = {{"serial", report.serial},
                      {"device", report.device},
                      {"model", report.model},
                      {"hardware", report.hardware},
                      {"firmware", report.firmware}};
  if (!report.limitsFile.empty()) suite.properties.push_back({"limits", report.limitsFile});
  if (report.Incomplete()) {
    suite.properties.push_back(
        {"incomplete", report.incompleteReason.empty() ? "unfinished" : report.incompleteReason});
  }
  for (size_t i = 0; i < report.runs.size(); ++i) {
    const ReportRun& r = report.runs[i];
    const std::string csv = i < csvPaths.size() ? csvPaths[i] : "";
    suite.cases.push_back(WindowCase(r, csv));
    for (const RuleResult& rule : r.rules) suite.cases.push_back(RuleCase(RunClass(r), rule, csv));
  }
  for (const RuleResult& rule : report.offered) suite.cases.push_back(RuleCase("source", rule, ""));
  // A figure drifted since the charger's previous report (--against): a failed case each.
  if (report.drift && report.drift->comparison) {
    const HistoryComparison& c = *report.drift->comparison;
    for (const FigureChange& f : c.changes) {
      if (!f.flagged) continue;
      JunitCase d;
      const size_t i = static_cast<size_t>(f.run - 1);
      d.classname = i < report.runs.size() ? RunClass(report.runs[i]) : f.profile;
      d.name = "drift: " + f.figure;
      d.outcome = JunitOutcome::Failed;
      d.type = "drift";
      d.message = DriftMessage(f, c);
      d.systemOut = i < csvPaths.size() ? csvPaths[i] : "";
      suite.cases.push_back(d);
    }
  }
  return suite;
}

std::string JunitXml(const std::vector<JunitSuite>& suites) {
  int tests = 0, failures = 0, errors = 0, skipped = 0;
  double seconds = 0.0;
  for (const JunitSuite& s : suites) {
    tests += static_cast<int>(s.cases.size());
    failures += s.Count(JunitOutcome::Failed);
    errors += s.Count(JunitOutcome::Error);
    skipped += s.Count(JunitOutcome::Skipped);
    seconds += s.Seconds();
  }
  std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  x += "<testsuites name=\"loadpost\" tests=\"" + std::to_string(tests) + "\" failures=\"" + std::to_string(failures) +
       "\" errors=\"" + std::to_string(errors) + "\" skipped=\"" + std::to_string(skipped) + "\" time=\"" +
       Seconds(seconds) + "\">\n";
  for (const JunitSuite& s : suites) {
    x += "  <testsuite name=" + Attr(s.name) + " tests=\"" + std::to_string(s.cases.size()) + "\" failures=\"" +
         std::to_string(s.Count(JunitOutcome::Failed)) + "\" errors=\"" + std::to_string(s.Count(JunitOutcome::Error)) +
         "\" skipped=\"" + std::to_string(s.Count(JunitOutcome::Skipped)) + "\" time=\"" + Seconds(s.Seconds()) +
         "\" timestamp=" + Attr(s.timestamp) + ">\n    <properties>\n";
    for (const auto& [name, value] : s.properties) {
      x += "      <property name=" + Attr(name) + " value=" + Attr(value) + "/>\n";
    }
    x += "    </properties>\n";
    for (const JunitCase& c : s.cases) {
      x += "    <testcase classname=" + Attr(c.classname) + " name=" + Attr(c.name) + " time=\"" + Seconds(c.seconds) +
           "\"";
      if (c.outcome == JunitOutcome::Passed && c.systemOut.empty()) {
        x += "/>\n";
        continue;
      }
      x += ">\n";
      switch (c.outcome) {
        case JunitOutcome::Failed:
          x += "      <failure type=" + Attr(c.type) + " message=" + Attr(c.message) + ">" + XmlEscape(c.message) +
               "</failure>\n";
          break;
        case JunitOutcome::Error:
          x += "      <error type=" + Attr(c.type) + " message=" + Attr(c.message) + ">" + XmlEscape(c.message) +
               "</error>\n";
          break;
        case JunitOutcome::Skipped:
          x += "      <skipped message=" + Attr(c.message) + "/>\n";
          break;
        default:
          break;
      }
      if (!c.systemOut.empty()) x += "      <system-out>" + XmlEscape(c.systemOut) + "</system-out>\n";
      x += "    </testcase>\n";
    }
    x += "  </testsuite>\n";
  }
  return x + "</testsuites>\n";
}
