#include "report/run_verdict.h"

#include "graphs/graph_overlay.h"

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

bool InShutDownRegion(const SweepRegions& regions, int currentMa, float volts) {
  for (int i = 0; i < regions.count; ++i) {
    const ShadeShape& s = regions.shapes[i];
    if (s.kind != ShadeKind::Rect || s.colour.r != kShadeGrey.r || s.colour.g != kShadeGrey.g) continue;
    if (currentMa >= s.currentsMa[0] && currentMa <= s.currentsMa[1] && volts >= s.volts[0] && volts <= s.volts[1]) {
      return true;
    }
  }
  return false;
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
    step.line = JudgeSweepStep(v, step.currentMa, window);
    const bool outside = step.line.verdict == SweepVerdict::Under || step.line.verdict == SweepVerdict::Over;
    step.permitted = !outside || InShutDownRegion(regions, step.currentMa, v);
    if (!step.permitted && j.firstFailing < 0) j.firstFailing = static_cast<int>(j.steps.size());
    j.steps.push_back(step);
  }
  if (anyWindow) j.verdict = j.firstFailing >= 0 ? Verdict::Fail : Verdict::Pass;
  return j;
}
