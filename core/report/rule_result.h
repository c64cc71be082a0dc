// One rule of a limits file judged on one run (or on the source's list of
// profiles): what was measured, against what, and the verdict.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/report/run_verdict.h"

struct RuleResult {
  std::string name;             // the rule's own name
  std::string field;            // the limit it sets: "maxRippleMv", "minVbusVolts", ..., "offered"
  std::optional<double> value;  // the measured figure in `unit`; none when not measured
  std::string unit;             // "mV", "V", "%", "C", or "" (offered)
  std::optional<double> limit;  // the limit in `unit`; none for offered
  std::string valueText;        // "1398 mV", "4.870 V at 2000 mA", "not measured: ..."
  std::string limitText;        // "at most 150 mV"
  Verdict verdict = Verdict::None;

  // "1398 mV, limit at most 150 mV"
  std::string Summary() const { return valueText + ", limit " + limitText; }
};

// FAIL when any result failed, PASS when any passed, else no verdict.
Verdict RulesVerdict(const std::vector<RuleResult>& results);
