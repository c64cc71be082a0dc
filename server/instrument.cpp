#include "server/instrument.h"

#include <cmath>
#include <cstdio>

#include "core/config/config_rules.h"
#include "core/link/measured_values.h"
#include "core/link/monitor_core.h"
#include "core/link/profile_text.h"
#include "core/report/run_verdict.h"
#include "core/base/tester_state.h"
#include "core/base/utf8.h"

using scpi::Param;
using scpi::ParamKind;
using scpi::Unit;

namespace {

constexpr uint16_t kTopLoadMa = 5100;     // the most any tester draws
constexpr double kMaxWatchdogS = 3600;
constexpr double kMaxRippleS = 3600;
constexpr const char* kNotANumber = "9.91E+37";  // SCPI's not-a-number, for a reading that failed
constexpr const char* kScpiVersion = "1999.0";

std::string Format(const char* format, double a, double b = 0, double c = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

// A value of a numeric parameter in its base unit (A, V, s), or one of the
// words every numeric parameter takes.
struct Value {
  enum Which { Number, Min, Max, Def } which = Number;
  double base = 0;
};

enum class Quantity { Current, Voltage, Time, Plain };

// The suffixes of a quantity and their factor to the base unit.
double UnitFactor(Quantity q, const std::string& unit) {
  if (unit.empty()) return 1;
  switch (q) {
    case Quantity::Current: return unit == "A" ? 1 : unit == "MA" ? 1e-3 : 0;
    case Quantity::Voltage: return unit == "V" ? 1 : unit == "MV" ? 1e-3 : 0;
    case Quantity::Time: return unit == "S" ? 1 : unit == "MS" ? 1e-3 : 0;
    default: return 0;
  }
}

bool IsWord(const Param& p, const char* shortForm, const char* longForm) {
  return p.kind == ParamKind::Word && (p.text == shortForm || p.text == longForm);
}

// 0 and `*out` when `p` is a value of the quantity; else the error number and `*detail`.
int ReadValue(const Param& p, Quantity q, Value* out, std::string* detail) {
  if (p.kind == ParamKind::Word) {
    if (IsWord(p, "MIN", "MINIMUM")) out->which = Value::Min;
    else if (IsWord(p, "MAX", "MAXIMUM")) out->which = Value::Max;
    else if (IsWord(p, "DEF", "DEFAULT")) out->which = Value::Def;
    else return *detail = p.text, scpi::kIllegalParameterValue;
    return 0;
  }
  if (p.kind != ParamKind::Number) return *detail = "a number was expected", scpi::kDataTypeError;
  const double factor = UnitFactor(q, p.unit);
  if (factor == 0) return *detail = p.unit, q == Quantity::Plain ? scpi::kSuffixNotAllowed : scpi::kInvalidSuffix;
  out->which = Value::Number;
  out->base = p.number * factor;
  return 0;
}

// ON, OFF, 1 or 0.
int ReadBool(const Param& p, bool* out, std::string* detail) {
  if (IsWord(p, "ON", "ON") || (p.kind == ParamKind::Number && p.unit.empty() && p.number == 1)) return *out = true, 0;
  if (IsWord(p, "OFF", "OFF") || (p.kind == ParamKind::Number && p.unit.empty() && p.number == 0)) return *out = false, 0;
  *detail = p.text;
  return p.kind == ParamKind::String ? scpi::kDataTypeError : scpi::kIllegalParameterValue;
}

std::string Amps(uint32_t ma) { return Format("%.3f", ma / 1000.0); }
std::string Volts(uint32_t mv) { return Format("%.3f", mv / 1000.0); }

// A reply field without the separators of a reply.
std::string Field(std::string text) {
  for (char& c : text) {
    if (c == ',' || c == ';' || c == '"' || static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = ' ';
  }
  return text;
}

std::string QuotedText(const std::string& text) { return "\"" + Field(text) + "\""; }

const char* VerdictWord(Verdict v) { return v == Verdict::Pass ? "PASS" : v == Verdict::Fail ? "FAIL" : "NONE"; }

const char* ModeWord(uint32_t mode) { return mode == AllowOverLimit ? "ALL" : mode == ForceLimit ? "FORC" : "ENF"; }

}  // namespace

// The command set: header (the standard's notation), forms, handler.
struct Instrument::Handler {
  scpi::Command command;
  void (Instrument::*run)(const Unit&, Reply*);
};

#define H(header, set, query, fn) {{header, 0, set, query}, &Instrument::fn}

std::span<const scpi::Command> Instrument::Commands() {
  static const std::vector<scpi::Command> commands = [] {
    size_t n = 0;
    const Handler* table = Table(&n);
    std::vector<scpi::Command> out;
    for (size_t i = 0; i < n; ++i) {
      out.push_back(table[i].command);
      out.back().id = static_cast<int>(i);
    }
    return out;
  }();
  return commands;
}

const Instrument::Handler* Instrument::Table(size_t* count) {
  static const Handler kTable[] = {
      H("*IDN", false, true, Identify),
      H("*RST", true, false, Reset),
      H("*CLS", true, false, ClearStatus),
      H("*OPC", true, true, OperationComplete),
      H("*ESR", false, true, EventStatus),
      H("*ESE", true, true, EventEnable),
      H("*SRE", true, true, ServiceEnable),
      H("*STB", false, true, StatusByte),
      H("*WAI", true, false, Wait),
      H("SYSTem:ERRor[:NEXT]", false, true, NextError),
      H("SYSTem:ERRor:COUNt", false, true, ErrorCount),
      H("SYSTem:VERSion", false, true, Version),
      H("SYSTem:WDOG", true, true, Watchdog),
      H("MEASure[:SCALar]:VOLTage[:DC]", false, true, MeasureVoltage),
      H("MEASure[:SCALar]:CURRent[:DC]", false, true, MeasureCurrent),
      H("MEASure[:SCALar]:POWer[:DC]", false, true, MeasurePower),
      H("MEASure[:SCALar]:TEMPerature", false, true, MeasureTemperature),
      H("MEASure[:SCALar]:ALL", false, true, MeasureAll),
      H("[SOURce#:]CURRent[:LEVel][:IMMediate][:AMPLitude]", true, true, Level),
      H("[SOURce#:]CURRent:LIMit:MODE", true, true, LimitMode),
      H("[SOURce#:]CURRent:LIMit[:LEVel]", true, true, LimitLevel),
      H("[SOURce#:]CURRent:LIMit:ACCept", true, true, AcceptRisk),
      H("INPut#[:STATe]", true, true, Input),
      H("PROFile:COUNt", false, true, ProfileCount),
      H("PROFile", false, true, Profile),
      H("PROFile:SELect", true, true, SelectProfile),
      H("PROFile:VOLTage", true, true, ProfileVoltage),
      H("CAPacity", false, true, Capacity),
      H("CAPacity:RESet", true, false, ResetCapacity),
      H("RIPPle[:CAPTure]", true, false, Ripple),
      H("RIPPle:RESult", false, true, RippleResult),
      H("SWEep[:RUN]", true, false, Sweep),
      H("SWEep:RESult", false, true, SweepResult),
      H("SWEep:STEP:CURRent", true, true, SweepCurrentStep),
      H("SWEep:STEP:TIME", true, true, SweepTimeStep),
  };
  *count = sizeof kTable / sizeof kTable[0];
  return kTable;
}

#undef H

Instrument::Instrument(ServedTester& tester) : tester_(tester), parser_(Commands()) {}

void Instrument::Error(int code, std::string_view detail) {
  errors_.Push(code, detail);
  eventStatus_ |= scpi::EventBitOf(code);
}

void Instrument::Overrun() { Error(scpi::kInputBufferOverrun, "a message is longer than 4096 bytes"); }

std::string Instrument::Execute(std::string_view message) {
  size_t count = 0;
  const Handler* table = Table(&count);
  std::string response;
  for (const Unit& u : parser_.Parse(message)) {
    if (u.error != 0) {
      Error(u.error, u.detail);
      break;
    }
    for (const int suffix : u.suffixes) {
      if (suffix != 1) {
        Error(scpi::kHeaderSuffixOutOfRange, "this tester has one input");
        return response;
      }
    }
    CheckSource();
    Reply reply;
    (this->*table[u.id].run)(u, &reply);
    if (u.query && !reply.empty()) response += (response.empty() ? "" : ";") + reply;
  }
  return response;
}

bool Instrument::ParamCount(const Unit& u, size_t least, size_t most) {
  if (u.params.size() < least) {
    Error(scpi::kMissingParameter);
    return false;
  }
  if (u.params.size() > most) {
    Error(scpi::kParameterNotAllowed, Format("at most %.0f", static_cast<double>(most)));
    return false;
  }
  return true;
}

void Instrument::CheckSource() {
  // A detach takes the load off (the core sets 0 mA): the input is off.
  if (inputOn_ && !tester_.SourceAttached()) {
    inputOn_ = false;
    Error(scpi::kSourceDetached, "input off");
  }
}

uint16_t Instrument::CeilingMa() { return ComputeMaxLoadCurrent(limitMode_, tester_.RatedMa(), forcedIndex_, kTopLoadMa); }

std::string Instrument::CeilingText() {
  return "the ceiling of " + Amps(CeilingMa()) + " A (limit mode " + ModeWord(limitMode_) + ", rated current " +
         Amps(tester_.RatedMa()) + " A)";
}

bool Instrument::WatchdogExpired() {
  if (!inputOn_) return false;
  const std::string problem = tester_.SafeEnd();
  inputOn_ = false;
  limitMode_ = EnforceLimits;
  Error(scpi::kWatchdogExpired, problem.empty() ? "input off, load 0 A, limits enforced" : problem);
  return true;
}

std::string Instrument::End() {
  inputOn_ = false;
  limitMode_ = EnforceLimits;
  return tester_.SafeEnd();
}

// --- IEEE 488.2 common commands -------------------------------------------------

void Instrument::Identify(const Unit& u, Reply* reply) {
  if (!ParamCount(u, 0, 0)) return;
  const TesterIdentity id = tester_.Identity();
  *reply = Field(id.maker) + "," + Field(id.model) + "," + Field(id.serial.empty() ? "0" : id.serial) + "," +
           Field(id.firmware);
}

void Instrument::Reset(const Unit& u, Reply*) {
  if (!ParamCount(u, 0, 0)) return;
  inputOn_ = false;
  levelMa_ = 0;
  riskAccepted_ = false;
  sweepStepMa_ = 25;
  sweepStepMs_ = 500;
  ripple_.reset();
  sweep_.reset();
  std::string problem = tester_.SetLoad(0);
  limitMode_ = EnforceLimits;
  forcedIndex_ = 0;
  if (const std::string why = tester_.SetLimits(EnforceLimits, 0); !why.empty() && problem.empty()) problem = why;
  if (problem.empty() && tester_.SourceAttached() && tester_.ActiveRow() != 0) problem = tester_.SelectRow(0);
  if (!problem.empty()) Error(scpi::kExecutionError, problem);
}

void Instrument::ClearStatus(const Unit& u, Reply*) {
  if (!ParamCount(u, 0, 0)) return;
  errors_.Clear();
  eventStatus_ = 0;
}

void Instrument::OperationComplete(const Unit& u, Reply* reply) {
  if (!ParamCount(u, 0, 0)) return;
  // Every command is done before the next one is read.
  if (u.query) {
    *reply = "1";
  } else {
    eventStatus_ |= scpi::kOperationComplete;
  }
}

void Instrument::EventStatus(const Unit& u, Reply* reply) {
  if (!ParamCount(u, 0, 0)) return;
  *reply = std::to_string(eventStatus_);
  eventStatus_ = 0;
}

namespace {

// A register value 0..255 for *ESE and *SRE.
bool ReadRegister(const Unit& u, uint8_t* out, int* error) {
  Value v;
  std::string detail;
  if ((*error = ReadValue(u.params[0], Quantity::Plain, &v, &detail)) != 0) return false;
  if (v.which != Value::Number) v.base = v.which == Value::Max ? 255 : 0;
  if (v.base < 0 || v.base > 255 || v.base != std::floor(v.base)) {
    *error = scpi::kDataOutOfRange;
    return false;
  }
  *out = static_cast<uint8_t>(v.base);
  return true;
}

}  // namespace

void Instrument::EventEnable(const Unit& u, Reply* reply) {
  if (u.query) {
    if (ParamCount(u, 0, 0)) *reply = std::to_string(eventEnable_);
    return;
  }
  int error = 0;
  if (ParamCount(u, 1, 1) && !ReadRegister(u, &eventEnable_, &error)) Error(error, "0 to 255");
}

void Instrument::ServiceEnable(const Unit& u, Reply* reply) {
  if (u.query) {
    if (ParamCount(u, 0, 0)) *reply = std::to_string(serviceEnable_);
    return;
  }
  int error = 0;
  if (ParamCount(u, 1, 1) && !ReadRegister(u, &serviceEnable_, &error)) Error(error, "0 to 255");
}

void Instrument::StatusByte(const Unit& u, Reply* reply) {
  if (!ParamCount(u, 0, 0)) return;
  uint8_t stb = 0;
  if (errors_.Count() > 0) stb |= 4;                   // error/event queue not empty
  if (eventStatus_ & eventEnable_) stb |= 32;          // event status summary
  if (stb & serviceEnable_) stb |= 64;                 // master summary
  *reply = std::to_string(stb);
}

void Instrument::Wait(const Unit& u, Reply*) { ParamCount(u, 0, 0); }

// --- SYSTem ---------------------------------------------------------------------------

void Instrument::NextError(const Unit& u, Reply* reply) {
  if (ParamCount(u, 0, 0)) *reply = errors_.Next();
}

void Instrument::ErrorCount(const Unit& u, Reply* reply) {
  if (ParamCount(u, 0, 0)) *reply = std::to_string(errors_.Count());
}

void Instrument::Version(const Unit& u, Reply* reply) {
  if (ParamCount(u, 0, 0)) *reply = kScpiVersion;
}

void Instrument::Watchdog(const Unit& u, Reply* reply) {
  if (u.query) {
    if (ParamCount(u, 0, 1)) *reply = Format("%g", watchdogS_);
    return;
  }
  if (!ParamCount(u, 1, 1)) return;
  bool on = true;
  std::string detail;
  if (ReadBool(u.params[0], &on, &detail) == 0 && u.params[0].kind == ParamKind::Word) {
    if (!on) watchdogS_ = 0;
    else Error(scpi::kIllegalParameterValue, "give the time in seconds");
    return;
  }
  Value v;
  if (const int error = ReadValue(u.params[0], Quantity::Time, &v, &detail)) return Error(error, detail);
  const double s = v.which == Value::Max ? kMaxWatchdogS : v.which == Value::Number ? v.base : 0;
  if (!(s == 0 || (s >= 0.1 && s <= kMaxWatchdogS))) return Error(scpi::kDataOutOfRange, "0 (off) or 0.1 to 3600 s");
  watchdogS_ = s;
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
  else return Error(p.kind == ParamKind::Word ? scpi::kIllegalParameterValue : scpi::kDataTypeError, "ENForce, ALLow or FORCe");
  if (mode != EnforceLimits && !riskAccepted_) {
    return Error(scpi::kSettingsConflict, std::string(ModeWord(mode)) +
                                              " lets the load exceed the source's rating: send CURRent:LIMit:ACCept "
                                              "first to accept that");
  }
  if (const std::string why = tester_.SetLimits(mode, forcedIndex_); !why.empty()) return Error(scpi::kExecutionError, why);
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
  if (std::fabs(amps * 2 - halfAmps) > 1e-6) return Error(scpi::kIllegalParameterValue, "the ceiling goes in steps of 0.5 A");
  const auto index = static_cast<uint16_t>(halfAmps - 2);
  if (limitMode_ == ForceLimit) {
    if (const std::string why = tester_.SetLimits(ForceLimit, index); !why.empty()) return Error(scpi::kExecutionError, why);
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
  if (levelMa_ > CeilingMa()) return Error(scpi::kSettingsConflict, "the level of " + Amps(levelMa_) + " A is above " + CeilingText());
  if (const std::string why = tester_.SetLoad(levelMa_); !why.empty()) return Error(scpi::kExecutionError, why);
  inputOn_ = true;
}

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
  if (!(row >= 0 && row < count && row == std::floor(row))) return Error(scpi::kDataOutOfRange, Format("rows 0 to %.0f", count - 1.0));
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
           std::to_string(s.stepCount) + "," + Amps(s.endMa) + "," + QuotedText(failing ? Utf8(failing->line.text) : "");
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
  const ConfigCheckResult r = CheckCurrentStep(ma > 1e9 ? 1000000000LL : ma < -1e9 ? -1000000000LL : static_cast<int64_t>(ma));
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
