// Two reports of the history compared figure by figure: per run (paired by
// profile and requested voltage) VBUS at no load and at the highest load, the
// ripple, each rule's value (and a watch's VBUS and capacity), each change
// flagged when it goes beyond the drift thresholds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/report/history_store.h"

// A figure in volts or millivolts drifts when it changed by more than `mv`
// millivolts; any other figure (a rule in %, C, mAh) when it changed by more
// than `percent` % of its earlier value. Without an mV threshold the percent
// one judges every figure.
struct DriftThresholds {
  std::optional<double> mv = 50.0;
  double percent = 10.0;
};
constexpr const char* kDefaultDriftText = "50mV and 10%";

// --drift's values ("50mV", "10%", each at most once): the thresholds with
// the defaults for those not given; empty when fine, else why not.
std::string ParseDriftThresholds(const std::vector<std::string>& texts, DriftThresholds* thresholds);

struct FigureChange {
  int run = 0;              // the later report's run number (the earlier one's when only it has the run)
  std::string profile;
  std::string figure;       // "VBUS at no load", "VBUS at highest load", "ripple", "rule <name>", ...
  std::string unit;         // "V", "mV", or the rule's unit
  std::optional<double> before;
  std::optional<double> after;
  bool flagged = false;

  // after - before, when both were measured
  std::optional<double> Change() const;
  // "+0.120 V", "-35 mV", "+1.2 %": the change in the figure's unit, or "not measured before"/"now"
  std::string ChangeText() const;
};

struct HistoryComparison {
  int64_t before = 0;
  int64_t after = 0;
  std::string beforeDate;
  DriftThresholds thresholds;
  std::vector<FigureChange> changes;
  std::vector<std::string> unpaired;  // "run 3 (PD 9.00V 3.00A) only in report 12"

  int Flagged() const;
};

HistoryComparison CompareHistoryReports(const HistoryReport& before, const HistoryReport& after,
                                        const DriftThresholds& thresholds);

// A figure's value as text in its unit: "5.012 V", "40 mV", "not measured".
std::string FigureText(const std::optional<double>& value, const std::string& unit);
// "50 mV (volts), 10 % (others)", or "10 %" alone
std::string ThresholdsText(const DriftThresholds& t);
// The threshold that judges the figure: "50 mV" or "10 %".
std::string ThresholdFor(const FigureChange& f, const DriftThresholds& t);

// {"before", "after", "thresholds": {"mv", "percent"}, "flagged", "changes": [{"run", "profile", "figure",
//  "unit", "before", "after", "change", "flagged"}], "unpaired": [...]}
nlohmann::json ComparisonJson(const HistoryComparison& c);
// Rows "RUN", "PROFILE", "FIGURE", "BEFORE", "AFTER", "CHANGE", "DRIFT" (the header first).
std::vector<std::vector<std::string>> ComparisonRows(const HistoryComparison& c);
