// Configuration dialog rules and the danger confirmation word.
#include <gtest/gtest.h>

#include <string>

#include "config/config_rules.h"

namespace {

std::wstring Message(const ConfigCheckResult& r) {
  wchar_t text[200];
  FormatConfigMessage(r, text, 200);
  return text;
}

TEST(EditNumbers, LeadingNumberOfTheFirstCharacters) {
  EXPECT_EQ(ReadEditNumber(L"  42abc", kConfigEditChars), 42);
  EXPECT_EQ(ReadEditNumber(L"-7", kConfigEditChars), -7);
  EXPECT_EQ(ReadEditNumber(L"+8", kConfigEditChars), 8);
  EXPECT_EQ(ReadEditNumber(L"abc", kConfigEditChars), 0);
  EXPECT_EQ(ReadEditNumber(L"", kConfigEditChars), 0);
  EXPECT_EQ(ReadEditNumber(L"-", kConfigEditChars), 0);
  EXPECT_EQ(ReadEditNumber(nullptr, kConfigEditChars), 0);
  EXPECT_EQ(ReadEditNumber(L"1234567890", kConfigEditChars), 123456789);
  // Blanks and the sign count towards the characters read.
  EXPECT_EQ(ReadEditNumber(L" 12345", kSetVoltageEditChars), 1234);
  EXPECT_EQ(ReadEditNumber(L"12abc", kSetLoadEditChars), 12);
  EXPECT_EQ(ReadEditNumber(L"60000", kSetLoadEditChars), 6000);
  EXPECT_EQ(ReadEditNumber(L"99999999999999", 20), INT32_MAX);
  EXPECT_EQ(ReadEditNumber(L"-99999999999999", 20), INT32_MIN);
}

TEST(ConfigChecks, CurrentStepBounds) {
  ConfigCheckResult low = CheckCurrentStep(4);
  EXPECT_EQ(low.check, ConfigCheck::CurrentStepTooSmall);
  EXPECT_EQ(low.editValue, 5);
  EXPECT_EQ(Message(low), L"Minimum value for Current Intervals is 5mA");
  EXPECT_EQ(CheckCurrentStep(ReadEditNumber(L"none", kConfigEditChars)).check, ConfigCheck::CurrentStepTooSmall);
  EXPECT_EQ(CheckCurrentStep(5).check, ConfigCheck::Ok);
  EXPECT_EQ(CheckCurrentStep(500).check, ConfigCheck::Ok);
  ConfigCheckResult high = CheckCurrentStep(501);
  EXPECT_EQ(high.check, ConfigCheck::CurrentStepTooLarge);
  EXPECT_EQ(high.editValue, 500);
  EXPECT_EQ(Message(high), L"Maximum value for Current Intervals is 500mA");
}

TEST(ConfigChecks, TimeStepLowerBoundFollowsTheCurrentStep) {
  struct Case {
    int step, accepted, rejected, suggested;
  };
  for (const Case& c : {Case{5, 6, 5, 50}, Case{25, 33, 32, 50}, Case{500, 666, 665, 700}}) {
    EXPECT_EQ(CheckTimeStep(c.accepted, c.step).check, ConfigCheck::Ok) << c.step;
    ConfigCheckResult r = CheckTimeStep(c.rejected, c.step);
    EXPECT_EQ(r.check, ConfigCheck::TimeStepTooSmall) << c.step;
    EXPECT_EQ(r.editValue, c.suggested) << c.step;
    EXPECT_EQ(SuggestedTimeStepMs(c.step), c.suggested);
  }
  EXPECT_EQ(Message(CheckTimeStep(32, 25)),
            L"Time Intervals too short for Current Intervals of 25mA. Suggested value is 50 mSec");
  EXPECT_EQ(CheckTimeStep(-1, 25).check, ConfigCheck::TimeStepTooSmall);
}

TEST(ConfigChecks, TimeStepUpperBound) {
  EXPECT_EQ(CheckTimeStep(60000, 25).check, ConfigCheck::Ok);
  ConfigCheckResult r = CheckTimeStep(60001, 25);
  EXPECT_EQ(r.check, ConfigCheck::TimeStepTooLarge);
  EXPECT_EQ(r.editValue, 60000);
  EXPECT_EQ(Message(r), L"Maximum value for Time Intervals is 60000 mSec");
}

TEST(ConfigChecks, CableResistance) {
  uint16_t stored = 80;
  EXPECT_EQ(CheckCableResistance(1000, &stored).check, ConfigCheck::Ok);
  EXPECT_EQ(stored, 1000);
  for (int32_t bad : {1001, -1, 65541, 65535}) {
    stored = 80;
    ConfigCheckResult r = CheckCableResistance(bad, &stored);
    EXPECT_EQ(r.check, ConfigCheck::CableResistanceTooLarge) << bad;
    EXPECT_EQ(r.editValue, 0);
    EXPECT_EQ(stored, 0) << bad;
    EXPECT_EQ(Message(r), L"Maximum value for Cable Resistance is 1000 milliohms");
  }
  EXPECT_EQ(Message(CheckCableResistance(0, &stored)), L"");
}

TEST(ConfigLists, SelectionsOutsideTheLists) {
  EXPECT_EQ(ForceLimitCeilingMa(8), 5000);
  EXPECT_FALSE(IsForceLimitIndex(-1));  // a combo without selection
  EXPECT_EQ(StandardPortLimitFromSelection(-1), 900);
  EXPECT_EQ(LogIntervalSelection(5), -1);  // a value not in the list selects nothing
  EXPECT_EQ(LogIntervalFromSelection(-1, 30), 30);
}

TEST(DangerConfirmation, OnlyTheThreeExactWords) {
  EXPECT_TRUE(IsConfirmationWord(L"confirm"));
  EXPECT_TRUE(IsConfirmationWord(L"Confirm"));
  EXPECT_TRUE(IsConfirmationWord(L"CONFIRM"));
  for (const wchar_t* refused : {L"cOnFiRm", L" confirm", L"confirm ", L"confirmed", L"confir", L""})
    EXPECT_FALSE(IsConfirmationWord(refused)) << std::wstring(refused).size();
  EXPECT_FALSE(IsConfirmationWord(nullptr));
  // Only 63 characters are read: a long text never turns into the word.
  EXPECT_FALSE(IsConfirmationWord((L"confirm" + std::wstring(100, L'x')).c_str()));
}

}  // namespace
