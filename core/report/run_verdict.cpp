#include "core/report/run_verdict.h"

#include "core/graphs/graph_overlay.h"

const char* VerdictText(Verdict v) {
  switch (v) {
    case Verdict::Pass: return "PASS";
    case Verdict::Fail: return "FAIL";
    default: return "n/a";
  }
}

Verdict JudgeRipple(float minVolts, float maxVolts, const std::optional<VoltageWindow>& window) {
  if (!window || minVolts > maxVolts) return Verdict::None;
  return minVolts >= window->low && maxVolts <= window->high ? Verdict::Pass : Verdict::Fail;
}

SweepJudgement JudgeSweep(const GraphSession& session, const SweepTables& tables,
                          const std::vector<uint16_t>& measuredMa) {
  SweepJudgement j;
  const SweepRegions regions = BuildSweepRegions(RunRegionInputs(session));
  const int n = session.StepCount();
  bool anyWindow = false;
  for (int i = 0; i < n && i < kSweepTableSize; ++i) {
    const float v = tables.volts[i];
    if (v == kSweepNoValue) break;
    JudgedStep step;
    step.index = i;
    step.currentMa = static_cast<uint16_t>(i * session.currentStepMa);
    step.measuredMa = i < static_cast<int>(measuredMa.size()) ? measuredMa[i] : step.currentMa;
    step.volts = v;
    const std::optional<VoltageWindow> window = ComputeVoltageWindow(session.WindowInputs(step.currentMa, step.measuredMa));
    anyWindow = anyWindow || window.has_value();
    step.line = JudgeSweepStep(v, step.currentMa, window, regions);
    step.permitted = step.line.permitted;
    if (!step.permitted && j.firstFailing < 0) j.firstFailing = static_cast<int>(j.steps.size());
    j.steps.push_back(step);
  }
  if (anyWindow) j.verdict = j.firstFailing >= 0 ? Verdict::Fail : Verdict::Pass;
  return j;
}
