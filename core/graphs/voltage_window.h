// The operating voltage window of the active source profile: between which two
// VBUS voltages the source must stay, given the profile's kind, its voltage and
// the load the tester draws. Used by the monitor loop's under/over-voltage check,
// the sweep's verdicts and regions, and the real-time graph's band.
#pragma once

#include <cstdint>
#include <optional>

class TesterState;

// Everything the window depends on, as plain values.
struct VoltageWindowInputs {
  uint32_t profileKind = 0;        // 0 legacy, 1 PTY, 2 Battery Charging, 3 QC, 4 Type-C current, 5 PD
  uint8_t profileSubKind = 0;      // Battery Charging: 0 SDP, 1 CDP, 2 DCP
  uint16_t profileVoltageMv = 0;   // nominal voltage of the active profile
  uint16_t loadSetpointMa = 0;     // load the tester is told to draw
  uint16_t measuredCurrentMa = 0;  // decides the DCP case
  bool estimateUpstream = false;   // set: no load correction of the low bound
  uint16_t maxLoadCurrentMa = 0;   // > 3000 selects the 5000 mA scale of Type-C/PD
};

struct VoltageWindow {
  float low = 0.0f;   // volts
  float high = 0.0f;  // volts
};

// Constants of the window rules.
constexpr float kPortHighVolts = 5.25f;     // 5 V ports and DCP
constexpr float kPortLowVolts = 4.75f;      // 5 V ports and DCP below 500 mA
constexpr float kDcpLowVolts = 2.0f;        // DCP at 500 mA and above
constexpr float kTypeCHighVolts = 5.5f;     // USB Type-C current advertisement
constexpr float kHighFactor = 1.05f;        // QC and PD
constexpr float kLowFactor = 0.95f;         // QC, Type-C and PD
constexpr float kPortSlopeVoltsPerAmp = 0.834f;  // 5 V ports and QC
constexpr double kTypeCPdDropVolts = 0.75;       // over the full scale of Type-C and PD
constexpr uint16_t kDcpThresholdMa = 500;

// Full scale D of the Type-C/PD correction: 5000 mA when the ceiling (or, for the
// sweep regions, the rated current) is above 3000 mA, else 3000 mA.
inline uint16_t TypeCPdScaleMa(uint16_t currentMa) { return currentMa > 3000 ? 5000 : 3000; }

// The window for the given inputs, or no value for kinds without one (kind 0,
// Battery Charging with a sub-kind above 2, any kind above 5).
//
// Precision: every step is single precision, except for kinds 4 and 5 where the
// quotient L / D is single precision and the product with 0.75 and the
// subtraction are double precision, the result stored as single precision.
std::optional<VoltageWindow> ComputeVoltageWindow(const VoltageWindowInputs& in);

// The inputs as they are now in a tester's state (live, config).
VoltageWindowInputs CurrentVoltageWindowInputs(const TesterState& state);

// Window of the active profile, read live from a tester's state. Returns true and
// writes low and high when the profile has a window; returns false and leaves
// both untouched when it has none, so callers must not compare against them then
// (no under- or over-voltage verdict without a window).
bool GetVoltageWindow(const TesterState& state, float& low, float& high);
