#include "core/graphs/voltage_window.h"

#include "core/base/tester_state.h"

namespace {

// 4.75 V less the 5 V port slope at load L, single precision.
float PortLowVolts(float lowVolts, float loadMa) {
  const float drop = (loadMa / 1000.0f) * kPortSlopeVoltsPerAmp;
  return lowVolts - drop;
}

// The Type-C/PD correction: L / D in single precision, the rest in double.
float TypeCPdLowVolts(float lowVolts, float loadMa, uint16_t maxLoadCurrentMa) {
  const float fraction = loadMa / static_cast<float>(TypeCPdScaleMa(maxLoadCurrentMa));
  return static_cast<float>(static_cast<double>(lowVolts) - static_cast<double>(fraction) * kTypeCPdDropVolts);
}

}  // namespace

std::optional<VoltageWindow> ComputeVoltageWindow(const VoltageWindowInputs& in) {
  const float volts = static_cast<float>(in.profileVoltageMv) / 1000.0f;
  const float loadMa = static_cast<float>(in.loadSetpointMa);
  const bool correct = !in.estimateUpstream;
  VoltageWindow w;

  switch (in.profileKind) {
    case 1:  // PTY: a 5 V port
      w.high = kPortHighVolts;
      w.low = correct ? PortLowVolts(kPortLowVolts, loadMa) : kPortLowVolts;
      return w;
    case 2:  // Battery Charging
      if (in.profileSubKind > 2) return std::nullopt;
      w.high = kPortHighVolts;
      if (in.profileSubKind == 2 && in.measuredCurrentMa >= kDcpThresholdMa) {
        w.low = kDcpLowVolts;
        return w;
      }
      w.low = correct ? PortLowVolts(kPortLowVolts, loadMa) : kPortLowVolts;
      return w;
    case 3:  // Quick Charge
      w.high = volts * kHighFactor;
      w.low = volts * kLowFactor;
      if (correct) w.low = PortLowVolts(w.low, loadMa);
      return w;
    case 4:  // USB Type-C current advertisement
      w.high = kTypeCHighVolts;
      w.low = volts * kLowFactor;
      if (correct) w.low = TypeCPdLowVolts(w.low, loadMa, in.maxLoadCurrentMa);
      return w;
    case 5:  // Power Delivery
      w.high = volts * kHighFactor;
      w.low = volts * kLowFactor;
      if (correct) w.low = TypeCPdLowVolts(w.low, loadMa, in.maxLoadCurrentMa);
      return w;
    default:  // legacy and unknown kinds
      return std::nullopt;
  }
}

VoltageWindowInputs CurrentVoltageWindowInputs(const TesterState& state) {
  VoltageWindowInputs in;
  in.profileKind = state.live.profileKind;
  in.profileSubKind = state.live.profileSubKind;
  in.profileVoltageMv = state.live.profileVoltageMv;
  in.loadSetpointMa = state.live.loadSetpointMa;
  in.measuredCurrentMa = state.live.measuredCurrentMa;
  in.estimateUpstream = state.config.estimateUpstream != 0;
  in.maxLoadCurrentMa = state.config.maxLoadCurrentMa;
  return in;
}

bool GetVoltageWindow(const TesterState& state, float& low, float& high) {
  const std::optional<VoltageWindow> w = ComputeVoltageWindow(CurrentVoltageWindowInputs(state));
  if (!w) return false;
  low = w->low;
  high = w->high;
  return true;
}
