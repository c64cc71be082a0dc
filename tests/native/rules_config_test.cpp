// Numbers typed into edits, configuration dialog rules and the danger confirmation word.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/config/config_rules.h"
#include "core/config/whole_number.h"
#include "core/link/typed_requests.h"

namespace {

std::wstring Message(const ConfigCheckResult& r) {
  wchar_t text[200];
  FormatConfigMessage(r, text, 200);
  return text;
}

TEST(EditNumbers, EveryDigitCountsAndTheRangeIsCheckedBeforeNarrowing) {
  struct Case {
    const char* text;
    int64_t value;
    bool found;
    size_t rest;
  } cases[] = {
      {"  42abc", 42, true, 4}, {"-7", -7, true, 2},     {"+8", 8, true, 2},   {"abc", 0, false, 0},
      {"", 0, false, 0},        {"-", 0, false, 0},      {"1234567890123", 1234567890123, true, 13},
      {"99999999999999999999", INT64_MAX, true, 20},     {"-99999999999999999999", -INT64_MAX, true, 21},
  };
  for (const Case& c : cases) {
    const WholeNumber n = ReadWholeNumber(std::string_view(c.text));
    const std::wstring wide(c.text, c.text + std::strlen(c.text));
    EXPECT_EQ(ReadWholeNumber(std::wstring_view(wide)).value, n.value) << c.text;
    EXPECT_EQ(n.value, c.value) << c.text;
    EXPECT_EQ(n.found, c.found) << c.text;
    EXPECT_EQ(n.rest, c.rest) << c.text;
  }
  // Set Voltage: the whole number, within the entry's bounds, else nothing.
  EXPECT_EQ(TypedVoltageMv(L"3300", 3300, 21000), std::optional<uint16_t>(3300));
  EXPECT_EQ(TypedVoltageMv(L"21000", 3300, 21000), std::optional<uint16_t>(21000));
  for (const wchar_t* refused : {L"3299", L"21001", L"70000", L"123456", L"69536", L"-1", L"x"})
    EXPECT_EQ(TypedVoltageMv(refused, 3300, 21000), std::nullopt) << static_cast<int>(std::wstring(refused).size());
  // Set Load: 12abc is 12, a negative number 0, the four-digit edit's largest value is the largest accepted.
  EXPECT_EQ((std::vector<std::optional<uint16_t>>{TypedLoadMa(L"12abc"), TypedLoadMa(L"-5"), TypedLoadMa(L"9999"),
                                                  TypedLoadMa(L"10000"), TypedLoadMa(L"70000")}),  // 70000: not 4464
            (std::vector<std::optional<uint16_t>>{12, 0, 9999, std::nullopt, std::nullopt}));
}

TEST(ConfigChecks, BoundsValuesAndMessages) {
  const struct {
    ConfigCheckResult r;
    ConfigCheck check;
    int editValue;
    const wchar_t* message;
  } cases[] = {
      {CheckCurrentStep(4), ConfigCheck::CurrentStepTooSmall, 5, L"Minimum value for Current Intervals is 5mA"},
      {CheckCurrentStep(ReadWholeNumber(std::wstring_view(L"none")).value), ConfigCheck::CurrentStepTooSmall, 5, nullptr},
      {CheckCurrentStep(5), ConfigCheck::Ok, -1, nullptr},
      {CheckCurrentStep(500), ConfigCheck::Ok, -1, nullptr},
      {CheckCurrentStep(501), ConfigCheck::CurrentStepTooLarge, 500, L"Maximum value for Current Intervals is 500mA"},
      {CheckTimeStep(32, 25), ConfigCheck::TimeStepTooSmall, 50,
       L"Time Intervals too short for Current Intervals of 25mA. Suggested value is 50 mSec"},
      {CheckTimeStep(-1, 25), ConfigCheck::TimeStepTooSmall, 50, nullptr},
      {CheckTimeStep(60000, 25), ConfigCheck::Ok, -1, nullptr},
      {CheckTimeStep(60001, 25), ConfigCheck::TimeStepTooLarge, 60000, L"Maximum value for Time Intervals is 60000 mSec"},
      {CheckCableResistance(0), ConfigCheck::Ok, -1, L""},
      {CheckCableResistance(1000), ConfigCheck::Ok, -1, nullptr},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.r.check, c.check) << c.editValue;
    if (c.editValue >= 0) { EXPECT_EQ(c.r.editValue, c.editValue); }
    if (c.message) { EXPECT_EQ(Message(c.r), c.message); }
  }
  for (int64_t bad : {1001, -1, 65541, 65535}) {
    ConfigCheckResult r = CheckCableResistance(bad);
    EXPECT_EQ(r.check, ConfigCheck::CableResistanceTooLarge) << bad;
    EXPECT_EQ(r.editValue, 0);
    EXPECT_EQ(Message(r), L"Maximum value for Cable Resistance is 1000 milliohms");
    EXPECT_TRUE(FormatConfigMessage(r, nullptr, 0));  // with nowhere to write: still says there is a message
  }
  // The shortest time step follows the current step.
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
}

TEST(ConfigLists, SelectionsOutsideTheListsAndTheDangerWord) {
  EXPECT_EQ(ForceLimitCeilingMa(8), 5000);
  EXPECT_FALSE(IsForceLimitIndex(-1));  // a combo without selection
  EXPECT_TRUE(IsForceLimitIndex(8));
  EXPECT_FALSE(IsForceLimitIndex(9));  // one past "5A"
  EXPECT_EQ(StandardPortLimitFromSelection(-1), 900);
  EXPECT_EQ(LogIntervalSelection(5), -1);  // a value not in the list selects nothing
  EXPECT_EQ(LogIntervalFromSelection(-1, 30), 30);
  // The danger confirmation takes only the three exact words.
  for (const wchar_t* word : {L"confirm", L"Confirm", L"CONFIRM"}) EXPECT_TRUE(IsConfirmationWord(word));
  for (const wchar_t* refused : {L"cOnFiRm", L" confirm", L"confirm ", L"confirmed", L"confir", L""})
    EXPECT_FALSE(IsConfirmationWord(refused)) << std::wstring(refused).size();
  EXPECT_FALSE(IsConfirmationWord(nullptr));
  // Only 63 characters are read: a long text never turns into the word.
  EXPECT_FALSE(IsConfirmationWord((L"confirm" + std::wstring(100, L'x')).c_str()));
}

}  // namespace
