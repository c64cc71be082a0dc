#include "core/report/rule_result.h"

Verdict RulesVerdict(const std::vector<RuleResult>& results) {
  bool pass = false;
  for (const RuleResult& r : results) {
    if (r.verdict == Verdict::Fail) return Verdict::Fail;
    pass = pass || r.verdict == Verdict::Pass;
  }
  return pass ? Verdict::Pass : Verdict::None;
}
