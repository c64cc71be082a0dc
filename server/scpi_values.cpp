#include "server/scpi_values.h"

#include <cstdio>

#include "core/base/tester_state.h"
#include "server/scpi_errors.h"

namespace scpi {

std::string Format(const char* format, double a, double b, double c) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

namespace {

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

}  // namespace

bool IsWord(const Param& p, const char* shortForm, const char* longForm) {
  return p.kind == ParamKind::Word && (p.text == shortForm || p.text == longForm);
}

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

int ReadBool(const Param& p, bool* out, std::string* detail) {
  if (IsWord(p, "ON", "ON") || (p.kind == ParamKind::Number && p.unit.empty() && p.number == 1)) return *out = true, 0;
  if (IsWord(p, "OFF", "OFF") || (p.kind == ParamKind::Number && p.unit.empty() && p.number == 0))
    return *out = false, 0;
  *detail = p.text;
  return p.kind == ParamKind::String ? scpi::kDataTypeError : scpi::kIllegalParameterValue;
}

std::string Amps(uint32_t ma) { return Format("%.3f", ma / 1000.0); }
std::string Volts(uint32_t mv) { return Format("%.3f", mv / 1000.0); }

std::string Field(std::string text) {
  for (char& c : text) {
    if (c == ',' || c == ';' || c == '"' || static_cast<unsigned char>(c) < 0x20 ||
        static_cast<unsigned char>(c) >= 0x7F)
      c = ' ';
  }
  return text;
}

std::string QuotedText(const std::string& text) { return "\"" + Field(text) + "\""; }

const char* VerdictWord(Verdict v) { return v == Verdict::Pass ? "PASS" : v == Verdict::Fail ? "FAIL" : "NONE"; }

const char* ModeWord(uint32_t mode) { return mode == AllowOverLimit ? "ALL" : mode == ForceLimit ? "FORC" : "ENF"; }

}  // namespace scpi
