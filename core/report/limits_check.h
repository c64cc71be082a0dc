// A limits file's rules judged on what a run measured, and its offered
// profiles on the source's list. A figure a run did not measure gives no
// verdict; one the run should have reached but did not (a load beyond where
// the sweep ended) fails: a production line never passes an unmeasured limit.
#pragma once

#include <string>
#include <vector>

#include "core/link/pdo.h"
#include "core/report/limits.h"
#include "core/report/report_model.h"
#include "core/report/rule_result.h"

// Every rule whose profile selects the run, in the file's order.
std::vector<RuleResult> JudgeRunRules(const LimitsFile& limits, const ReportRun& run);

// Every offered profile against the list; `texts` are the rows as the
// Voltage list shows them (index as in the list).
std::vector<RuleResult> JudgeOffered(const LimitsFile& limits, const PdoList& list,
                                     const std::vector<std::string>& texts);
