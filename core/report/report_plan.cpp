#include "core/report/report_plan.h"

#include "core/link/profile_text.h"

namespace {

constexpr uint16_t kQc2LevelsMv[] = {5000, 9000, 12000, 20000};

void Add(std::vector<PlannedRun>& runs, const PlannedRun& base, PlanRequest request, uint16_t mv) {
  for (const PlannedRun& r : runs) {
    if (r.row == base.row && r.requestedMv == mv) return;
  }
  PlannedRun run = base;
  run.request = request;
  run.requestedMv = mv;
  runs.push_back(run);
}

uint16_t Middle(const PdoEntry& e, uint16_t step) {
  uint32_t mid = (static_cast<uint32_t>(e.minMv) + e.maxMv) / 2 / step * step;
  if (mid < e.minMv) mid = e.minMv;
  return static_cast<uint16_t>(mid);
}

}  // namespace

uint16_t VoltageToleranceMv(const PdoEntry& entry) {
  if (entry.Kind() == 5 && entry.SubKind() == 3) return 20;
  if (entry.Kind() == 3 && entry.SubKind() == 2) return 200;
  return 0;
}

std::vector<PlannedRun> PlanReport(const PdoList& list, int hardwareRevision) {
  std::vector<PlannedRun> runs;
  for (int row = 0; row < list.count && row < kMaxPdoEntries; ++row) {
    PlannedRun base;
    base.row = row;
    base.entry = list.entries[row];
    wchar_t text[kProfileTextChars];
    FormatProfileListText(base.entry, hardwareRevision, text, kProfileTextChars);
    base.profileText = text;
    const PdoEntry& e = base.entry;
    if (const wchar_t* refusal = ProfileRowRefusal(list, row, hardwareRevision)) {
      base.refusal = refusal;
      Add(runs, base, PlanRequest::Refused, e.minMv);
      continue;
    }
    const int kind = e.Kind();
    const int sub = e.SubKind();
    if (kind == 5 && sub == 3) {
      Add(runs, base, PlanRequest::RowAndVoltage, e.minMv);
      Add(runs, base, PlanRequest::RowAndVoltage, Middle(e, 100));
      Add(runs, base, PlanRequest::RowAndVoltage, e.maxMv);
    } else if (kind == 5) {
      Add(runs, base, PlanRequest::Row, e.minMv);
    } else if (kind == 3 && sub == 1) {
      std::vector<uint16_t> levels;
      for (uint16_t mv : kQc2LevelsMv) {
        if (mv >= e.minMv && mv <= e.maxMv) levels.push_back(mv);
      }
      if (levels.empty()) levels.push_back(e.minMv);
      Add(runs, base, PlanRequest::RowAndVoltage, levels.front());
      Add(runs, base, PlanRequest::RowAndVoltage, levels[levels.size() / 2]);
      Add(runs, base, PlanRequest::RowAndVoltage, levels.back());
    } else if (kind == 3) {
      Add(runs, base, PlanRequest::RowAndVoltage, e.minMv);
      Add(runs, base, PlanRequest::RowAndVoltage, Middle(e, 200));
      Add(runs, base, PlanRequest::RowAndVoltage, e.maxMv);
    } else {
      Add(runs, base, PlanRequest::AsSupplied, e.minMv);
    }
  }
  return runs;
}
