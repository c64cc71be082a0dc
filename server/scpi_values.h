// The parameters and replies of the instrument's commands: numbers in a
// quantity's units (A, MA; V, MV; S, MS) or MIN, MAX, DEF; ON, OFF, 1, 0; and
// reply fields as SCPI responses write them.
#pragma once

#include <cstdint>
#include <string>

#include "core/report/run_verdict.h"
#include "server/scpi_parser.h"

namespace scpi {

// A numeric parameter in its base unit (A, V, s), or one of the words every
// numeric parameter takes.
struct Value {
  enum Which { Number, Min, Max, Def } which = Number;
  double base = 0;
};

enum class Quantity { Current, Voltage, Time, Plain };

bool IsWord(const Param& p, const char* shortForm, const char* longForm);
// 0 and `*out` when `p` is a value of the quantity; else the error number and `*detail`.
int ReadValue(const Param& p, Quantity q, Value* out, std::string* detail);
// ON, OFF, 1 or 0: 0 and `*out`, else the error number and `*detail`.
int ReadBool(const Param& p, bool* out, std::string* detail);

// printf with up to three numbers.
std::string Format(const char* format, double a, double b = 0, double c = 0);
std::string Amps(uint32_t ma);   // "1.500"
std::string Volts(uint32_t mv);  // "9.000"
// A reply field without the separators of a reply (',', ';', '"') or anything unprintable.
std::string Field(std::string text);
std::string QuotedText(const std::string& text);
const char* VerdictWord(Verdict v);  // PASS, FAIL, NONE
const char* ModeWord(uint32_t mode);  // ENF, ALL, FORC for the limit modes

}  // namespace scpi
