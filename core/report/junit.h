// Results as JUnit XML for CI systems: one <testsuite> per tester, one
// <testcase> per run (its voltage window verdict) and per rule of a limits
// file (classname the profile, name the rule), failures with the first
// failing step or the measured value against its limit, the run's CSV in
// <system-out>, times in seconds.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/report/report_model.h"

enum class JunitOutcome : uint8_t { Passed, Failed, Error, Skipped };

struct JunitCase {
  std::string classname;
  std::string name;
  double seconds = 0.0;
  JunitOutcome outcome = JunitOutcome::Passed;
  std::string type;     // failure/error type
  std::string message;  // failure, error or skip message
  std::string systemOut;
};

struct JunitSuite {
  std::string name;
  std::string timestamp;  // ISO 8601 local time, "2026-05-01T10:20:30"
  std::vector<std::pair<std::string, std::string>> properties;
  std::vector<JunitCase> cases;

  double Seconds() const;
  int Count(JunitOutcome outcome) const;
};

// The suite of one tester's report (also of one sweep or ripple, made into
// a report of one run). `csvPaths[i]` is run i's CSV as the user finds it,
// or empty. `command` names the suite: "report", "sweep", "ripple".
JunitSuite ReportSuite(const Report& report, const std::string& command, const std::vector<std::string>& csvPaths);

// The document: <testsuites> with every suite.
std::string JunitXml(const std::vector<JunitSuite>& suites);

// "2026-05-01 10:20:30 +0200" -> "2026-05-01T10:20:30".
std::string JunitTimestamp(const std::string& date);
