// The results history on the command line: --db, --label and --against of
// report, sweep, ripple and watch (each run appended to the database), and
// the history command (list past reports, compare two). Every access goes
// through core/report/history_store.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/report/history_compare.h"
#include "core/report/history_store.h"
#include "core/report/report_model.h"

namespace CLI {
class App;
}
struct CliOptions;

struct HistoryOptions {
  std::string dbPath;              // --db FILE
  std::string label;               // --label TEXT: the charger
  std::string against;             // --against latest|ID (report)
  std::vector<std::string> drift;  // --drift 50mV / 10% (ParseDriftThresholds)
};

// --db and --label; `comparing`, also --against and --drift (report).
void AddHistoryOptions(CLI::App* command, HistoryOptions* o, bool comparing);

// The database can be used: opened (made with its schema when missing), of
// this program's schema, writable, and an --against report found. Empty when
// it can (or none is asked for), else the message; checked before any
// tester is touched, leaving a file that is not a results database as it was.
std::string CheckHistory(const HistoryOptions& o);

// The drift section of `report` against the label's previous report (with
// `sameSerial`, made on the same tester) or the --against id; empty with
// `error` when the database cannot be read.
bool DriftAgainst(const HistoryOptions& o, const Report& report, bool sameSerial, ReportDrift* drift,
                  std::string* error);

// Appends the record to the --db (nothing without one); false with `error`.
bool RecordHistory(const HistoryOptions& o, HistoryReport record, std::string* error);

// The history command: lists past reports; history compare A B.
void AddHistoryCommand(CLI::App& app, CliOptions& options, int* exitCode);
