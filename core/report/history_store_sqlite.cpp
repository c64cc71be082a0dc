// The results history in an embedded SQLite database (one file). Each
// HistoryStore is one connection, used by one thread at a time: several
// testers' threads each open their own. Writers take the database with
// BEGIN IMMEDIATE and wait for one another (the busy timeout), so a second
// process writing at the same time waits rather than failing or corrupting.
#include <sqlite3.h>

#include <map>
#include <variant>

#include "core/report/history_store.h"

namespace {

// How long a writer waits for another (process or thread) to finish.
constexpr int kBusyTimeoutMs = 60000;

// The schema of version 1 (kHistorySchemaVersion): see the user guide.
constexpr const char* kSchema = R"(
CREATE TABLE reports(
  id INTEGER PRIMARY KEY,
  command TEXT NOT NULL,
  label TEXT NOT NULL,
  serial TEXT NOT NULL,
  device TEXT NOT NULL,
  model TEXT NOT NULL,
  hardware TEXT NOT NULL,
  firmware TEXT NOT NULL,
  date TEXT NOT NULL,
  recorded_utc TEXT NOT NULL,
  program TEXT NOT NULL,
  settings TEXT NOT NULL,
  limits_file TEXT NOT NULL,
  folder TEXT NOT NULL,
  verdict TEXT NOT NULL,
  complete INTEGER NOT NULL,
  incomplete_reason TEXT NOT NULL);
CREATE INDEX reports_by_label ON reports(label, serial, id);
CREATE TABLE runs(
  id INTEGER PRIMARY KEY,
  report_id INTEGER NOT NULL REFERENCES reports(id),
  number INTEGER NOT NULL,
  profile TEXT NOT NULL,
  request TEXT NOT NULL,
  requested_mv INTEGER NOT NULL,
  profile_mv INTEGER NOT NULL,
  verdict TEXT NOT NULL,
  complete INTEGER NOT NULL,
  error TEXT NOT NULL,
  no_load_v REAL,
  highest_load_v REAL,
  highest_load_ma INTEGER,
  steps INTEGER NOT NULL,
  step_count INTEGER NOT NULL,
  first_failing_step TEXT NOT NULL,
  ripple_mv INTEGER,
  ripple_min_v REAL,
  ripple_max_v REAL,
  ripple_samples INTEGER NOT NULL,
  ripple_verdict TEXT NOT NULL,
  max_temperature_c INTEGER,
  seconds REAL,
  readings INTEGER,
  mah REAL,
  mwh REAL,
  min_v REAL,
  max_v REAL,
  csv_path TEXT NOT NULL);
CREATE INDEX runs_by_report ON runs(report_id, number);
CREATE TABLE rules(
  id INTEGER PRIMARY KEY,
  report_id INTEGER NOT NULL REFERENCES reports(id),
  run_id INTEGER REFERENCES runs(id),
  name TEXT NOT NULL,
  field TEXT NOT NULL,
  value REAL,
  unit TEXT NOT NULL,
  limit_value REAL,
  value_text TEXT NOT NULL,
  limit_text TEXT NOT NULL,
  verdict TEXT NOT NULL);
CREATE INDEX rules_by_report ON rules(report_id, run_id);
)";

using Value = std::variant<std::nullptr_t, int64_t, double, std::string>;
using Columns = std::vector<std::pair<const char*, Value>>;

Value V(const std::optional<double>& v) { return v ? Value(*v) : Value(nullptr); }
Value V(const std::optional<int>& v) { return v ? Value(static_cast<int64_t>(*v)) : Value(nullptr); }
Value V(const std::optional<int64_t>& v) { return v ? Value(*v) : Value(nullptr); }
Value V(int64_t v) { return Value(v); }
Value V(const std::string& v) { return Value(v); }

// A prepared statement, finalized when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &s_, nullptr); }
  ~Statement() { sqlite3_finalize(s_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool Ok() const { return s_ != nullptr; }
  void Bind(int i, const Value& v) {
    if (const auto* n = std::get_if<int64_t>(&v)) sqlite3_bind_int64(s_, i, *n);
    else if (const auto* d = std::get_if<double>(&v)) sqlite3_bind_double(s_, i, *d);
    else if (const auto* t = std::get_if<std::string>(&v)) sqlite3_bind_text(s_, i, t->c_str(), -1, SQLITE_TRANSIENT);
    else sqlite3_bind_null(s_, i);
  }
  int Step() { return s_ ? sqlite3_step(s_) : SQLITE_ERROR; }
  // The current row's columns by name.
  std::string Text(const char* name) {
    const unsigned char* t = sqlite3_column_text(s_, Index(name));
    return t ? reinterpret_cast<const char*>(t) : "";
  }
  int64_t Int(const char* name) { return sqlite3_column_int64(s_, Index(name)); }
  bool Null(const char* name) { return sqlite3_column_type(s_, Index(name)) == SQLITE_NULL; }
  std::optional<double> OptDouble(const char* name) {
    if (Null(name)) return std::nullopt;
    return sqlite3_column_double(s_, Index(name));
  }
  std::optional<int> OptInt(const char* name) {
    if (Null(name)) return std::nullopt;
    return static_cast<int>(Int(name));
  }

 private:
  int Index(const char* name) {
    if (names_.empty()) {
      for (int i = 0; i < sqlite3_column_count(s_); ++i) names_[sqlite3_column_name(s_, i)] = i;
    }
    const auto it = names_.find(name);
    return it == names_.end() ? -1 : it->second;
  }
  sqlite3_stmt* s_ = nullptr;
  std::map<std::string, int> names_;
};

Columns RuleColumns(const HistoryRule& r, int64_t reportId, std::optional<int64_t> runId) {
  return {{"report_id", V(reportId)}, {"run_id", V(runId)},         {"name", V(r.name)},
          {"field", V(r.field)},      {"value", V(r.value)},        {"unit", V(r.unit)},
          {"limit_value", V(r.limit)}, {"value_text", V(r.valueText)}, {"limit_text", V(r.limitText)},
          {"verdict", V(r.verdict)}};
}

HistoryRule RuleFrom(Statement& s) {
  HistoryRule r;
  r.name = s.Text("name");
  r.field = s.Text("field");
  r.value = s.OptDouble("value");
  r.unit = s.Text("unit");
  r.limit = s.OptDouble("limit_value");
  r.valueText = s.Text("value_text");
  r.limitText = s.Text("limit_text");
  r.verdict = s.Text("verdict");
  return r;
}

class SqliteStore : public HistoryStore {
 public:
  SqliteStore(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  ~SqliteStore() override { sqlite3_close(db_); }

  // The schema's version and whether the file is this program's (or empty).
  bool Check(HistoryOpen how, std::string* error) {
    int version = 0;
    int tables = 0;
    int ours = 0;
    {
      Statement s(db_, "PRAGMA user_version");
      const int rc = s.Step();
      if (rc != SQLITE_ROW) return Fault(rc, error);
      version = static_cast<int>(s.Int("user_version"));
    }
    if (!Count("SELECT count(*) FROM sqlite_master", &tables, error) ||
        !Count("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ('reports', 'runs', 'rules')",
               &ours, error)) {
      return false;
    }
    if (version > kHistorySchemaVersion) {
      *error = path_ + " was written by a newer loadpost-cli (schema version " + std::to_string(version) +
               "; this one knows version " + std::to_string(kHistorySchemaVersion) + "): not opened";
      return false;
    }
    if ((version == kHistorySchemaVersion && ours != 3) || (version < kHistorySchemaVersion && tables > 0)) {
      *error = path_ + " is not a results database of loadpost-cli (it holds other tables)";
      return false;
    }
    if (how == HistoryOpen::Write && sqlite3_db_readonly(db_, "main") == 1) {
      *error = "cannot write " + path_ + ": the file is read-only";
      return false;
    }
    if (version == kHistorySchemaVersion) return true;
    if (how == HistoryOpen::Read) {
      *error = path_ + " holds no results yet";
      return false;
    }
    return Create(error);
  }

  bool Append(HistoryReport& report, std::string* error) override {
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    const bool ok = Insert(report, error);
    if (ok && Exec("COMMIT", error)) return true;
    std::string ignored;
    Exec("ROLLBACK", &ignored);
    report.id = 0;
    return false;
  }

  bool List(const HistoryFilter& f, std::vector<HistoryReport>* reports, std::string* error) override {
    std::string sql = "SELECT *, (SELECT count(*) FROM runs WHERE runs.report_id = reports.id) AS run_count "
                      "FROM reports WHERE 1";
    std::vector<Value> binds;
    if (!f.anyLabel || !f.label.empty()) {
      sql += " AND label = ?";
      binds.push_back(f.label);
    }
    if (!f.serial.empty()) {
      sql += " AND serial = ?";
      binds.push_back(f.serial);
    }
    if (!f.command.empty()) {
      sql += " AND command = ?";
      binds.push_back(f.command);
    }
    sql += " ORDER BY id";
    Statement s(db_, sql);
    if (!s.Ok()) return Fault(sqlite3_errcode(db_), error);
    for (size_t i = 0; i < binds.size(); ++i) s.Bind(static_cast<int>(i) + 1, binds[i]);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) reports->push_back(ReportFrom(s));
    return rc == SQLITE_DONE || Fault(rc, error);
  }

  bool Load(int64_t id, HistoryReport* report, std::string* error) override {
    {
      Statement s(db_, "SELECT *, (SELECT count(*) FROM runs WHERE report_id = ?1) AS run_count "
                       "FROM reports WHERE id = ?1");
      s.Bind(1, id);
      const int rc = s.Step();
      if (rc == SQLITE_DONE) {
        *error = "no report " + std::to_string(id) + " in " + path_;
        return false;
      }
      if (rc != SQLITE_ROW) return Fault(rc, error);
      *report = ReportFrom(s);
    }
    std::map<int64_t, size_t> runOf;
    {
      Statement s(db_, "SELECT * FROM runs WHERE report_id = ? ORDER BY number, id");
      s.Bind(1, id);
      int rc;
      while ((rc = s.Step()) == SQLITE_ROW) {
        runOf[s.Int("id")] = report->runs.size();
        report->runs.push_back(RunFrom(s));
      }
      if (rc != SQLITE_DONE) return Fault(rc, error);
    }
    Statement s(db_, "SELECT * FROM rules WHERE report_id = ? ORDER BY id");
    s.Bind(1, id);
    int rc;
    while ((rc = s.Step()) == SQLITE_ROW) {
      const auto it = s.Null("run_id") ? runOf.end() : runOf.find(s.Int("run_id"));
      (it == runOf.end() ? report->offered : report->runs[it->second].rules).push_back(RuleFrom(s));
    }
    return rc == SQLITE_DONE || Fault(rc, error);
  }

 private:
  bool Fault(int rc, std::string* error) {
    if (rc == SQLITE_NOTADB) {
      *error = path_ + " is not a results database of loadpost-cli (" + sqlite3_errstr(rc) + ")";
    } else {
      *error = "results database " + path_ + ": " + sqlite3_errmsg(db_);
    }
    return false;
  }

  bool Exec(const char* sql, std::string* error) {
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK || Fault(rc, error);
  }

  bool Count(const char* sql, int* n, std::string* error) {
    Statement s(db_, sql);
    const int rc = s.Step();
    if (rc != SQLITE_ROW) return Fault(rc == SQLITE_MISUSE ? sqlite3_errcode(db_) : rc, error);
    *n = static_cast<int>(s.Int("count(*)"));
    return true;
  }

  // The schema, in one transaction: another process making it at the same time waits, then finds it made.
  bool Create(std::string* error) {
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    int ours = 0;
    bool ok = Count("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'reports'", &ours, error);
    ok = ok && (ours > 0 || (Exec(kSchema, error) &&
                             Exec(("PRAGMA user_version = " + std::to_string(kHistorySchemaVersion)).c_str(), error)));
    if (ok && Exec("COMMIT", error)) return true;
    std::string ignored;
    Exec("ROLLBACK", &ignored);
    return false;
  }

  bool InsertRow(const char* table, const Columns& columns, int64_t* id, std::string* error) {
    std::string names, marks;
    for (const auto& c : columns) {
      names += (names.empty() ? "" : ", ") + std::string(c.first);
      marks += marks.empty() ? "?" : ", ?";
    }
    Statement s(db_, std::string("INSERT INTO ") + table + "(" + names + ") VALUES(" + marks + ")");
    if (!s.Ok()) return Fault(sqlite3_errcode(db_), error);
    for (size_t i = 0; i < columns.size(); ++i) s.Bind(static_cast<int>(i) + 1, columns[i].second);
    const int rc = s.Step();
    if (rc != SQLITE_DONE) return Fault(rc, error);
    if (id) *id = sqlite3_last_insert_rowid(db_);
    return true;
  }

  bool Insert(HistoryReport& r, std::string* error) {
    {
      Statement now(db_, "SELECT strftime('%Y-%m-%dT%H:%M:%SZ', 'now') AS now");
      if (now.Step() != SQLITE_ROW) return Fault(sqlite3_errcode(db_), error);
      r.recordedUtc = now.Text("now");
    }
    const Columns report = {
        {"command", V(r.command)},   {"label", V(r.label)},         {"serial", V(r.serial)},
        {"device", V(r.device)},     {"model", V(r.model)},         {"hardware", V(r.hardware)},
        {"firmware", V(r.firmware)}, {"date", V(r.date)},           {"recorded_utc", V(r.recordedUtc)},
        {"program", V(r.program)},   {"settings", V(r.settings)},   {"limits_file", V(r.limitsFile)},
        {"folder", V(r.folder)},     {"verdict", V(r.verdict)},     {"complete", V(int64_t{r.complete})},
        {"incomplete_reason", V(r.incompleteReason)}};
    if (!InsertRow("reports", report, &r.id, error)) return false;
    for (const HistoryRun& run : r.runs) {
      const Columns columns = {
          {"report_id", V(r.id)},
          {"number", V(int64_t{run.number})},
          {"profile", V(run.profile)},
          {"request", V(run.requested)},
          {"requested_mv", V(int64_t{run.requestedMv})},
          {"profile_mv", V(int64_t{run.profileMv})},
          {"verdict", V(run.verdict)},
          {"complete", V(int64_t{run.complete})},
          {"error", V(run.error)},
          {"no_load_v", V(run.noLoadVolts)},
          {"highest_load_v", V(run.highestLoadVolts)},
          {"highest_load_ma", V(run.highestLoadMa)},
          {"steps", V(int64_t{run.steps})},
          {"step_count", V(int64_t{run.stepCount})},
          {"first_failing_step", V(run.firstFailingStep)},
          {"ripple_mv", V(run.rippleMv)},
          {"ripple_min_v", V(run.rippleMinVolts)},
          {"ripple_max_v", V(run.rippleMaxVolts)},
          {"ripple_samples", V(int64_t{run.rippleSamples})},
          {"ripple_verdict", V(run.rippleVerdict)},
          {"max_temperature_c", V(run.maxTemperatureC)},
          {"seconds", V(run.seconds)},
          {"readings", V(run.readings)},
          {"mah", V(run.mah)},
          {"mwh", V(run.mwh)},
          {"min_v", V(run.minVolts)},
          {"max_v", V(run.maxVolts)},
          {"csv_path", V(run.csvPath)}};
      int64_t runId = 0;
      if (!InsertRow("runs", columns, &runId, error)) return false;
      for (const HistoryRule& rule : run.rules) {
        if (!InsertRow("rules", RuleColumns(rule, r.id, runId), nullptr, error)) return false;
      }
    }
    for (const HistoryRule& rule : r.offered) {
      if (!InsertRow("rules", RuleColumns(rule, r.id, std::nullopt), nullptr, error)) return false;
    }
    return true;
  }

  static HistoryReport ReportFrom(Statement& s) {
    HistoryReport r;
    r.id = s.Int("id");
    r.command = s.Text("command");
    r.label = s.Text("label");
    r.serial = s.Text("serial");
    r.device = s.Text("device");
    r.model = s.Text("model");
    r.hardware = s.Text("hardware");
    r.firmware = s.Text("firmware");
    r.date = s.Text("date");
    r.recordedUtc = s.Text("recorded_utc");
    r.program = s.Text("program");
    r.settings = s.Text("settings");
    r.limitsFile = s.Text("limits_file");
    r.folder = s.Text("folder");
    r.verdict = s.Text("verdict");
    r.complete = s.Int("complete") != 0;
    r.incompleteReason = s.Text("incomplete_reason");
    r.runCount = static_cast<int>(s.Int("run_count"));
    return r;
  }

  static HistoryRun RunFrom(Statement& s) {
    HistoryRun r;
    r.number = static_cast<int>(s.Int("number"));
    r.profile = s.Text("profile");
    r.requested = s.Text("request");
    r.requestedMv = static_cast<int>(s.Int("requested_mv"));
    r.profileMv = static_cast<int>(s.Int("profile_mv"));
    r.verdict = s.Text("verdict");
    r.complete = s.Int("complete") != 0;
    r.error = s.Text("error");
    r.noLoadVolts = s.OptDouble("no_load_v");
    r.highestLoadVolts = s.OptDouble("highest_load_v");
    r.highestLoadMa = s.OptInt("highest_load_ma");
    r.steps = static_cast<int>(s.Int("steps"));
    r.stepCount = static_cast<int>(s.Int("step_count"));
    r.firstFailingStep = s.Text("first_failing_step");
    r.rippleMv = s.OptInt("ripple_mv");
    r.rippleMinVolts = s.OptDouble("ripple_min_v");
    r.rippleMaxVolts = s.OptDouble("ripple_max_v");
    r.rippleSamples = static_cast<int>(s.Int("ripple_samples"));
    r.rippleVerdict = s.Text("ripple_verdict");
    r.maxTemperatureC = s.OptInt("max_temperature_c");
    r.seconds = s.OptDouble("seconds");
    if (!s.Null("readings")) r.readings = s.Int("readings");
    r.mah = s.OptDouble("mah");
    r.mwh = s.OptDouble("mwh");
    r.minVolts = s.OptDouble("min_v");
    r.maxVolts = s.OptDouble("max_v");
    r.csvPath = s.Text("csv_path");
    return r;
  }

  sqlite3* db_;
  std::string path_;
};

}  // namespace

std::unique_ptr<HistoryStore> OpenHistoryStore(const std::string& path, HistoryOpen how, std::string* error) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (how == HistoryOpen::Write ? SQLITE_OPEN_CREATE : 0);
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    *error = how == HistoryOpen::Read && rc == SQLITE_CANTOPEN ? "no results database " + path
                                                               : "cannot open " + path + ": " + sqlite3_errstr(rc);
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_exec(db, "PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr);
  auto store = std::make_unique<SqliteStore>(db, path);
  if (!store->Check(how, error)) return nullptr;
  return store;
}
