// The instrument's readings, load, input and limits.
#include "server/instrument.h"

#include <cmath>

#include "core/base/tester_state.h"
#include "core/base/utf8.h"
#include "core/config/config_rules.h"
#include "core/link/measured_values.h"
#include "core/link/monitor_core.h"
#include "server/scpi_values.h"

using namespace scpi;  // units and parameters, the value helpers, the error numbers

namespace {

constexpr uint16_t kTopLoadMa = 5100;            // the most any tester draws
constexpr const char* kNotANumber = "9.91E+37";  // SCPI's not-a-number, for a reading that failed

}  // namespace

uint16_t Instrument::CeilingMa() {
  return ComputeMaxLoadCurrent(limitMode_, tester_.RatedMa(), forcedIndex_, kTopLoadMa);
}

std::string Instrument::CeilingText() {
  return "the ceiling of " + Amps(CeilingMa()) + " A (limit mode " + ModeWord(limitMode_) + ", rated current " +
         Amps(tester_.RatedMa()) + " A)";
}

// --- MEASure ----------------------------------------------------------------------------

std::optional<Reading> Instrument::Fresh(Reply* reply) {
  std::optional<Reading> r = tester_.Measure();
  if (!r) {
    Error(scpi::kHardwareError, "the tester did not answer the measurement request");
    *reply = kNotANumber;
  }
  return r;
}

void Instrument::MeasureVoltage(const Unit& u, Reply* reply) {
  if (!ParamCount(u, 0, 0)) return;
  if (const auto r = Fresh(reply)) *reply = Volts(r->vbusMv);
}

void Instrument::MeasureCurrent(const Unit& u, Reply* reply) {
  if (!ParamCount(u, 0, 0)) return;
  if (const auto r = Fresh(reply)) *reply = Amps(r->currentMa);
}

void Instrument::MeasurePower(const Unit& u, Reply* reply) {
  if (!ParamCount(u, 0, 0)) return;
  if (const auto r = Fresh(reply)) *reply = Format("%.3f", WattsOf(r->vbusMv, r->currentMa));
}

void Instrument::MeasureTemperature(const Unit& u, Reply* reply) {
  if (!ParamCount(u, 0, 0)) return;
  if (const auto r = Fresh(reply)) *reply = std::to_string(r->temperatureC);
}

void Instrument::MeasureAll(const Unit& u, Reply* reply) {
  if (!ParamCount(u, 0, 0)) return;
  const auto r = Fresh(reply);
  if (!r) {
    *reply = kNotANumber;
    for (int i = 0; i < 5; ++i) *reply += std::string(",") + kNotANumber;
    return;
  }
  *reply = Volts(r->vbusMv) + "," + Amps(r->currentMa) + "," + Format("%.3f", WattsOf(r->vbusMv, r->currentMa)) +
           "," + std::to_string(r->temperatureC) + "," + Amps(r->setpointMa) + "," + Amps(r->loopbackMa);
}

// --- The load ------------------------------------------------------------------------------

void Instrument::Level(const Unit& u, Reply* reply) {
  if (u.query) {
    if (!ParamCount(u, 0, 1)) return;
    if (u.params.empty()) return void(*reply = Amps(levelMa_));
    Value v;
    std::string detail;
    if (const int error = ReadValue(u.params[0], Quantity::Current, &v, &detail)) return Error(error, detail);
    if (v.which == Value::Number) return Error(scpi::kIllegalParameterValue, "MIN, MAX or DEF");
    *reply = Amps(v.which == Value::Max ? CeilingMa() : 0);
    return;
  }
  if (!ParamCount(u, 1, 1)) return;
  Value v;
  std::string detail;
  if (const int error = ReadValue(u.params[0], Quantity::Current, &v, &detail)) return Error(error, detail);
  const bool source = tester_.SourceAttached();
  const double amps = v.which == Value::Max ? CeilingMa() / 1000.0 : v.which == Value::Number ? v.base : 0;
  if (!(amps >= 0 && amps <= kTopLoadMa / 1000.0)) return Error(scpi::kDataOutOfRange, "0 to 5.100 A");
  const auto ma = static_cast<uint16_t>(std::lround(amps * 1000));
  if (source && ma > CeilingMa()) return Error(scpi::kDataOutOfRange, Amps(ma) + " A is above " + CeilingText());
  levelMa_ = ma;
  if (inputOn_) {
    if (const std::string why = tester_.SetLoad(ma); !why.empty()) Error(scpi::kExecutionError, why);
  }
}

void Instrument::LimitMode(const Unit& u, Reply* reply) {
  if (u.query) {
    if (ParamCount(u, 0, 0)) *reply = ModeWord(limitMode_);
    return;
  }
  if (!ParamCount(u, 1, 1)) return;
  const Param& p = u.params[0];
  uint32_t mode = 0;
  if (IsWord(p, "ENF", "ENFORCE")) mode = EnforceLimits;
  else if (IsWord(p, "ALL", "ALLOW")) mode = AllowOverLimit;
  else if (IsWord(p, "FORC", "FORCE")) mode = ForceLimit;
  else
    return Error(p.kind == ParamKind::Word ? scpi::kIllegalParameterValue : scpi::kDataTypeError,
                 "ENForce, ALLow or FORCe");
  if (mode != EnforceLimits && !riskAccepted_) {
    return Error(scpi::kSettingsConflict, std::string(ModeWord(mode)) +
                                              " lets the load exceed the source's rating: send CURRent:LIMit:ACCept "
                                              "first to accept that");
  }
  if (const std::string why = tester_.SetLimits(mode, forcedIndex_); !why.empty())
    return Error(scpi::kExecutionError, why);
  limitMode_ = mode;
}

void Instrument::LimitLevel(const Unit& u, Reply* reply) {
  if (u.query) {
    if (ParamCount(u, 0, 0)) *reply = Amps(ForceLimitCeilingMa(forcedIndex_));
    return;
  }
  if (!ParamCount(u, 1, 1)) return;
  Value v;
  std::string detail;
  if (const int error = ReadValue(u.params[0], Quantity::Current, &v, &detail)) return Error(error, detail);
  const double amps = v.which == Value::Max ? 5.0 : v.which == Value::Number ? v.base : 1.0;
  if (!(amps >= 1.0 && amps <= 5.0)) return Error(scpi::kDataOutOfRange, "1 to 5 A");
  const long halfAmps = std::lround(amps * 2);
  if (std::fabs(amps * 2 - halfAmps) > 1e-6)
    return Error(scpi::kIllegalParameterValue, "the ceiling goes in steps of 0.5 A");
  const auto index = static_cast<uint16_t>(halfAmps - 2);
  if (limitMode_ == ForceLimit) {
    if (const std::string why = tester_.SetLimits(ForceLimit, index); !why.empty())
      return Error(scpi::kExecutionError, why);
  }
  forcedIndex_ = index;
}

void Instrument::AcceptRisk(const Unit& u, Reply* reply) {
  if (!ParamCount(u, 0, 0)) return;
  if (u.query) {
    *reply = riskAccepted_ ? "1" : "0";
  } else {
    riskAccepted_ = true;
  }
}

void Instrument::Input(const Unit& u, Reply* reply) {
  if (u.query) {
    if (ParamCount(u, 0, 0)) *reply = inputOn_ ? "1" : "0";
    return;
  }
  if (!ParamCount(u, 1, 1)) return;
  bool on = false;
  std::string detail;
  if (const int error = ReadBool(u.params[0], &on, &detail)) return Error(error, detail);
  if (!on) {
    inputOn_ = false;
    if (const std::string why = tester_.SetLoad(0); !why.empty()) Error(scpi::kExecutionError, why);
    return;
  }
  if (!tester_.SourceAttached()) return Error(scpi::kExecutionError, Utf8(kNoSourceText));
  if (levelMa_ > CeilingMa())
    return Error(scpi::kSettingsConflict, "the level of " + Amps(levelMa_) + " A is above " + CeilingText());
  if (const std::string why = tester_.SetLoad(levelMa_); !why.empty()) return Error(scpi::kExecutionError, why);
  inputOn_ = true;
}

