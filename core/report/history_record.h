// A report as the results history keeps it (history_store.h): its figures,
// as the report's summary and limits table show them.
#pragma once

#include <string>
#include <vector>

#include "core/report/history_store.h"
#include "core/report/report_model.h"

// `command`: "report", "sweep", "ripple"; `folder`: the report's folder, or
// empty; `csvPaths[i]`: run i's CSV as the user finds it, or empty.
HistoryReport HistoryReportOf(const Report& report, const std::string& command, const std::string& label,
                              const std::string& folder, const std::vector<std::string>& csvPaths);

// The report's verdict as its summary shows it: "PASS", "FAIL", "n/a", "INCOMPLETE".
std::string ReportVerdictText(const Report& report);
