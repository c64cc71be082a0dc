#include "cli/cli_values.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", v);
  return text;
}

// Digits with an optional sign: what a whole-number option converts exactly.
bool WholeNumberText(const std::string& text) {
  size_t i = text[0] == '-' || text[0] == '+' ? 1 : 0;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

// A finite number written as a whole (no blanks around it, nothing after it).
bool ParseNumber(const std::string& text, double* value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && errno != ERANGE && std::isfinite(*value);
}

}  // namespace

std::string CheckNumberText(const std::string& text, const NumberRule& rule) {
  double v = 0;
  bool ok = ParseNumber(text, &v) && (!rule.whole || WholeNumberText(text));
  ok = ok && (rule.aboveLow ? v > rule.low : v >= rule.low) && v <= rule.high;
  if (ok) return "";
  std::string want = rule.whole ? "a whole number" : "a number";
  if (rule.showRange) {
    want += rule.aboveLow ? " above " + Number(rule.low) + " and at most " : " from " + Number(rule.low) + " to ";
    want += Number(rule.high);
  }
  if (*rule.unit) want += std::string(rule.showRange ? " " : " of ") + rule.unit;
  if (rule.showRange && *rule.span) want += std::string(" (") + rule.span + ")";
  return "must be " + want + ", not " + (text.empty() ? std::string("empty") : text);
}

CLI::Validator NumberIn(const NumberRule& rule) {
  return CLI::Validator([rule](std::string& text) { return CheckNumberText(text, rule); }, "");
}
