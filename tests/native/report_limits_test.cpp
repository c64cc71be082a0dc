// The limits file: what is refused, with which line and message, and how its
// rules judge a run's figures at their boundaries.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "core/report/limits.h"
#include "core/report/limits_check.h"

namespace {

struct Malformed {
  const char* text;
  const char* message;  // the whole error, "<name>:<line>: ..."
};

TEST(LimitsFile, MalformedFilesAreRefusedWithTheirLineAndField) {
  const Malformed cases[] = {
      {"{\n \"rules\": [\n  {\"name\": \"a\", \"maxRippleMv\": 150,}\n ]\n}",
       "lab.json:3: not valid JSON: syntax error while parsing object key - unexpected '}'; expected string literal"},
      {"[]", "lab.json:1: a limits file is one object with note, rules, offered"},
      {"{}", "lab.json:1: no rules: give at least one in \"rules\" or \"offered\""},
      {"{\"rule\": []}",
       "lab.json:1: \"rule\" is not a field of a limits file (a limits file takes note, rules, offered)"},
      {"{\"rules\": {}}", "lab.json:1: \"rules\" must be a list [ ... ]"},
      {"{\"rules\": [\n {\"name\": \"a\",\n  \"maxRipleMv\": 150}]}",
       "lab.json:3: \"maxRipleMv\" is not a field of a rule (a rule takes name, note, profile, maxRippleMv, "
       "minVbusVolts, atMa, atRated, maxNoLoadVolts, tolerancePercent, upToMa, maxTemperatureC)"},
      {"{\"rules\": [\n {\"maxRippleMv\": 150}]}",
       "lab.json:2: a rule has no \"name\": every rule is named in the results"},
      {"{\"rules\": [{\"name\": \"a\", \"maxRippleMv\": 1},\n {\"name\": \"a\", \"maxRippleMv\": 2}]}",
       "lab.json:2: the name \"a\" is given to two rules"},
      {"{\"rules\": [{\"name\": \"a\",\n \"maxRippleMv\": 1, \"maxRippleMv\": 2}]}",
       "lab.json:2: \"maxRippleMv\" is given twice in one object"},
      {"{\"rules\": [{\"name\": \"a\"}]}",
       "lab.json:1: rule \"a\": no limit: give one of maxRippleMv, minVbusVolts, maxNoLoadVolts, tolerancePercent, "
       "maxTemperatureC"},
      {"{\"rules\": [{\"name\": \"a\", \"maxRippleMv\": 1,\n \"maxTemperatureC\": 50}]}",
       "lab.json:2: rule \"a\": \"maxTemperatureC\" with \"maxRippleMv\": one limit per rule (give each limit a rule "
       "and a name of its own)"},
      {"{\"rules\": [{\"name\": \"a\", \"maxRippleMv\": \"150\"}]}",
       "lab.json:1: \"maxRippleMv\" must be a number above 0 up to 48000 mV, not \"150\""},
      {"{\"rules\": [{\"name\": \"a\", \"maxRippleMv\": 0}]}",
       "lab.json:1: \"maxRippleMv\" must be a number above 0 up to 48000 mV, not 0"},
      {"{\"rules\": [{\"name\": \"a\", \"minVbusVolts\": 4.85}]}",
       "lab.json:1: rule \"a\": \"minVbusVolts\" needs the load it holds at: \"atMa\" (mA) or \"atRated\": true, one "
       "of them"},
      {"{\"rules\": [{\"name\": \"a\", \"minVbusVolts\": 4.85, \"atMa\": 5101}]}",
       "lab.json:1: \"atMa\" must be a whole number from 0 to 5100 mA, not 5101"},
      {"{\"rules\": [{\"name\": \"a\", \"minVbusVolts\": 4.85, \"atRated\": false}]}",
       "lab.json:1: rule \"a\": \"atRated\" must be true (or give \"atMa\" instead), not false"},
      {"{\"rules\": [{\"name\": \"a\", \"maxRippleMv\": 150, \"atMa\": 100}]}",
       "lab.json:1: rule \"a\": \"atMa\" belongs with \"minVbusVolts\" only"},
      {"{\"rules\": [{\"name\": \"a\", \"tolerancePercent\": 100.5}]}",
       "lab.json:1: \"tolerancePercent\" must be a number above 0 up to 100 %, not 100.5"},
      {"{\"rules\": [{\"name\": \"a\", \"maxRippleMv\": 1,\n \"profile\": {\"kind\": \"PD-FIXED\"}}]}",
       "lab.json:2: \"kind\" must be one of PD, PD-FIX, PD-BAT, PD-VAR, PD-APDO, QC, QC1, QC2, QC3, LEGACY, PTY, "
       "BC-SDP, BC-CDP, BC-DCP, USBC-1.5A, USBC-3A, not \"PD-FIXED\""},
      {"{\"rules\": [{\"name\": \"a\", \"maxRippleMv\": 1, \"profile\": {\"volts\": 5, \"toVolts\": 9}}]}",
       "lab.json:1: \"toVolts\" with \"volts\": give one voltage or a range"},
      // Rules that can never apply.
      {"{\"rules\": [{\"name\": \"a\", \"maxRippleMv\": 1, \"profile\": {\"fromVolts\": 9, \"toVolts\": 5}}]}",
       "lab.json:1: \"fromVolts\" lies above \"toVolts\": the rule can never apply"},
      {"{\"rules\": [{\"name\": \"a\", \"maxRippleMv\": 1, \"profile\": {\"volts\": 60}}]}",
       "lab.json:1: \"volts\" must be a number from 3 to 48 V, not 60"},
      {"{\"rules\": [{\"name\": \"a\", \"maxRippleMv\": 1, \"profile\": {\"kind\": \"qc2\", \"volts\": 7}}]}",
       "lab.json:1: a QC2 profile supplies 5, 9, 12 or 20 V, never 7 V: the rule can never apply"},
      {"{\"rules\": [{\"name\": \"a\", \"maxRippleMv\": 1, \"profile\": {\"kind\": \"BC-DCP\", \"fromVolts\": 9}}]}",
       "lab.json:1: a BC-DCP profile supplies 5 V, never 9 to 48 V: the rule can never apply"},
      {"{\"offered\": [{\"name\": \"pps\", \"kind\": \"QC3\", \"reachesVolts\": 21}]}",
       "lab.json:1: a QC3 profile supplies 3.6 to 20 V, never 21 to 48 V: the rule can never apply"},
      {"{\"offered\": [{\"name\": \"pps\", \"reachesVolts\": 21}]}",
       "lab.json:1: offered profile \"pps\" has no \"kind\""},
      {"{\"offered\": [{\"name\": \"9V\", \"kind\": \"PD-FIX\", \"volts\": 9, \"minAmps\": 6}]}",
       "lab.json:1: \"minAmps\" must be a number above 0 up to 5 A, not 6"},
  };
  for (const Malformed& c : cases) {
    SCOPED_TRACE(c.text);
    LimitsFile file;
    std::string error;
    EXPECT_FALSE(ParseLimits(c.text, "lab.json", &file, &error));
    EXPECT_EQ(error, c.message);
  }
}

TEST(LimitsFile, TheShippedExampleIsAccepted) {
  std::ifstream in(std::string(LOADPOST_SCENARIO_DIR) + "/../../docs/limits-example.json");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LimitsFile file;
  std::string error;
  ASSERT_TRUE(ParseLimits(text, "limits-example.json", &file, &error)) << error;
  EXPECT_EQ(file.rules.size(), 7u);
  EXPECT_EQ(file.offered.size(), 2u);
}

// A 5 V run whose sweep went 0, 500, ..., 1500 mA: each rule at its boundary.
TEST(LimitsFile, RulesJudgeARunAtTheirBoundaries) {
  ReportRun run;
  run.plan.entry.typeWord = MakeTypeWord(1, 5, 0);
  run.plan.entry.minMv = run.plan.entry.maxMv = 5000;
  run.plan.entry.maxCurrentMa = 3000;
  run.plan.request = PlanRequest::Row;
  run.plan.requestedMv = 5000;
  run.started = true;
  run.ripple = {true, RunEnd::Complete, 100, 0.3, 4.95f, 5.10f, 0};
  run.ripple.maxTemperatureC = 40;
  run.sweep.done = true;
  run.sweep.end = RunEnd::Complete;
  run.sweep.ratedMa = 1500;
  const float volts[] = {5.05f, 4.95f, 4.90f, 4.85f};
  for (int i = 0; i < 4; ++i) {
    JudgedStep s;
    s.index = i;
    s.currentMa = static_cast<uint16_t>(i * 500);
    s.volts = volts[i];
    run.sweep.judgement.steps.push_back(s);
  }
  struct Case {
    const char* rule;
    const char* value;
    Verdict verdict;
    const char* limit = nullptr;  // how the limit is written, where checked
  } cases[] = {
      {"\"maxRippleMv\": 150", "150 mV", Verdict::Pass},
      {"\"maxRippleMv\": 149", "150 mV", Verdict::Fail},
      {"\"minVbusVolts\": 4.9, \"atMa\": 1000", "4.900 V at 1000 mA", Verdict::Pass, "at least 4.900 V at 1000 mA"},
      {"\"minVbusVolts\": 4.9, \"atMa\": 1001", "4.850 V at 1500 mA", Verdict::Fail},  // never a lighter step
      {"\"minVbusVolts\": 4.85, \"atRated\": true", "4.850 V at 1500 mA", Verdict::Pass,
       "at least 4.850 V at the rated 1500 mA"},
      {"\"minVbusVolts\": 4.5, \"atMa\": 2000", "not reached: the sweep ended at 1500 mA", Verdict::Fail},
      {"\"maxNoLoadVolts\": 5.1", "5.100 V", Verdict::Pass},
      {"\"maxNoLoadVolts\": 5.099", "5.100 V", Verdict::Fail},
      {"\"tolerancePercent\": 2", "2.00 % (5.100 V)", Verdict::Pass},
      {"\"tolerancePercent\": 2, \"upToMa\": 1500", "3.00 % (4.850 V)", Verdict::Fail},
      {"\"maxTemperatureC\": 40", "40 C", Verdict::Pass},
      {"\"maxTemperatureC\": 39", "40 C", Verdict::Fail},
      {"\"maxRippleMv\": 150, \"profile\": {\"kind\": \"PD-FIX\", \"volts\": 5}", "150 mV", Verdict::Pass},
      {"\"maxRippleMv\": 1, \"profile\": {\"kind\": \"PD-APDO\"}", nullptr, Verdict::None},  // selects no run
      {"\"maxRippleMv\": 1, \"profile\": {\"kind\": \"USBC-1.5A\"}", nullptr, Verdict::None},
      {"\"maxRippleMv\": 1, \"profile\": {\"kind\": \"USBC-3A\", \"volts\": 5}", nullptr, Verdict::None},
      {"\"maxRippleMv\": 1, \"profile\": {\"kind\": \"PD\", \"fromVolts\": 5.01}", nullptr, Verdict::None},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    LimitsFile file;
    std::string error;
    ASSERT_TRUE(ParseLimits(std::string("{\"rules\": [{\"name\": \"r\", ") + c.rule + "}]}", "t", &file, &error))
        << error;
    const std::vector<RuleResult> results = JudgeRunRules(file, run);
    if (!c.value) {
      EXPECT_TRUE(results.empty());
      continue;
    }
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].valueText, c.value);
    EXPECT_EQ(results[0].verdict, c.verdict);
    if (c.limit) EXPECT_EQ(results[0].limitText, c.limit);
  }
  // A run that ended early passes nothing it did not finish, but fails what it already broke.
  run.sweep.end = RunEnd::Detached;
  LimitsFile file;
  std::string error;
  ASSERT_TRUE(ParseLimits(R"({"rules": [{"name": "a", "maxRippleMv": 150}, {"name": "b", "maxRippleMv": 100}]})", "t",
                          &file, &error));
  const std::vector<RuleResult> results = JudgeRunRules(file, run);
  EXPECT_EQ(results[0].verdict, Verdict::None);
  EXPECT_EQ(results[1].verdict, Verdict::Fail);
}

}  // namespace
