// Arithmetic of the voltage-versus-current sweep: step counts, the x divisions
// of its chart, its tables and their bounds-safe writers, the verdict and log
// line of each step, and the coloured regions drawn behind the curve.
#pragma once

#include <cstdint>
#include <optional>

#include "core/graphs/voltage_window.h"

// Marks a step that has not been measured (the chart's "no value": a category
// value equal to it breaks the drawn line).
constexpr float kSweepNoValue = -99999.0f;

// Size of each sweep table. The largest sweep the settings allow is 5100 mA in
// 5 mA steps, 1021 steps; the set-up clears one entry past the last step.
constexpr int kSweepTableSize = 1100;
// Most steps a sweep may have, leaving room for those extra entries.
constexpr int kSweepMaxSteps = kSweepTableSize - 8;

// Number of steps n of a sweep from 0 mA to sweepEndMa in currentStepMa steps:
// sweepEndMa / currentStepMa + 1 (integer division), never above
// kSweepMaxSteps. A step of 0 gives a single step (0 mA).
int SweepStepCount(uint16_t sweepEndMa, uint16_t currentStepMa);

// The end current to sweep to: sweepEndMa, lowered when needed so that its step
// count fits kSweepMaxSteps (a tester's stored ceiling is not bounded by the
// program's 5100 mA). The graph window takes its copy of the ceiling through it.
uint16_t BoundSweepEndMa(uint16_t sweepEndMa, uint16_t currentStepMa);

// Labelled x divisions of the sweep chart: sweepEndMa / currentStepMa, halved
// (shift right by one) while above 60. 3000 mA in 25 mA steps gives 60, in 5 mA
// steps 37. A step of 0 gives 0.
int SweepXDivisions(uint16_t sweepEndMa, uint16_t currentStepMa);

// Table index of the step whose load is stepCurrentMa: stepCurrentMa /
// currentStepMa (0 for a step of 0).
int SweepStepIndex(uint16_t stepCurrentMa, uint16_t currentStepMa);

// The two tables of a sweep. volts: VBUS measured at the end of each step,
// kSweepNoValue when not measured (read by the CSV export). plot: the values
// handed to the chart, the measurement raised to the axis minimum when below it.
struct SweepTables {
  float volts[kSweepTableSize];
  float plot[kSweepTableSize];
};

// Sets entries first..last (inclusive) of both tables to kSweepNoValue; indices
// outside the tables are ignored. The chart set-up clears 0..n, the test thread
// 0..n-2.
void ClearSweepEntries(SweepTables& tables, int first, int last);

// A measured step: volts[index] = v; plot[index] = v raised to axisMinVolts, and
// also plot[index + 1] when index < stepCount - 2 (the curve runs flat to the
// step under way). Out-of-table indices are ignored.
void RecordSweepStep(SweepTables& tables, int index, int stepCount, float volts, int32_t axisMinVolts);

enum class SweepVerdict {
  NoWindow,  // the profile has no voltage window: logged as a plain measurement
  Under,     // V < low
  Over,      // V > high
  InWindow,
};

constexpr int kSweepLineChars = 128;

// The log record of one step.
struct SweepStepLine {
  SweepVerdict verdict = SweepVerdict::NoWindow;
  int32_t category = 4;
  wchar_t text[kSweepLineChars] = {};
  // In the window, without one, or in a permissible shut down region; false
  // when the step fails the source.
  bool permitted = true;
};

// Judges a step read at `volts` with the load at stepCurrentMa. P = I x V / 1000
// in single precision.
//   Under:    category 3, "Under Voltage, V=%.3fV, I=%dmA, P=%.2fW"
//   Over:     category 3, "Over Voltage,V=%.3fV, I=%dmA, P=%.2fW"
//   InWindow: category 4, "V=%.2fV, I=%dmA, P=%.2fW"
//   NoWindow: category 4, "V=%.2fV, I=%dmA, P=%.2fW" as well: the step is
//             recorded, but a profile without a window gets no verdict.
SweepStepLine JudgeSweepStep(float volts, uint16_t stepCurrentMa, const std::optional<VoltageWindow>& window);

// Sweep power of a step in watts: currentMa x volts / 1000, single precision.
float SweepPowerWatts(uint16_t currentMa, float volts);

// --- Regions -----------------------------------------------------------------

struct ShadeColour {
  uint8_t r, g, b;
};
constexpr ShadeColour kShadeRed{255, 0, 0};
constexpr ShadeColour kShadeGreen{0, 255, 0};
constexpr ShadeColour kShadeGrey{100, 100, 100};

enum class ShadeKind { Rect, Polygon };

constexpr int kShadeMaxPoints = 6;

// One translucent shape in chart units (mA, volts).
// Rect: count 2, point 0 = (from current, low volts), point 1 = (to current, high
// volts), the arguments of ShadeRect in that order. Polygon: count 3..6 vertices,
// the arguments of ShadePolygon.
struct ShadeShape {
  ShadeKind kind = ShadeKind::Rect;
  int count = 0;
  int currentsMa[kShadeMaxPoints] = {};
  float volts[kShadeMaxPoints] = {};
  ShadeColour colour{0, 0, 0};
};

constexpr int kMaxSweepRegions = 6;

// The shapes in drawing order.
struct SweepRegions {
  int count = 0;
  ShadeShape shapes[kMaxSweepRegions];
};

struct SweepRegionInputs {
  uint32_t profileKind = 0;      // live
  uint8_t profileSubKind = 0;    // live
  bool estimateUpstream = false; // live; set: no load correction along the current axis
  uint16_t sweepEndMa = 0;       // Ie, copied at chart set-up
  uint16_t sweepRatedMa = 0;     // Ir, copied at chart set-up
  uint16_t sweepProfileMv = 0;   // Vp x 1000, copied at chart set-up
  int32_t axisMinVolts = 0;      // Ymin
  int32_t axisMaxVolts = 6;      // Ymax
};

// The regions of the sweep graph:
// - 5 V ports (kind 1; kind 2 sub-kind 0 or 1): red over 5.25 V, green operating
//   range, red under-voltage within the rating, grey beyond the rating.
// - DCP (kind 2 sub-kind 2): the same with the 2.0 V floor from 500 mA on and
//   grey bands below 2.0 V (500 mA to the rating) and 5.25 V (beyond it).
// - QC (3), Type-C (4), PD (5): red over the high bound, green range (4 points
//   while its lower edge at Ie stays above Ymin, else 5 points, with the corner
//   where the lower bound meets Ymin), red under-voltage within the rating, grey
//   from the rating to Ie.
// - Any other kind: none.
// A grey band whose start lies at or beyond its end is left out, and no shape
// reaches past Ie on the current axis.
SweepRegions BuildSweepRegions(const SweepRegionInputs& in);

// True when a step at currentMa reading `volts` lies in a grey band, where the
// source may shut down. A band begins above its start current: a step at the
// rating (where the band beyond it starts) is still held to the window, as the
// source must deliver its rated current. It reaches up to its end current and
// its top voltage, both included, and down to any voltage: its lower edge is
// only where the drawing stops (the axis minimum), and a source that shut down
// reads below it.
bool InShutDownRegion(const SweepRegions& regions, int currentMa, float volts);

// The verdict of a step with the sweep's regions, as the command line judges
// it (the window logs the plain verdict above). A step outside the window is permitted when
// it lies in a grey "Permissible shut down region" (InShutDownRegion): it is
// logged in category 4 with kShutDownRegionNote after its text. Any other step
// outside the window fails (category 3).
constexpr const wchar_t* kShutDownRegionNote = L" (permissible shut down region)";
SweepStepLine JudgeSweepStep(float volts, uint16_t stepCurrentMa, const std::optional<VoltageWindow>& window,
                             const SweepRegions& regions);
