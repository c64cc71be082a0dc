// The instrument's source side (profiles and voltage), capacity, and the
// graph window's ripple capture and sweep.
#include "server/instrument.h"

#include <cmath>

#include "core/base/tester_state.h"
#include "core/base/utf8.h"
#include "core/config/config_rules.h"
#include "core/link/monitor_core.h"
#include "core/link/profile_text.h"
#include "server/scpi_values.h"

using namespace scpi;  // units and parameters, the value helpers, the error numbers

namespace {

constexpr double kMaxRippleS = 3600;

}  // namespace

// --- PROFile ------------------------------------------------------------------------------

void Instrument::ProfileCount(const Unit& u, Reply* reply) {
  if (ParamCount(u, 0, 0)) *reply = std::to_string(tester_.SourceAttached() ? tester_.Profiles().count : 0);
}

void Instrument::Profile(const Unit& u, Reply* reply) {
  if (!ParamCount(u, 0, 1)) return;
  if (!tester_.SourceAttached()) return Error(scpi::kExecutionError, Utf8(kNoSourceText));
  const PdoList list = tester_.Profiles();
  int row = tester_.ActiveRow();
  if (!u.params.empty()) {
    Value v;
    std::string detail;
    if (const int error = ReadValue(u.params[0], Quantity::Plain, &v, &detail)) return Error(error, detail);
    const double wanted = v.which == Value::Max ? list.count - 1 : v.which == Value::Number ? v.base : 0;
    if (!(wanted >= 0 && wanted < list.count && wanted == std::floor(wanted))) {
      return Error(scpi::kDataOutOfRange, Format("rows 0 to %.0f", list.count - 1.0));
    }
    row = static_cast<int>(wanted);
  }
  const PdoEntry& e = list.EntryAt(row);
  wchar_t text[kProfileTextChars];
  FormatProfileListText(e, tester_.HardwareRevision(), text, kProfileTextChars);
  *reply = QuotedText(Utf8(text)) + "," + Volts(e.minMv) + "," + Volts(e.maxMv) + "," + Amps(e.maxCurrentMa) + "," +
           (e.IsProgrammable() ? "1" : "0");
}

void Instrument::SelectProfile(const Unit& u, Reply* reply) {
  if (u.query) {
    if (!ParamCount(u, 0, 0)) return;
    if (!tester_.SourceAttached()) return Error(scpi::kExecutionError, Utf8(kNoSourceText));
    *reply = std::to_string(tester_.ActiveRow());
    return;
  }
  if (!ParamCount(u, 1, 1)) return;
  Value v;
  std::string detail;
  if (const int error = ReadValue(u.params[0], Quantity::Plain, &v, &detail)) return Error(error, detail);
  if (!tester_.SourceAttached()) return Error(scpi::kExecutionError, Utf8(kNoSourceText));
  const int count = tester_.Profiles().count;
  const double row = v.which == Value::Max ? count - 1 : v.which == Value::Number ? v.base : 0;
  if (!(row >= 0 && row < count && row == std::floor(row)))
    return Error(scpi::kDataOutOfRange, Format("rows 0 to %.0f", count - 1.0));
  if (const std::string why = tester_.SelectRow(static_cast<int>(row)); !why.empty()) Error(scpi::kExecutionError, why);
}

void Instrument::ProfileVoltage(const Unit& u, Reply* reply) {
  if (u.query) {
    if (ParamCount(u, 0, 0)) *reply = Volts(tester_.SourceAttached() ? tester_.ProfileMv() : 0);
    return;
  }
  if (!ParamCount(u, 1, 1)) return;
  Value v;
  std::string detail;
  if (const int error = ReadValue(u.params[0], Quantity::Voltage, &v, &detail)) return Error(error, detail);
  if (!tester_.SourceAttached()) return Error(scpi::kExecutionError, Utf8(kNoSourceText));
  const PdoList list = tester_.Profiles();
  const PdoEntry& e = list.EntryAt(tester_.ActiveRow());
  double volts = v.base;
  if (v.which != Value::Number) volts = (v.which == Value::Max ? e.maxMv : e.minMv) / 1000.0;
  // The window's rules judge the value, in whole millivolts as it takes them.
  const double mv = std::round(volts * 1000);
  const long long asked = mv > 1e9 ? 1000000000LL : mv < -1e9 ? -1000000000LL : static_cast<long long>(mv);
  if (const std::string why = tester_.SetVoltage(asked); !why.empty()) Error(scpi::kExecutionError, why);
}

// --- CAPacity, RIPPle, SWEep --------------------------------------------------------------------

void Instrument::Capacity(const Unit& u, Reply* reply) {
  if (ParamCount(u, 0, 0)) *reply = Format("%.6f,%.6f", tester_.CapacityMah() / 1000.0, tester_.CapacityMwh() / 1000.0);
}

void Instrument::ResetCapacity(const Unit& u, Reply*) {
  if (ParamCount(u, 0, 0)) tester_.ResetCapacity();
}

void Instrument::Ripple(const Unit& u, Reply*) {
  if (!ParamCount(u, 1, 1)) return;
  Value v;
  std::string detail;
  if (const int error = ReadValue(u.params[0], Quantity::Time, &v, &detail)) return Error(error, detail);
  const double s = v.which == Value::Max ? kMaxRippleS : v.which == Value::Number ? v.base : 1.0;
  if (!(s > 0 && s <= kMaxRippleS)) return Error(scpi::kDataOutOfRange, "more than 0 s, at most 3600 s");
  if (!tester_.SourceAttached()) return Error(scpi::kExecutionError, Utf8(kNoSourceText));
  std::string problem;
  ripple_ = tester_.Ripple(s, &problem);
  if (!problem.empty()) Error(scpi::kExecutionError, "capture ended early: " + problem);
}

void Instrument::RippleResult(const Unit& u, Reply* reply) {
  if (!ParamCount(u, 0, 0)) return;
  if (!ripple_) return Error(scpi::kExecutionError, "no ripple capture yet");
  const RippleCapture& c = *ripple_;
  *reply = std::to_string(c.samples) + "," + Format("%.3f,%.3f,%.3f", c.samples ? c.minVolts : 0.0,
                                                    c.samples ? c.maxVolts : 0.0, c.RippleMv() / 1000.0) +
           "," + VerdictWord(c.verdict);
}

void Instrument::Sweep(const Unit& u, Reply*) {
  if (!ParamCount(u, 0, 0)) return;
  if (!tester_.SourceAttached()) return Error(scpi::kExecutionError, Utf8(kNoSourceText));
  const ConfigCheckResult r = CheckTimeStep(sweepStepMs_, sweepStepMa_);
  if (r.check != ConfigCheck::Ok) {
    wchar_t message[256];
    FormatConfigMessage(r, message, 256);
    return Error(scpi::kSettingsConflict, Utf8(message));
  }
  std::string problem;
  // The sweep takes over the load and ends at 0 mA.
  inputOn_ = false;
  sweep_ = tester_.Sweep(sweepStepMa_, sweepStepMs_, &problem);
  if (!problem.empty()) Error(scpi::kExecutionError, "sweep ended early: " + problem);
}

void Instrument::SweepResult(const Unit& u, Reply* reply) {
  if (!ParamCount(u, 0, 0)) return;
  if (!sweep_) return Error(scpi::kExecutionError, "no sweep yet");
  const SweepRecord& s = *sweep_;
  const JudgedStep* failing = s.judgement.firstFailing >= 0 ? &s.judgement.steps[s.judgement.firstFailing] : nullptr;
  *reply = std::string(VerdictWord(s.judgement.verdict)) + "," + std::to_string(s.judgement.steps.size()) + "," +
           std::to_string(s.stepCount) + "," + Amps(s.endMa) + "," +
           QuotedText(failing ? Utf8(failing->line.text) : "");
}

void Instrument::SweepCurrentStep(const Unit& u, Reply* reply) {
  if (u.query) {
    if (ParamCount(u, 0, 0)) *reply = Amps(sweepStepMa_);
    return;
  }
  if (!ParamCount(u, 1, 1)) return;
  Value v;
  std::string detail;
  if (const int error = ReadValue(u.params[0], Quantity::Current, &v, &detail)) return Error(error, detail);
  const double amps = v.which == Value::Min ? kMinCurrentStepMa / 1000.0
                      : v.which == Value::Max ? kMaxCurrentStepMa / 1000.0
                      : v.which == Value::Def ? 0.025
                                              : v.base;
  const double ma = std::round(amps * 1000);
  const ConfigCheckResult r = CheckCurrentStep(ma > 1e9    ? 1000000000LL
                                               : ma < -1e9 ? -1000000000LL
                                                           : static_cast<int64_t>(ma));
  if (r.check != ConfigCheck::Ok) {
    wchar_t message[256];
    FormatConfigMessage(r, message, 256);
    return Error(scpi::kDataOutOfRange, Utf8(message));
  }
  sweepStepMa_ = static_cast<uint16_t>(ma);
}

void Instrument::SweepTimeStep(const Unit& u, Reply* reply) {
  if (u.query) {
    if (ParamCount(u, 0, 0)) *reply = Format("%.3f", sweepStepMs_ / 1000.0);
    return;
  }
  if (!ParamCount(u, 1, 1)) return;
  Value v;
  std::string detail;
  if (const int error = ReadValue(u.params[0], Quantity::Time, &v, &detail)) return Error(error, detail);
  const double seconds = v.which == Value::Min ? MinTimeStepMs(sweepStepMa_) / 1000.0
                         : v.which == Value::Max ? kMaxTimeStepMs / 1000.0
                         : v.which == Value::Def ? 0.5
                                                 : v.base;
  const double ms = std::round(seconds * 1000);
  if (!(ms >= 1 && ms <= kMaxTimeStepMs)) return Error(scpi::kDataOutOfRange, "at most 60 s");
  // Its lower bound depends on the current step: the sweep checks it.
  sweepStepMs_ = static_cast<uint16_t>(ms);
}

