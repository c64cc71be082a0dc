// The instrument's command table, the carrying out of a message, the IEEE
// 488.2 common commands, SYSTem and the ends of a client's session.
#include "server/instrument.h"

#include <cmath>

#include "core/base/tester_state.h"
#include "core/base/utf8.h"
#include "server/scpi_values.h"

using namespace scpi;  // units and parameters, the value helpers, the error numbers

namespace {

constexpr double kMaxWatchdogS = 3600;
constexpr const char* kScpiVersion = "1999.0";

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

