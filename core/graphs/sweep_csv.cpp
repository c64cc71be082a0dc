#include "core/graphs/sweep_csv.h"

#include <cstdio>

#include "core/graphs/sweep_plan.h"

std::string BuildSweepCsv(const float* sweepVolts, int tableSize, uint16_t currentStepMa, uint16_t maxLoadCurrentMa) {
  std::string out = kSweepCsvHeader;
  out += "\r\n";
  if (!sweepVolts || currentStepMa == 0) return out;
  const int lastIndex = maxLoadCurrentMa / currentStepMa;
  for (int i = 0; i <= lastIndex && i < tableSize; ++i) {
    const float volts = sweepVolts[i];
    if (volts == kSweepNoValue) break;
    const float power = static_cast<float>(i) * volts * static_cast<float>(currentStepMa) / 1000.0f;
    char row[96];
    const int n = std::snprintf(row, sizeof row, "%.2f,%d,%.2f\r\n", static_cast<double>(volts), i * currentStepMa,
                                static_cast<double>(power));
    if (n > 0) out.append(row, static_cast<size_t>(n) < sizeof row ? static_cast<size_t>(n) : sizeof row - 1);
  }
  return out;
}
