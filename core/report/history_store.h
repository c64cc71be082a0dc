// The results history: every report, sweep, ripple capture and watch appended
// to a database, one row per report, per run and per rule result, with the
// tester, the charger's label, the time, the settings and every figure the
// report shows (the samples stay in the CSV files, named by path).
//
// Every access goes through HistoryStore, so another database (a server's)
// can take the embedded one's place without touching the commands. The
// embedded one is SQLite (history_store_sqlite.cpp); a build without it
// (history_store_none.cpp) refuses to open one, saying so.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The schema's version, kept in the database (SQLite: PRAGMA user_version).
// A database of a newer version is refused, never written.
constexpr int kHistorySchemaVersion = 1;

// One rule of a limits file as judged on a run (or on the source's list).
struct HistoryRule {
  std::string name;
  std::string field;      // "maxRippleMv", ..., "offered"
  std::optional<double> value;
  std::string unit;       // "mV", "V", "%", "C", ""
  std::optional<double> limit;
  std::string valueText;
  std::string limitText;
  std::string verdict;    // "PASS", "FAIL", "n/a"
};

// One run: a profile's ripple capture and sweep (report, sweep, ripple), or a watch.
struct HistoryRun {
  int number = 1;
  std::string profile;    // as the Voltage list shows it
  std::string requested;  // "as supplied", "requested", "refused"
  int requestedMv = 0;
  int profileMv = 0;
  std::string verdict;    // "PASS", "FAIL", "n/a", "INCOMPLETE", "not run"
  bool complete = false;
  std::string error;
  // The sweep.
  std::optional<double> noLoadVolts;
  std::optional<double> highestLoadVolts;
  std::optional<int> highestLoadMa;
  int steps = 0;
  int stepCount = 0;
  std::string firstFailingStep;
  // The ripple capture.
  std::optional<int> rippleMv;
  std::optional<double> rippleMinVolts;
  std::optional<double> rippleMaxVolts;
  int rippleSamples = 0;
  std::string rippleVerdict;
  std::optional<int> maxTemperatureC;
  // A watch.
  std::optional<double> seconds;
  std::optional<int64_t> readings;
  std::optional<double> mah;
  std::optional<double> mwh;
  std::optional<double> minVolts;
  std::optional<double> maxVolts;
  std::string csvPath;    // the samples, as the user finds them; empty when none were written
  std::vector<HistoryRule> rules;

  // What pairs a run with its counterpart in another report: the profile and
  // the voltage asked of it.
  std::string Key() const;
};

struct HistoryReport {
  int64_t id = 0;           // given by the store
  std::string command;      // "report", "sweep", "ripple", "watch"
  std::string label;        // the charger's label (--label), may be empty
  std::string serial;       // the tester
  std::string device;
  std::string model;
  std::string hardware;
  std::string firmware;
  std::string date;         // local time of the start, "2026-05-01 10:20:30 +0200"
  std::string recordedUtc;  // when it was appended, "2026-05-01T08:21:40Z"
  std::string program;      // "loadpost-cli 1.4.0"
  std::string settings;     // the command's settings as a JSON object
  std::string limitsFile;
  std::string folder;       // the report's folder, or empty
  std::string verdict;      // "PASS", "FAIL", "n/a", "INCOMPLETE"
  bool complete = false;
  std::string incompleteReason;
  std::vector<HistoryRule> offered;  // the limits file's profiles the source must offer
  std::vector<HistoryRun> runs;      // empty in a listing
  int runCount = 0;                  // also in a listing
};

// Which reports: every field given must match.
struct HistoryFilter {
  std::string label;
  std::string serial;
  std::string command;
  bool anyLabel = true;  // false: `label` must match even when empty
};

class HistoryStore {
 public:
  virtual ~HistoryStore() = default;
  // Appends the report with its runs and rules as one transaction (waiting
  // for another writer); sets report.id.
  virtual bool Append(HistoryReport& report, std::string* error) = 0;
  // The reports that match, oldest first, without their runs.
  virtual bool List(const HistoryFilter& filter, std::vector<HistoryReport>* reports, std::string* error) = 0;
  // One report with its runs and rules; false with "no report N in FILE" when there is none.
  virtual bool Load(int64_t id, HistoryReport* report, std::string* error) = 0;
};

enum class HistoryOpen : uint8_t {
  Write,  // made (empty, with the schema) when missing; must be writable
  Read,   // must exist
};

// Opens the database at `path` (UTF-8): null with `error` when it cannot be
// used ("is not a results database", "was written by a newer loadpost-cli",
// unwritable, not available in this build). A file that is not a results
// database is never written.
std::unique_ptr<HistoryStore> OpenHistoryStore(const std::string& path, HistoryOpen how, std::string* error);
