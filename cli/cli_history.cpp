#include "cli/cli_history.h"

#include <CLI/CLI.hpp>

#include <filesystem>

#include "cli/cli_files.h"
#include "cli/cli_output.h"
#include "cli/cli_session.h"
#include "cli/cli_values.h"
#include "core/report/history_record.h"

namespace {

using nlohmann::json;

// --against and the ids of history compare: a report's id (a whole number from 1).
constexpr NumberRule kReportId{"", 1, 9e15, true};

std::unique_ptr<HistoryStore> Open(const std::string& path, HistoryOpen how, std::string* error) {
  std::unique_ptr<HistoryStore> store = OpenHistoryStore(path, how, error);
  if (!store) *error = "--db: " + *error;
  return store;
}

// The latest report that matches, or 0 (`before`: only those older than it).
bool Latest(HistoryStore& store, const HistoryFilter& filter, int64_t before, int64_t* id, std::string* error) {
  std::vector<HistoryReport> reports;
  if (!store.List(filter, &reports, error)) return false;
  *id = 0;
  for (const HistoryReport& r : reports) {
    if (before == 0 || r.id < before) *id = r.id;
  }
  return true;
}

std::string Described(const HistoryReport& r) {
  return "report " + std::to_string(r.id) + " (" + r.command + ", " + r.date + ", " +
         (r.serial.empty() ? r.device : r.serial) + (r.label.empty() ? "" : ", " + r.label) + ")";
}

json ListedJson(const HistoryReport& r) {
  return {{"id", r.id},
          {"command", r.command},
          {"label", r.label},
          {"tester", {{"serial", r.serial}, {"device", r.device}, {"model", r.model}, {"hardware", r.hardware},
                      {"firmware", r.firmware}}},
          {"date", r.date},
          {"recorded", r.recordedUtc},
          {"settings", json::parse(r.settings, nullptr, false)},
          {"limits", r.limitsFile},
          {"folder", r.folder},
          {"runs", r.runCount},
          {"verdict", r.verdict},
          {"complete", r.complete}};
}

struct ListOptions {
  HistoryOptions history;
  std::vector<std::string> ids;  // compare A B
};

int RunHistoryList(const CliOptions& options, const ListOptions& o) {
  if (options.serials.size() > 1) return Fail("history takes at most one --serial");
  std::string error;
  const std::unique_ptr<HistoryStore> store = Open(o.history.dbPath, HistoryOpen::Read, &error);
  if (!store) return Fail(error);
  HistoryFilter filter;
  filter.label = o.history.label;
  if (!options.serials.empty()) filter.serial = options.serials.front();
  std::vector<HistoryReport> reports;
  if (!store->List(filter, &reports, &error)) return Fail(error);
  if (options.json) {
    json list = json::array();
    for (const HistoryReport& r : reports) list.push_back(ListedJson(r));
    PrintJson(stdout, list);
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows = {
      {"ID", "DATE", "COMMAND", "LABEL", "SERIAL", "MODEL", "FIRMWARE", "RUNS", "VERDICT"}};
  for (const HistoryReport& r : reports) {
    rows.push_back({std::to_string(r.id), r.date, r.command, r.label.empty() ? "-" : r.label,
                    r.serial.empty() ? "-" : r.serial, r.model, r.firmware, std::to_string(r.runCount), r.verdict});
  }
  PrintTable(stdout, rows, true);
  return kExitOk;
}

// A report named on the command line: an id, or latest / previous of --label.
bool Resolve(HistoryStore& store, const ListOptions& o, const std::string& serial, const std::string& name,
             int64_t* id, std::string* error) {
  if (name != "latest" && name != "previous") {
    if (!CheckNumberText(name, kReportId).empty()) {
      *error = "history compare: " + name + " is not a report's id (a whole number from 1), latest or previous";
      return false;
    }
    *id = std::stoll(name);
    return true;
  }
  if (o.history.label.empty()) {
    *error = "history compare: " + name + " needs --label (the charger whose reports to compare)";
    return false;
  }
  HistoryFilter filter;
  filter.label = o.history.label;
  filter.anyLabel = false;
  filter.serial = serial;
  int64_t latest = 0;
  if (!Latest(store, filter, 0, &latest, error)) return false;
  if (latest == 0) {
    *error = "history compare: no report of " + o.history.label + " in " + o.history.dbPath;
    return false;
  }
  if (name == "latest") {
    *id = latest;
    return true;
  }
  HistoryReport last;
  if (!store.Load(latest, &last, error)) return false;
  filter.command = last.command;  // the same kind of run as the latest
  if (!Latest(store, filter, latest, id, error)) return false;
  if (*id == 0) {
    *error = "history compare: the latest of " + o.history.label + " (report " + std::to_string(latest) +
             ") is its only " + last.command + " in " + o.history.dbPath + ": previous is the one before it made by the same command";
  }
  return *id != 0;
}

int RunHistoryCompare(const CliOptions& options, const ListOptions& o) {
  if (options.serials.size() > 1) return Fail("history takes at most one --serial");
  std::string error;
  const std::unique_ptr<HistoryStore> store = Open(o.history.dbPath, HistoryOpen::Read, &error);
  if (!store) return Fail(error);
  const std::string serial = options.serials.empty() ? "" : options.serials.front();
  int64_t ids[2] = {0, 0};
  HistoryReport reports[2];
  for (int k = 0; k < 2; ++k) {
    if (!Resolve(*store, o, serial, o.ids[k], &ids[k], &error)) return Fail(error);
  }
  for (int k = 0; k < 2; ++k) {
    if (!store->Load(ids[k], &reports[k], &error)) return Fail(error);
  }
  DriftThresholds thresholds;
  if (const std::string why = ParseDriftThresholds(o.history.drift, &thresholds); !why.empty()) {
    return Fail("--drift " + why);
  }
  const HistoryComparison c = CompareHistoryReports(reports[0], reports[1], thresholds);
  if (options.json) {
    json j = ComparisonJson(c);
    j["before"] = ListedJson(reports[0]);
    j["after"] = ListedJson(reports[1]);
    PrintJson(stdout, j);
  } else {
    std::printf("From %s\nto   %s\n\n", Described(reports[0]).c_str(), Described(reports[1]).c_str());
    PrintTable(stdout, ComparisonRows(c), true);
    for (const std::string& u : c.unpaired) std::printf("Not compared: %s\n", u.c_str());
    std::printf("Drift %s: %d of %d figures changed beyond %s\n", c.Flagged() ? "FLAGGED" : "none", c.Flagged(),
                static_cast<int>(c.changes.size()), ThresholdsText(c.thresholds).c_str());
    std::fflush(stdout);
  }
  return c.Flagged() ? kExitFail : kExitOk;
}

CLI::Option* AddDriftOption(CLI::App* command, HistoryOptions* o) {
  return command
      ->add_option("--drift", o->drift,
                   std::string("Flag a change beyond this: NmV for figures in volts, N% (of the earlier value) for "
                               "the others and, alone, for all; default ") + kDefaultDriftText)
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->check([](const std::string& text) {
        DriftThresholds t;
        return ParseDriftThresholds({text}, &t);
      });
}

}  // namespace

void AddHistoryOptions(CLI::App* command, HistoryOptions* o, bool comparing) {
  CLI::Option* db = command->add_option(
      "--db", o->dbPath, "Append the results to this SQLite results database (made if missing; see history)");
  command->add_option("--label", o->label, "The charger's label in the results database (e.g. model and serial)")
      ->needs(db);
  if (!comparing) return;
  CLI::Option* against = command
      ->add_option("--against", o->against,
                   "Compare with the label's previous report in --db (latest) or report ID, adding a drift section")
      ->needs(db)
      ->check([](const std::string& text) {
        return text == "latest" ? std::string() : CheckNumberText(text, kReportId).empty()
                                                      ? std::string()
                                                      : "must be latest or a report's id, not " + text;
      });
  AddDriftOption(command, o)->needs(against);
}

std::string CheckHistory(const HistoryOptions& o) {
  if (o.dbPath.empty()) return "";
  if (o.against == "latest" && o.label.empty()) return "--against latest needs --label (the charger's label)";
  DriftThresholds thresholds;
  if (const std::string why = ParseDriftThresholds(o.drift, &thresholds); !why.empty()) return "--drift " + why;
  if (const std::string why = CheckWritable("--db", o.dbPath); !why.empty()) return why;
  std::string error;
  const std::unique_ptr<HistoryStore> store = Open(o.dbPath, HistoryOpen::Write, &error);
  if (!store) return error;
  if (!o.against.empty() && o.against != "latest") {
    HistoryReport r;
    if (!store->Load(std::stoll(o.against), &r, &error)) return "--against: " + error;
  }
  return "";
}

bool DriftAgainst(const HistoryOptions& o, const Report& report, bool sameSerial, ReportDrift* drift,
                  std::string* error) {
  drift->label = o.label;
  const std::unique_ptr<HistoryStore> store = Open(o.dbPath, HistoryOpen::Write, error);
  if (!store) return false;
  int64_t id = 0;
  if (o.against == "latest") {
    HistoryFilter filter;
    filter.label = o.label;
    filter.anyLabel = false;
    filter.command = "report";
    if (sameSerial) filter.serial = report.serial;
    if (!Latest(*store, filter, 0, &id, error)) return false;
    if (id == 0) {
      drift->note = "No earlier report of " + o.label + (sameSerial ? " on " + report.serial : "") +
                    " in the results database: nothing to compare with";
      return true;
    }
  } else {
    id = std::stoll(o.against);
  }
  HistoryReport before;
  if (!store->Load(id, &before, error)) return false;
  // The new report as the database will hold it, paired run by run.
  const HistoryReport after = HistoryReportOf(report, "report", o.label, "", {});
  DriftThresholds thresholds;
  ParseDriftThresholds(o.drift, &thresholds);  // checked before the tester was touched
  drift->comparison = CompareHistoryReports(before, after, thresholds);
  return true;
}

bool RecordHistory(const HistoryOptions& o, HistoryReport record, std::string* error) {
  if (o.dbPath.empty()) return true;
  const std::unique_ptr<HistoryStore> store = Open(o.dbPath, HistoryOpen::Write, error);
  return store && store->Append(record, error);
}

void AddHistoryCommand(CLI::App& app, CliOptions& options, int* exitCode) {
  static ListOptions list;
  CLI::App* h = app.add_subcommand(
      "history", "List the reports in a results database (--db) with their verdicts; 'history compare A B' shows "
                 "how each figure changed (exit 0 no drift, 1 drift flagged, 2 error)");
  h->add_option("--db", list.history.dbPath, "The results database (as written by report --db)")->required();
  h->add_option("--label", list.history.label, "Only this charger's reports (and latest/previous of compare)");
  AddDriftOption(h, &list.history);
  CLI::App* compare = h->add_subcommand(
      "compare", "Compare report A with report B: each an id, or latest / previous of --label (--serial: made on "
                 "that tester)");
  compare->add_option("reports", list.ids, "A B: the earlier and the later report")->expected(2)->required();
  compare->callback([&options, exitCode] { *exitCode = RunHistoryCompare(options, list); });
  h->callback([&options, exitCode, compare] {
    if (!compare->parsed()) *exitCode = RunHistoryList(options, list);
  });
}
