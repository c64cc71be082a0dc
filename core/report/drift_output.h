// A report's drift section (report --against): its changes since the same
// charger's previous report, in report.json and report.html.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "core/report/report_model.h"

// {"label", "against" (the earlier report's id, or null), "againstDate", "note", "thresholds", "flagged",
//  "changes", "unpaired"}
nlohmann::json DriftJson(const ReportDrift& drift);
// The "Drift" section: a table of every compared figure, the drifted ones marked.
std::string DriftHtml(const ReportDrift& drift);
// "VBUS at no load: 5.012 V, earlier 5.100 V (report 3): -0.088 V, beyond 50 mV, 10 %"
std::string DriftMessage(const FigureChange& change, const HistoryComparison& comparison);
