// A limits file's results as the report shows them: JSON objects, the HTML
// page's table, and rows of text for the command line's tables.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/report/report_model.h"
#include "core/report/rule_result.h"

// {"name", "field", "value" (in "unit", null when not measured), "unit",
//  "limit", "valueText", "limitText", "verdict"}
nlohmann::json RuleJson(const RuleResult& r);
nlohmann::json RulesJson(const std::vector<RuleResult>& results);

// The report's "Limits" section (empty when no limits file was given).
std::string RulesHtml(const Report& report);

// Rows "#", "PROFILE", "RULE", "VALUE", "LIMIT", "VERDICT" of every run's
// rules and then the offered profiles (run "-", profile "source"); only the
// header when there are none.
std::vector<std::vector<std::string>> RuleRows(const Report& report);
