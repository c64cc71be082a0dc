#include "core/graphs/sweep_plan.h"

#include <cwchar>
#include <initializer_list>

int SweepStepCount(uint16_t sweepEndMa, uint16_t currentStepMa) {
  if (currentStepMa == 0) return 1;
  const int n = sweepEndMa / currentStepMa + 1;
  return n > kSweepMaxSteps ? kSweepMaxSteps : n;
}

uint16_t BoundSweepEndMa(uint16_t sweepEndMa, uint16_t currentStepMa) {
  if (currentStepMa == 0) return sweepEndMa;
  const uint32_t largest = static_cast<uint32_t>(kSweepMaxSteps - 1) * currentStepMa;
  return sweepEndMa > largest ? static_cast<uint16_t>(largest) : sweepEndMa;
}

int SweepXDivisions(uint16_t sweepEndMa, uint16_t currentStepMa) {
  if (currentStepMa == 0) return 0;
  int k = sweepEndMa / currentStepMa;
  while (k > 60) k >>= 1;
  return k;
}

int SweepStepIndex(uint16_t stepCurrentMa, uint16_t currentStepMa) {
  return currentStepMa == 0 ? 0 : stepCurrentMa / currentStepMa;
}

void ClearSweepEntries(SweepTables& tables, int first, int last) {
  if (first < 0) first = 0;
  if (last >= kSweepTableSize) last = kSweepTableSize - 1;
  for (int i = first; i <= last; ++i) {
    tables.volts[i] = kSweepNoValue;
    tables.plot[i] = kSweepNoValue;
  }
}

void RecordSweepStep(SweepTables& tables, int index, int stepCount, float volts, int32_t axisMinVolts) {
  if (index < 0 || index >= kSweepTableSize) return;
  const float floor = static_cast<float>(axisMinVolts);
  const float p = volts < floor ? floor : volts;
  tables.volts[index] = volts;
  tables.plot[index] = p;
  if (index < stepCount - 2 && index + 1 < kSweepTableSize) tables.plot[index + 1] = p;
}

float SweepPowerWatts(uint16_t currentMa, float volts) {
  const float product = static_cast<float>(currentMa) * volts;
  return product / 1000.0f;
}

SweepStepLine JudgeSweepStep(float volts, uint16_t stepCurrentMa, const std::optional<VoltageWindow>& window) {
  SweepStepLine line;
  const float power = SweepPowerWatts(stepCurrentMa, volts);
  const int current = stepCurrentMa;
  if (window && volts < window->low) {
    line.verdict = SweepVerdict::Under;
    line.category = 3;
    std::swprintf(line.text, kSweepLineChars, L"Under Voltage, V=%.3fV, I=%dmA, P=%.2fW", static_cast<double>(volts),
                  current, static_cast<double>(power));
  } else if (window && volts > window->high) {
    line.verdict = SweepVerdict::Over;
    line.category = 3;
    std::swprintf(line.text, kSweepLineChars, L"Over Voltage,V=%.3fV, I=%dmA, P=%.2fW", static_cast<double>(volts),
                  current, static_cast<double>(power));
  } else {
    line.verdict = window ? SweepVerdict::InWindow : SweepVerdict::NoWindow;
    line.category = 4;
    std::swprintf(line.text, kSweepLineChars, L"V=%.2fV, I=%dmA, P=%.2fW", static_cast<double>(volts), current,
                  static_cast<double>(power));
  }
  line.permitted = line.verdict != SweepVerdict::Under && line.verdict != SweepVerdict::Over;
  line.text[kSweepLineChars - 1] = 0;
  return line;
}

SweepStepLine JudgeSweepStep(float volts, uint16_t stepCurrentMa, const std::optional<VoltageWindow>& window,
                             const SweepRegions& regions) {
  SweepStepLine line = JudgeSweepStep(volts, stepCurrentMa, window);
  const bool outside = line.verdict == SweepVerdict::Under || line.verdict == SweepVerdict::Over;
  if (!outside) return line;
  line.permitted = InShutDownRegion(regions, stepCurrentMa, volts);
  if (line.permitted) {
    line.category = 4;
    const size_t used = std::wcslen(line.text);
    std::swprintf(line.text + used, kSweepLineChars - used, L"%ls", kShutDownRegionNote);
    line.text[kSweepLineChars - 1] = 0;
  }
  return line;
}

// --- Regions -----------------------------------------------------------------

namespace {

class RegionList {
 public:
  void Rect(int fromMa, float lowVolts, int toMa, float highVolts, ShadeColour colour) {
    if (out.count >= kMaxSweepRegions) return;
    ShadeShape& s = out.shapes[out.count++];
    s.kind = ShadeKind::Rect;
    s.count = 2;
    s.currentsMa[0] = fromMa;
    s.volts[0] = lowVolts;
    s.currentsMa[1] = toMa;
    s.volts[1] = highVolts;
    s.colour = colour;
  }
  // A grey band, left out when it would start at or beyond its end.
  void Band(int fromMa, float lowVolts, int toMa, float highVolts) {
    if (fromMa < toMa) Rect(fromMa, lowVolts, toMa, highVolts, kShadeGrey);
  }
  void Polygon(std::initializer_list<int> currents, std::initializer_list<float> volts, ShadeColour colour) {
    if (out.count >= kMaxSweepRegions) return;
    ShadeShape& s = out.shapes[out.count++];
    s.kind = ShadeKind::Polygon;
    s.count = 0;
    auto v = volts.begin();
    for (int c : currents) {
      if (s.count == kShadeMaxPoints || v == volts.end()) break;
      s.currentsMa[s.count] = c;
      s.volts[s.count] = *v++;
      ++s.count;
    }
    s.colour = colour;
  }
  SweepRegions out;
};

// 4.75 V less the 5 V port slope at x mA (c = 1) or 4.75 V (c = 0).
float PortLowAt(int currentMa, bool correct) {
  if (!correct) return kPortLowVolts;
  return kPortLowVolts - static_cast<float>(currentMa) / 1000.0f * kPortSlopeVoltsPerAmp;
}

void FiveVoltPort(RegionList& r, int ie, int ir, int m, bool correct, float ymax) {
  r.Rect(0, kPortHighVolts, ie, ymax, kShadeRed);
  r.Polygon({0, ie, ie, 0}, {kPortHighVolts, kPortHighVolts, PortLowAt(ie, correct), kPortLowVolts}, kShadeGreen);
  r.Polygon({0, m, m, 0}, {kPortLowVolts, PortLowAt(m, correct), 0.0f, 0.0f}, kShadeRed);
  if (ie > ir) r.Band(ir, 0.0f, ie, kPortHighVolts);
}

void DedicatedChargingPort(RegionList& r, int ie, int ir, bool correct, float ymax) {
  const int knee = kDcpThresholdMa;
  r.Rect(0, kPortHighVolts, ie, ymax, kShadeRed);
  if (ie >= knee) {
    const float q = correct ? 4.333f : kPortLowVolts;
    r.Polygon({0, ie, ie, knee, knee, 0}, {kPortHighVolts, kPortHighVolts, kDcpLowVolts, kDcpLowVolts, q, kPortLowVolts},
              kShadeGreen);
    r.Polygon({0, knee, knee, 0}, {kPortLowVolts, q, 0.0f, 0.0f}, kShadeRed);
  } else {
    // The sweep ends before the 2.0 V floor begins: only the 5 V port rule applies.
    const float e = PortLowAt(ie, correct);
    r.Polygon({0, ie, ie, 0}, {kPortHighVolts, kPortHighVolts, e, kPortLowVolts}, kShadeGreen);
    r.Polygon({0, ie, ie, 0}, {kPortLowVolts, e, 0.0f, 0.0f}, kShadeRed);
  }
  if (ie <= ir) {
    r.Band(knee, 0.0f, ie, kDcpLowVolts);
  } else {
    r.Band(knee, 0.0f, ir, kDcpLowVolts);
    r.Band(ir, 0.0f, ie, kPortHighVolts);
  }
}

void RegulatedSupply(RegionList& r, const SweepRegionInputs& in, int ie, int ir, int m, bool correct) {
  const float vp = static_cast<float>(in.sweepProfileMv) / 1000.0f;
  const float high = in.profileKind == 4 ? kTypeCHighVolts : vp * kHighFactor;
  const float low = vp * kLowFactor;
  const float ymin = static_cast<float>(in.axisMinVolts);
  const float ymax = static_cast<float>(in.axisMaxVolts);
  const bool qc = in.profileKind == 3;
  const float scale = static_cast<float>(TypeCPdScaleMa(in.sweepRatedMa));

  // Lower bound at Ie (double product for Type-C/PD) and at m (single).
  float e;
  float em;
  if (qc) {
    e = correct ? low - static_cast<float>(ie) / 1000.0f * kPortSlopeVoltsPerAmp : low;
    em = correct ? low - static_cast<float>(m) / 1000.0f * kPortSlopeVoltsPerAmp : low;
  } else {
    const double slopeIe = static_cast<double>(static_cast<float>(ie) / scale) * kTypeCPdDropVolts;
    e = correct ? static_cast<float>(static_cast<double>(low) - slopeIe) : low;
    const float slopeM = (static_cast<float>(m) / scale) * static_cast<float>(kTypeCPdDropVolts);
    em = correct ? low - slopeM : low;
  }
  // Current at which the lower bound meets Ymin (within 0..Ie).
  auto meetsFloorAt = [&]() {
    const double perMa = qc ? kPortSlopeVoltsPerAmp / 1000.0 : kTypeCPdDropVolts / scale;
    double x = (static_cast<double>(low) - ymin) / perMa;
    if (x < 0.0) x = 0.0;
    if (x > ie) x = ie;
    return static_cast<int>(x);
  };

  r.Rect(0, high, ie, ymax, kShadeRed);
  if (e > ymin) {
    r.Polygon({0, ie, ie, 0}, {high, high, e, low}, kShadeGreen);
  } else if (low > ymin) {
    const int xc = meetsFloorAt();
    r.Polygon({0, ie, ie, xc, 0}, {high, high, ymin, ymin, low}, kShadeGreen);
  } else {
    r.Polygon({0, ie, ie, 0}, {high, high, ymin, ymin}, kShadeGreen);
  }
  if (em >= ymin) {
    r.Polygon({0, m, m, 0}, {low, em, ymin, ymin}, kShadeRed);
  } else if (low > ymin) {
    const int xc = meetsFloorAt();
    r.Polygon({0, xc, 0}, {low, ymin, ymin}, kShadeRed);
  }
  r.Band(ir, ymin, ie, high);
}

}  // namespace

SweepRegions BuildSweepRegions(const SweepRegionInputs& in) {
  RegionList r;
  const int ie = in.sweepEndMa;
  const int ir = in.sweepRatedMa;
  const int m = ie < ir ? ie : ir;
  const bool correct = !in.estimateUpstream;
  const float ymax = static_cast<float>(in.axisMaxVolts);

  switch (in.profileKind) {
    case 1:
      FiveVoltPort(r, ie, ir, m, correct, ymax);
      break;
    case 2:
      if (in.profileSubKind == 0 || in.profileSubKind == 1) {
        FiveVoltPort(r, ie, ir, m, correct, ymax);
      } else if (in.profileSubKind == 2) {
        DedicatedChargingPort(r, ie, ir, correct, ymax);
      }
      break;
    case 3:
    case 4:
    case 5:
      RegulatedSupply(r, in, ie, ir, m, correct);
      break;
    default:
      break;
  }
  return r.out;
}

bool InShutDownRegion(const SweepRegions& regions, int currentMa, float volts) {
  for (int i = 0; i < regions.count; ++i) {
    const ShadeShape& s = regions.shapes[i];
    const bool grey = s.colour.r == kShadeGrey.r && s.colour.g == kShadeGrey.g && s.colour.b == kShadeGrey.b;
    if (s.kind != ShadeKind::Rect || !grey) continue;
    if (currentMa > s.currentsMa[0] && currentMa <= s.currentsMa[1] && volts <= s.volts[1]) return true;
  }
  return false;
}
