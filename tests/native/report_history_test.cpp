// The results history's parts without the command line: which changes count as drift, --drift's values, how runs pair,
// and a report's round trip through the SQLite store (every figure back as written, none invented).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <unistd.h>

#include "core/report/history_compare.h"
#include "core/report/history_store.h"

namespace {

HistoryReport OneRun(const std::string& profile, const std::string& unit, std::optional<double> value) {
  HistoryReport r;
  r.command = "report";
  HistoryRun run;
  run.profile = profile;
  run.requested = "as supplied";
  run.rules.push_back({"r", "x", value, unit, std::nullopt, "", "", "PASS"});
  r.runs.push_back(run);
  return r;
}

TEST(HistoryDrift, AFigureDriftsBeyondItsThresholdOnly) {
  struct Case {
    std::vector<std::string> drift;
    const char* unit;
    std::optional<double> before, after;
    bool flagged;
    const char* threshold;  // as the comparison names it
  } cases[] = {
      {{}, "V", 5.000, 5.050, false, "50 mV"},  // the default 50 mV: exactly at it is no drift
      {{}, "V", 5.000, 4.949, true, "50 mV"}, {{}, "mV", 40, 90, false, "50 mV"}, {{}, "mV", 40, 91, true, "50 mV"},
      {{}, "%", 2.0, 2.2, false, "10 %"},  // other units: 10 % of the earlier value
      {{}, "%", 2.0, 2.21, true, "10 %"},
      {{}, "C", 0, 1, true, "10 %"},  // from nothing to something
      {{}, "V", std::nullopt, 5.0, false, "50 mV"},  // not measured before: shown, not judged
      {{"10%"}, "V", 5.0, 5.4, false, "10 %"},  // a percentage alone judges volts too
      {{"10%"}, "V", 5.0, 5.6, true, "10 %"},
      {{"200mV"}, "mV", 0, 150, false, "200 mV"},
      {{"200mV"}, "%", 2.0, 2.3, true, "10 %"},  // the default percentage stays
      {{"0mV", "0%"}, "V", 5.0, 5.001, true, "0 mV"},
      {{"2.5%", "12.5mV"}, "%", 2.0, 2.06, true, "2.50 %"},
      {{"2.5%", "12.5mV"}, "V", 5.0, 5.012, false, "12.500 mV"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.unit << " " << c.before.value_or(-1) << " -> " << c.after.value_or(-1)
                                    << " drift " << testing::PrintToString(c.drift));
    DriftThresholds t;
    ASSERT_EQ(ParseDriftThresholds(c.drift, &t), "");
    const HistoryComparison d =
        CompareHistoryReports(OneRun("PD-FIX 5.00V", c.unit, c.before), OneRun("PD-FIX 5.00V", c.unit, c.after), t);
    ASSERT_EQ(d.changes.size(), 1u);
    EXPECT_EQ(d.changes[0].flagged, c.flagged);
    EXPECT_EQ(d.Flagged(), c.flagged ? 1 : 0);
    EXPECT_EQ(ThresholdFor(d.changes[0], t), c.threshold);
  }
}

TEST(HistoryDrift, MalformedThresholdsAreRefused) {
  struct Case {
    std::vector<std::string> drift;
    const char* message;
  } cases[] = {
      {{"5V"}, "must be a change in mV or % such as 50mV or 10%, not 5V"},
      {{"50"}, "must be a change in mV or % such as 50mV or 10%, not 50"},
      {{"-1mV"}, "must be a change in mV or % such as 50mV or 10%, not -1mV"},
      {{"nan%"}, "must be a change in mV or % such as 50mV or 10%, not nan%"},
      {{" 5%"}, "must be a change in mV or % such as 50mV or 10%, not  5%"},
      {{"%"}, "must be a change in mV or % such as 50mV or 10%, not %"},
      {{""}, "must be a change in mV or % such as 50mV or 10%, not empty"},
      {{"50mV", "60mV"}, "is given twice in mV"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.drift));
    DriftThresholds t;
    EXPECT_EQ(ParseDriftThresholds(c.drift, &t), c.message);
  }
}

// Runs pair by profile and requested voltage, not by number: a source that
// lost a profile compares what both offered and names the rest.
TEST(HistoryDrift, RunsPairByProfileAndTheRestAreNamed) {
  HistoryReport before = OneRun("PD-FIX 5.00V", "V", 4.9);
  before.id = 1;
  before.runs.push_back(OneRun("PD-FIX 9.00V", "V", 8.9).runs[0]);
  before.runs[1].number = 2;
  HistoryReport after = OneRun("PD-FIX 9.00V", "V", 8.7);
  after.id = 2;
  const HistoryComparison c = CompareHistoryReports(before, after, DriftThresholds{});
  ASSERT_EQ(c.changes.size(), 1u);
  EXPECT_EQ(c.changes[0].profile, "PD-FIX 9.00V");
  EXPECT_TRUE(c.changes[0].flagged);
  EXPECT_EQ(c.unpaired, std::vector<std::string>{"run 1 (PD-FIX 5.00V) only in report 1"});
}

TEST(HistoryStoreSqlite, AReportComesBackAsWrittenAndANewerSchemaIsRefused) {
  const std::string path = testing::TempDir() + std::to_string(getpid()) + "_history_round_trip.db";
  std::filesystem::remove(path);
  std::string error;
  {
    std::unique_ptr<HistoryStore> store = OpenHistoryStore(path, HistoryOpen::Write, &error);
    ASSERT_TRUE(store) << error;
    HistoryReport r = OneRun("PD-APDO 3.30-21.00V", "mV", std::nullopt);
    r.label = "charger \"A\"; DROP TABLE reports";
    r.serial = "VXPD0001";
    r.verdict = "PASS";
    r.settings = "{\"limitMode\":\"enforce\"}";
    r.runs[0].requested = "requested";
    r.runs[0].requestedMv = 12100;
    r.runs[0].noLoadVolts = 12.104;
    r.runs[0].rippleMv = 0;
    r.runs[0].highestLoadMa = 3000;
    r.offered.push_back({"reaches 21 V", "offered", std::nullopt, "", std::nullopt, "offered", "", "FAIL"});
    ASSERT_TRUE(store->Append(r, &error)) << error;
    EXPECT_EQ(r.id, 1);
    HistoryReport back;
    ASSERT_TRUE(store->Load(r.id, &back, &error)) << error;
    EXPECT_EQ(back.label, r.label);
    EXPECT_EQ(back.settings, r.settings);
    EXPECT_FALSE(back.recordedUtc.empty());
    ASSERT_EQ(back.runs.size(), 1u);
    const HistoryRun& run = back.runs[0];
    EXPECT_EQ(run.Key(), r.runs[0].Key());
    EXPECT_EQ(run.noLoadVolts, 12.104);
    EXPECT_EQ(run.rippleMv, 0);  // a measured 0, not "not measured"
    EXPECT_EQ(run.highestLoadVolts, std::nullopt);
    EXPECT_EQ(run.highestLoadMa, 3000);
    EXPECT_EQ(run.readings, std::nullopt);
    ASSERT_EQ(run.rules.size(), 1u);
    EXPECT_EQ(run.rules[0].value, std::nullopt);
    ASSERT_EQ(back.offered.size(), 1u);  // the source's rules are the report's, not a run's
    EXPECT_EQ(back.offered[0].verdict, "FAIL");
    EXPECT_FALSE(store->Load(2, &back, &error));
    EXPECT_EQ(error, "no report 2 in " + path);
  }
  sqlite3* db = nullptr;  // as a later loadpost-cli would leave it
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, "PRAGMA user_version = 2", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  for (HistoryOpen how : {HistoryOpen::Write, HistoryOpen::Read}) {
    EXPECT_FALSE(OpenHistoryStore(path, how, &error));
    EXPECT_EQ(error, path + " was written by a newer loadpost-cli (schema version 2; this one knows version 1): "
                            "not opened");
  }
}

}  // namespace
