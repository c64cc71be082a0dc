// The numbers the command line takes, each with its accepted range, checked
// as the options are read: a value out of range, not a number (nan, inf) or
// beyond what a run can use is refused with its own message before any
// tester is looked for, opened or sent anything.
#pragma once

#include <string>

namespace CLI {
class Validator;
}

struct NumberRule {
  const char* unit;       // "mA", "s", ...
  double low;
  double high;
  bool whole = false;     // a whole number only
  bool aboveLow = false;  // `low` itself is refused (a time of 0 would never end)
  const char* span = "";  // `high` in words for long times ("30 days")
  bool showRange = true;  // false: another check names the range (the window's own messages)
};

// Empty when `text` is a number the rule accepts; else why not:
// "must be a whole number from 0 to 5100 mA, not 99999".
std::string CheckNumberText(const std::string& text, const NumberRule& rule);

// The rule as an option's check: CLI11 prefixes the option's name.
CLI::Validator NumberIn(const NumberRule& rule);

// The ranges (the tester's, the window's, and what a run can sensibly last).
namespace ranges {
constexpr long long kMaxLoadMa = 5100;      // the most any tester draws
constexpr double kMaxRunSeconds = 2592000;  // 30 days: load --for, watch --duration
inline constexpr NumberRule kLoadMa{"mA", 0, kMaxLoadMa, true};
inline constexpr NumberRule kHoldSeconds{"s", 0, kMaxRunSeconds, false, false, "30 days"};
inline constexpr NumberRule kDurationSeconds{"s", 0, kMaxRunSeconds, false, true, "30 days"};
inline constexpr NumberRule kIntervalMs{"ms", 0, 3600000, false, false, "1 hour"};
inline constexpr NumberRule kStopBelowMv{"mV", 1, 48000, true};
inline constexpr NumberRule kStopAfterMah{"mAh", 0, 1000000, false, true};
inline constexpr NumberRule kProfileRow{"", 0, 6, true};
inline constexpr NumberRule kVoltageMv{"mV", 3000, 48000, true};
inline constexpr NumberRule kForcedLimitMa{"mA", 1000, 5000, true};
inline constexpr NumberRule kRippleSeconds{"s", 0, 86400, false, true, "1 day"};
inline constexpr NumberRule kReportRippleSeconds{"s", 0, 3600, false, true, "1 hour"};
// The sweep's steps: the window's configuration rules judge their range.
inline constexpr NumberRule kStepMa{"mA", -1e15, 1e15, true, false, "", false};
inline constexpr NumberRule kStepMs{"ms", -1e15, 1e15, true, false, "", false};
inline constexpr NumberRule kLatencyMs{"ms", 1, 255, true};
}  // namespace ranges
