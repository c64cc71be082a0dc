// The accepted range of each number the command line takes, checked on the text as given: every way a number can be
// unusable is refused with the same message, and the ends of each range are accepted.
#include <gtest/gtest.h>

#include "cli/cli_values.h"

namespace {

struct Case {
  const char* text;
  NumberRule rule;
  const char* refusal;  // "" when accepted
};

TEST(CliValues, EachRuleAcceptsItsRangeAndRefusesEverythingElseWithOneMessage) {
  using namespace ranges;
  const Case cases[] = {
      {"0", kLoadMa, ""}, {"5100", kLoadMa, ""}, {"+5", kLoadMa, ""},
      {"5101", kLoadMa, "must be a whole number from 0 to 5100 mA, not 5101"},
      {"-5", kLoadMa, "must be a whole number from 0 to 5100 mA, not -5"},
      // Whole numbers are written as such: what CLI11 then converts exactly.
      {"1.5", kLoadMa, "must be a whole number from 0 to 5100 mA, not 1.5"},
      {"1e3", kLoadMa, "must be a whole number from 0 to 5100 mA, not 1e3"},
      {"0x10", kLoadMa, "must be a whole number from 0 to 5100 mA, not 0x10"},
      {"", kLoadMa, "must be a whole number from 0 to 5100 mA, not empty"},
      {"99999999999999999999", kLoadMa, "must be a whole number from 0 to 5100 mA, not 99999999999999999999"},
      {"0", kHoldSeconds, ""}, {"0.5", kHoldSeconds, ""}, {"2592000", kHoldSeconds, ""},
      {"2592000.5", kHoldSeconds, "must be a number from 0 to 2592000 s (30 days), not 2592000.5"},
      {"nan", kHoldSeconds, "must be a number from 0 to 2592000 s (30 days), not nan"},
      {"-nan", kHoldSeconds, "must be a number from 0 to 2592000 s (30 days), not -nan"},
      {"inf", kHoldSeconds, "must be a number from 0 to 2592000 s (30 days), not inf"},
      {"-3", kHoldSeconds, "must be a number from 0 to 2592000 s (30 days), not -3"},
      {"1e300", kHoldSeconds, "must be a number from 0 to 2592000 s (30 days), not 1e300"},
      {"1e999", kHoldSeconds, "must be a number from 0 to 2592000 s (30 days), not 1e999"},
      {" 5", kHoldSeconds, "must be a number from 0 to 2592000 s (30 days), not  5"},
      {"5s", kHoldSeconds, "must be a number from 0 to 2592000 s (30 days), not 5s"},
      // A duration of 0 would never end a run: the low end itself is refused.
      {"0", kDurationSeconds, "must be a number above 0 and at most 2592000 s (30 days), not 0"},
      {"-0", kDurationSeconds, "must be a number above 0 and at most 2592000 s (30 days), not -0"},
      {"0.001", kDurationSeconds, ""},
      {"inf", kDurationSeconds, "must be a number above 0 and at most 2592000 s (30 days), not inf"},
      {"-1", kDurationSeconds, "must be a number above 0 and at most 2592000 s (30 days), not -1"},
      {"0", kIntervalMs, ""},
      {"3600001", kIntervalMs, "must be a number from 0 to 3600000 ms (1 hour), not 3600001"},
      {"nan", kStopAfterMah, "must be a number above 0 and at most 1000000 mAh, not nan"},
      {"6", kProfileRow, ""},
      {"7", kProfileRow, "must be a whole number from 0 to 6, not 7"},
      // The sweep's steps: the window's own rules judge the range afterwards.
      {"4", kStepMa, ""}, {"-5", kStepMa, ""}, {"nan", kStepMa, "must be a whole number of mA, not nan"},
      {"667.5", kStepMs, "must be a whole number of ms, not 667.5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("'") + c.text + "'");
    EXPECT_EQ(CheckNumberText(c.text, c.rule), c.refusal);
  }
}

}  // namespace
