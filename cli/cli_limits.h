// --limits and --junit of report, sweep and ripple: the lab's limits file,
// read and checked whole before any tester is touched, judged on every run;
// and the results as JUnit XML for CI.
#pragma once

#include <nlohmann/json.hpp>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli_core_session.h"
#include "core/link/pdo.h"
#include "core/report/junit.h"
#include "core/report/limits.h"
#include "core/report/report_model.h"

namespace CLI {
class App;
}

struct VerdictFileOptions {
  std::string limitsPath;  // --limits FILE
  std::string junitPath;   // --junit FILE
  LimitsFile limits;       // the file, read and checked as the options are read
};

// The options; a limits file that cannot be used is refused as the options
// are read (exit code 2), before any tester is looked for.
void AddVerdictFileOptions(CLI::App* command, VerdictFileOptions* o);

// Checks that the JUnit file can be written: empty when it can (or none is
// asked for), else the message.
std::string CheckJunitFile(const VerdictFileOptions& o);

// Judges the file's rules on every run of the report and its offered
// profiles on the source's list; nothing without a file.
void ApplyLimits(const LimitsFile& limits, const PdoList& list, Report& report);

// The paths of a report's run CSVs in `dir` (empty for a run without one).
std::vector<std::string> ReportCsvPaths(const Report& report, const std::filesystem::path& dir);

// Writes the JUnit file, when asked for; false with `error` when it cannot.
bool WriteJunit(const VerdictFileOptions& o, const std::vector<JunitSuite>& suites, std::string* error);

// A sweep's or a ripple capture's run as a report of one run on the
// session's tester (for its limits and its JUnit suite).
Report OneRunReport(CoreSession& session, const ReportRun& run);

// The rules' table and a verdict line on standard output (nothing without
// a limits file).
void PrintRules(const Report& report);
// The rules in a command's JSON: "rules" (the run's) and "offered".
void AddRulesJson(const Report& report, nlohmann::json& j);
