// Verdicts of the command line's tests, on the window's rules: a ripple
// capture against the real-time graph's window, a sweep step by step against
// the sweep's window and regions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/graphs/graph_run.h"
#include "core/graphs/sweep_plan.h"
#include "core/graphs/voltage_window.h"

enum class Verdict : uint8_t {
  None,  // the profile has no voltage window: measured, not judged
  Pass,
  Fail,
};
const char* VerdictText(Verdict v);  // "n/a", "PASS", "FAIL"

// A ripple capture passes while its minimum and maximum both lie in the
// window (bounds included); no window gives no verdict.
Verdict JudgeRipple(float minVolts, float maxVolts, const std::optional<VoltageWindow>& window);

// One measured step of a sweep.
struct JudgedStep {
  int index = 0;
  uint16_t currentMa = 0;   // the step's load
  uint16_t measuredMa = 0;  // the current the tester measured with the step's reading
  float volts = 0.0f;
  SweepStepLine line;       // the window's verdict and log line
  bool permitted = true;    // line.permitted: in the window, without one, or in a grey region
};

struct SweepJudgement {
  std::vector<JudgedStep> steps;
  int firstFailing = -1;  // index into steps, -1 when none
  Verdict verdict = Verdict::None;
};

// Judges every measured step of a run (tables.volts up to the first
// unmeasured entry) with the window at the step's load and measured current
// and the run's regions, as the graph window does (JudgeSweepStep): a step
// outside the window passes only inside a grey region, above its start. measuredMa[i]
// is step i's measured current (missing entries read as the step's load).
SweepJudgement JudgeSweep(const GraphSession& session, const SweepTables& tables,
                          const std::vector<uint16_t>& measuredMa);
