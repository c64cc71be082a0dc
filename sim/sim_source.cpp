#include "sim/sim_source.h"

#include <algorithm>
#include <cstdlib>

namespace sim {

namespace {

const ProfileTypeInfo kProfileTypes[] = {
    {"legacy", 0, 0, false, 500},   {"pty", 1, 0, false, 2400},     {"sdp", 2, 0, false, 500},
    {"cdp", 2, 1, false, 1500},     {"dcp", 2, 2, false, 1500},     {"qc1", 3, 0, false, 2000},
    {"qc2", 3, 1, true, 3000},      {"qc3", 3, 2, true, 3000},      {"typec1.5", 4, 0, false, 1500},
    {"typec3", 4, 1, false, 3000},  {"fixed", 5, 0, false, 3000},   {"battery", 5, 1, true, 3000},
    {"variable", 5, 2, true, 3000}, {"pps", 5, 3, true, 3000},
};

uint16_t ClampMv(long mv, const SourceProfile& p) {
  return static_cast<uint16_t>(std::clamp<long>(mv, p.minMv, p.maxMv));
}

uint16_t RoundToStep(long mv, long step, const SourceProfile& p) {
  long rounded = (mv + step / 2) / step * step;
  // Stay on the step grid inside the range.
  if (rounded > p.maxMv) rounded -= step;
  if (rounded < p.minMv) rounded += step;
  return ClampMv(rounded, p);
}

}  // namespace

const ProfileTypeInfo* FindProfileType(const std::string& name) {
  for (const ProfileTypeInfo& t : kProfileTypes) {
    if (name == t.name) return &t;
  }
  if (name == "proprietary") return FindProfileType("pty");
  if (name == "apdo") return FindProfileType("pps");
  return nullptr;
}

const ProfileTypeInfo* ProfileTypeOf(int kind, int subKind) {
  for (const ProfileTypeInfo& t : kProfileTypes) {
    if (t.kind == kind && t.subKind == subKind) return &t;
  }
  return nullptr;
}

bool IsProgrammable(const SourceProfile& p) { return p.kind == 3 || (p.kind == 5 && p.subKind == 3); }

PowerSource::PowerSource(const ChargerSetup& setup) : setup_(setup) {
  if (setup_.profiles.empty()) setup_.profiles.push_back(SourceProfile{0, 0, 5000, 5000, 500});
  ResetToStart();
}

void PowerSource::ResetToStart() {
  const int start = std::clamp(setup_.activeIndex, 0, ProfileCount() - 1);
  int index = 0;
  uint16_t mv = 0;
  Resolve(start + 1, setup_.startMv, &index, &mv);
  SetActive(index, mv);
}

bool PowerSource::Resolve(int position, uint16_t requestMv, int* index, uint16_t* mv) const {
  if (position < 1 || position > ProfileCount()) return false;
  const SourceProfile& p = setup_.profiles[position - 1];
  *index = position - 1;
  if (p.kind == 5 && p.subKind == 3) {
    *mv = RoundToStep(requestMv, 20, p);
  } else if (p.kind == 3 && p.subKind == 2) {
    *mv = RoundToStep(requestMv, 200, p);
  } else if (p.kind == 3 && p.subKind == 1) {
    static const uint16_t kLevels[] = {5000, 9000, 12000, 20000};
    uint16_t best = p.minMv;
    long bestDistance = -1;
    for (uint16_t level : kLevels) {
      if (level < p.minMv || level > p.maxMv) continue;
      const long distance = std::labs(static_cast<long>(level) - requestMv);
      if (bestDistance < 0 || distance < bestDistance) {
        best = level;
        bestDistance = distance;
      }
    }
    *mv = best;
  } else if (p.kind == 5 && (p.subKind == 1 || p.subKind == 2)) {
    *mv = ClampMv(requestMv, p);
  } else {
    *mv = p.minMv;
  }
  return true;
}

void PowerSource::SetActive(int index, uint16_t mv) {
  activeIndex_ = std::clamp(index, 0, ProfileCount() - 1);
  activeMv_ = mv;
}

PdoList PowerSource::Capabilities() const {
  PdoList list;
  list.count = static_cast<uint8_t>(std::min(ProfileCount(), kMaxPdoEntries));
  for (int i = 0; i < list.count; ++i) {
    const SourceProfile& p = setup_.profiles[i];
    list.entries[i].typeWord = MakeTypeWord(i + 1, p.kind, p.subKind);
    list.entries[i].minMv = p.minMv;
    list.entries[i].maxMv = p.maxMv;
    list.entries[i].maxCurrentMa = p.maxMa;
  }
  return list;
}

double PowerSource::OutputMv(double contractMv, double loadMa) const {
  // mA x mOhm = uV.
  double mv = contractMv - loadMa * (setup_.resistanceMohm + Active().resistanceMohm) / 1000.0;
  const double rating = Active().maxMa;
  if (loadMa > rating) mv -= (loadMa - rating) * setup_.foldbackMohm / 1000.0;
  return std::max(0.0, mv);
}

double PowerSource::TripThresholdMa() const {
  if (setup_.tripPercent <= 0) return 0.0;
  return Active().maxMa * setup_.tripPercent / 100.0;
}

}  // namespace sim
