// What a report holds: the tester and source it was made with, and per
// planned run what was measured and judged. Filled by the command line's
// report (cli/cli_report.cpp), written as HTML, JSON and CSV by
// report/report_files.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/graphs/graph_run.h"
#include "core/graphs/voltage_window.h"
#include "core/link/measured_values.h"
#include "core/link/reading_feed.h"
#include "core/report/history_compare.h"
#include "core/report/report_plan.h"
#include "core/report/rule_result.h"
#include "core/report/run_verdict.h"

struct RippleCapture {
  bool done = false;
  RunEnd end = RunEnd::Running;  // Complete when it ran its full time
  int samples = 0;
  double seconds = 0.0;
  float minVolts = 0.0f;
  float maxVolts = 0.0f;
  uint16_t setpointMa = 0;
  std::optional<VoltageWindow> window;  // the real-time band's window
  Verdict verdict = Verdict::None;
  int maxTemperatureC = -1;  // the tester's highest temperature reading, -1 when none
  // Maximum less minimum in whole millivolts, as the tester reads them.
  int64_t RippleMv() const { return samples > 0 ? MvOf(maxVolts) - MvOf(minVolts) : 0; }
};

struct SweepRecord {
  bool done = false;
  RunEnd end = RunEnd::Running;
  uint16_t currentStepMa = 0;
  uint16_t timeStepMs = 0;
  uint16_t endMa = 0;     // the ceiling swept to
  uint16_t ratedMa = 0;
  int stepCount = 0;      // planned steps
  SweepJudgement judgement;
  std::string csv;        // the window's CSV text of the run
  std::string svg;        // the chart, an <svg> element
  int maxTemperatureC = -1;  // the tester's highest temperature reading, -1 when none
};

struct ReportRun {
  PlannedRun plan;
  bool started = false;
  std::string error;        // why it did not start or ended early; empty otherwise
  uint16_t profileMv = 0;   // the voltage the source reported supplying
  uint32_t profileKind = 0;
  uint8_t profileSubKind = 0;
  RippleCapture ripple;
  SweepRecord sweep;
  std::vector<RuleResult> rules;  // the limits file's rules that select this run

  bool Complete() const { return ripple.done && ripple.end == RunEnd::Complete && sweep.done && sweep.end == RunEnd::Complete; }
  // FAIL when the ripple, any step or any rule failed; PASS when something
  // passed and the run is complete; no verdict otherwise.
  Verdict Overall() const;
  // The measured step at no load and at the highest load, if any.
  const JudgedStep* NoLoadStep() const;
  const JudgedStep* HighestStep() const;
  const JudgedStep* FirstFailingStep() const;
  // "run-03-pd-apdo-12100mV.csv"
  std::string CsvName(int number) const;
};

// A report compared with the same charger's previous one in the results
// history (report --against): the changes of its figures, or why there is
// nothing to compare with.
struct ReportDrift {
  std::string label;
  std::string note;                             // "no earlier report of ...", when there is none
  std::optional<HistoryComparison> comparison;  // its `after` is 0 until the report is recorded
};

struct Report {
  std::string serial;     // the tester's USB serial number; empty when not known
  std::string device;     // the device it was reached through (POSIX), or empty
  std::string model;      // "KT-60"
  std::string hardware;   // "2.0"
  std::string firmware;   // "3.0"
  std::vector<std::string> capabilities;  // the source's rows as the Voltage list shows them
  std::string date;       // local time of the start, "2026-05-01 10:20:30 +0200"
  std::string limitMode;  // "enforce", "allow", "force"
  uint16_t currentStepMa = 0;
  uint16_t timeStepMs = 0;
  double rippleSeconds = 0.0;
  std::string limitsFile;            // the limits file judged against, or empty
  std::vector<RuleResult> offered;   // its profiles the source must offer
  std::vector<ReportRun> runs;
  std::optional<ReportDrift> drift;  // --against: the drift section
  bool finished = false;        // every planned run was attempted and the source put back
  std::string incompleteReason; // set when not finished (or a run ended early)

  bool Incomplete() const { return !finished || !incompleteReason.empty(); }
  // For people: the serial number, or the device when it is not known.
  std::string TesterName() const { return serial.empty() ? device : serial; }
  // FAIL when any run or offered profile failed, else PASS when any passed,
  // else no verdict.
  Verdict Overall() const;
};

// A ripple capture's samples as comma-separated text, one byte per character,
// CR LF line ends: "Time (ms), VBUS (V)", then "%.3f,%.3f" per sample, the
// time counted from startUs.
std::string BuildRippleCsv(const std::vector<Reading>& samples, int64_t startUs);

// Requested dwell of a run: the ripple capture and every step's hold time.
double PlannedDwellSeconds(const Report& report);
