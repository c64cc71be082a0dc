// Calibration rules and the profile texts, version check and request voltage; how the link asks a Linux serial driver
// for low latency; measured values at the tester's resolution.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/link/calibration_math.h"
#include "core/link/low_latency.h"
#include "core/link/measured_values.h"
#include "core/link/profile_text.h"

namespace {

const CalibrationChannel& Vbus() { return *GetCalibrationChannel(0); }
const CalibrationChannel& Current() { return *GetCalibrationChannel(1); }

std::wstring Message(const CalibrationValidation& v) {
  wchar_t text[200];
  FormatCalibrationMessage(v, text, 200);
  return text;
}

TEST(CalibrationValidation, IntegersBoundsOfBothChannelsAndTexts) {
  int32_t v = 99;
  for (const auto& [text, value] : {std::pair{L"-", 0}, {L"-12", -12}, {L"20000", 20000}}) {
    EXPECT_TRUE(ParseCalibrationInteger(text, &v));
    EXPECT_EQ(v, value);
  }
  for (const wchar_t* bad : {L"", L"12a", L"+5", L" 5", L"5 ", L"--1", L"1-"})
    EXPECT_FALSE(ParseCalibrationInteger(bad, &v)) << std::wstring(bad).size();
  EXPECT_FALSE(ParseCalibrationInteger(nullptr, &v));
  // The bounds of both channels, the texts, and "Read point 1" checking point 1 only.
  using C = CalibrationCheck;
  const wchar_t* kP1 = L"Invalid calibration point. Point 1 should be equal or greater than 3800.";
  const struct {
    int channel;
    const wchar_t *p1, *p2;
    bool point1Only;
    CalibrationCheck check;
    int limit;                // -1: not checked
    const wchar_t* message;  // null: not checked
  } cases[] = {
      {0, L"3800", L"21000", false, C::Ok, -1, L""},  // no message when valid
      {0, L"3799", L"21000", false, C::Point1TooLow, -1, kP1},
      {0, L"13000", L"22000", false, C::Point2TooHigh, -1,
       L"Invalid calibration point. Point 2 should be equal or less than 21000."},
      {0, L"4000", L"13999", false, C::TooClose, -1,
       L"Invalid calibration point. point 1 and point 2 should be at least 10000 apart."},
      {0, L"4000", L"14000", false, C::Ok, -1, nullptr},
      {0, L"99999999999", L"20000", false, C::TooClose, -1, nullptr},  // a huge point 1 cannot wrap the check
      {0, L"-", L"20000", false, C::Point1TooLow, 3800, kP1},
      {0, L"4k", L"20000", false, C::Point1NotInteger, -1, L"\"To be applied value\" for point 1 is incorrect"},
      {0, L"4000", L"", false, C::Point2NotInteger, -1, L"\"To be applied value\" for point 2 is incorrect"},
      {0, L"4000", L"junk", true, C::Ok, -1, nullptr},
      {1, L"475", L"3150", false, C::Ok, -1, nullptr},
      {1, L"474", L"3000", false, C::Point1TooLow, 475, nullptr},
      {1, L"500", L"3151", false, C::Point2TooHigh, 3150, nullptr},
      {1, L"1200", L"3000", false, C::TooClose, 2000, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channel << " " << c.p1 << " " << c.p2);
    const CalibrationValidation r = ValidateCalibrationPoints(c.channel ? Current() : Vbus(), c.p1, c.p2, c.point1Only);
    EXPECT_EQ(r.check, c.check);
    if (c.limit >= 0) { EXPECT_EQ(r.limit, c.limit); }
    if (c.message) { EXPECT_EQ(Message(r), c.message); }
  }
  EXPECT_EQ(CalibrationPoint1Minimum(Current()), 475);
  EXPECT_EQ(CalibrationPoint2Maximum(Current()), 3150);
}

// Reference and tester value of point 1, then of point 2.
std::vector<int> Refs(const CalibrationPoints& p) { return {p.refPoint1, p.testerPoint1, p.refPoint2, p.testerPoint2}; }

TEST(CalibrationReading, AveragingDeviationAndTheLineThroughTwoPoints) {
  // VBUS: each addition is single precision and truncated to an integer.
  EXPECT_EQ(AddVbusSample(0, 4.9999f), 4999);
  EXPECT_EQ(AddVbusSample(4999, 4.9999f), 9998);
  int64_t total = 0;
  for (int i = 0; i < kCalibrationSamples; ++i) total = AddVbusSample(total, 20.0f);
  EXPECT_EQ(AverageReading(total, kCalibrationSamples), 20000);
  total = 0;
  for (int i = 0; i < kCalibrationSamples; ++i) total = AddCurrentSample(total, static_cast<uint16_t>(1000 + i));
  EXPECT_EQ(AverageReading(total, kCalibrationSamples), 1014);
  EXPECT_EQ(AverageReading(100, 0), 0);
  EXPECT_FALSE(ReadingDeviates(16001, 20000));  // 19 %
  EXPECT_TRUE(ReadingDeviates(15000, 20000));   // 25 %
  EXPECT_FALSE(ReadingDeviates(24000, 20000));  // 20 %
  EXPECT_TRUE(ReadingDeviates(24200, 20000));   // 21 %
  EXPECT_TRUE(ReadingDeviates(5, 0));
  // VBUS: the supply applied 4000/20000 mV, the tester read 3990/20050.
  CalibrationPoints vbus = MakeCalibrationPoints(0, 4000, 20000, 3990, 20050);
  EXPECT_EQ(Refs(vbus), (std::vector<int>{4000, 3990, 20000, 20050}));
  float gain = 0, offset = 0;
  ASSERT_TRUE(CalibrationLine(vbus, &gain, &offset));
  EXPECT_FLOAT_EQ(gain, 16000.0f / 16060.0f);
  EXPECT_NEAR(offset, 4000.0 - 3990.0 * 16000.0 / 16060.0, 1e-3);
  // Current: the tester applied 500/3000 mA, the multimeter read 510/2990.
  CalibrationPoints current = MakeCalibrationPoints(1, 500, 3000, 510, 2990);
  EXPECT_EQ(Refs(current), (std::vector<int>{510, 500, 2990, 3000}));
  ASSERT_TRUE(CalibrationLine(current, &gain, &offset));
  EXPECT_FLOAT_EQ(gain, 0.992f);
  EXPECT_NEAR(offset, 14.0, 1e-4);
  wchar_t text[32];
  FormatCalibrationValue(gain, text, 32);
  EXPECT_STREQ(text, L"0.992000");
  FormatCalibrationDate(2021, 3, text, 32);
  EXPECT_STREQ(text, L"2021/03");
  CalibrationPoints flat;
  flat.testerPoint1 = flat.testerPoint2 = 700;
  gain = 5;
  EXPECT_FALSE(CalibrationLine(flat, &gain, &offset));
  EXPECT_EQ(gain, 5);
  // The measured points must make a line a 16-bit record can hold (-32768..32767, both ends included).
  using M = MeasuredCheck;
  const struct {
    const wchar_t *p1, *p2;
    MeasuredCheck check;
  } measured[] = {{L"", L"20000", M::Point1Missing},        {L"4000", L"x", M::Point2Missing},
                  {L"40000", L"20000", M::Point1OutOfRange}, {L"4000", L"-40000", M::Point2OutOfRange},
                  {L"5000", L"5000", M::PointsEqual},        {L"32767", L"-32768", M::Ok},
                  {L"32768", L"0", M::Point1OutOfRange},     {L"3990", L"20050", M::Ok}};
  int32_t m1 = 0, m2 = 0;
  for (const auto& c : measured) EXPECT_EQ(CheckMeasuredPoints(c.p1, c.p2, &m1, &m2), c.check) << c.p1 << " " << c.p2;
  EXPECT_EQ((std::vector<int>{m1, m2}), (std::vector<int>{3990, 20050}));
  EXPECT_STREQ(MeasuredCheckMessage(M::Point1Missing), L"Please carry out the measurement for point 1");
  EXPECT_STREQ(MeasuredCheckMessage(M::Point2Missing), L"Please carry out the measurement for point 2");
  EXPECT_EQ(MeasuredCheckMessage(M::Ok), nullptr);
}

PdoEntry Entry(int position, int kind, int sub, uint16_t minMv, uint16_t maxMv, uint16_t ma) {
  PdoEntry e;
  e.typeWord = MakeTypeWord(position, kind, sub);
  e.minMv = minMv;
  e.maxMv = maxMv;
  e.maxCurrentMa = ma;
  return e;
}

std::wstring ListText(const PdoEntry& e, int hw) {
  wchar_t t[kProfileTextChars];
  FormatProfileListText(e, hw, t, kProfileTextChars);
  return t;
}
std::wstring DetailText(const PdoEntry& e, int hw) {
  wchar_t t[kProfileTextChars];
  FormatProfileDetailText(e, hw, t, kProfileTextChars);
  return t;
}

TEST(ProfileTexts, EntriesVersionsAndTheVoltageSentWithARow) {
  const PdoEntry fixed = Entry(2, 5, 0, 9000, 9000, 3000);
  EXPECT_EQ(ListText(fixed, 10), L"PD-FIX 9.00V");
  EXPECT_EQ(DetailText(fixed, 20), L"PD-FIX Voltage:9.00V Max Current:3000mA");
  const PdoEntry apdo = Entry(4, 5, 3, 3300, 21000, 3000);
  EXPECT_EQ(ListText(apdo, 20), L"PD-APDO 3.30V-21.00V");
  EXPECT_EQ(DetailText(apdo, 20), L"PD-APDO Voltage:3.30V-21.00V Max Current:3000mA");
  EXPECT_EQ(ListText(apdo, 10), L"Unknown profile");
  EXPECT_EQ(DetailText(apdo, 10), L"Unknown profile");
  const PdoEntry qc = Entry(1, 3, 2, 3600, 12000, 2000);
  EXPECT_EQ(ListText(qc, 20), L"QC3 3.60V-12.00V");
  EXPECT_EQ(ListText(Entry(1, 2, 2, 5000, 5000, 1500), 10), L"BC-DCP 5.00V");
  EXPECT_EQ(ListText(Entry(1, 7, 0, 5000, 5000, 1500), 20), L"UNKNOWN 5.00V");
  wchar_t t[kProfileTextChars];
  const auto active = [&t](const PdoEntry& e, bool range) {
    FormatActiveEntryText(e, range, t, kProfileTextChars);
    return std::wstring(t);
  };
  EXPECT_EQ(active(apdo, true), L"Voltage:3.30V-21.00V Max Current:3000mA");
  EXPECT_EQ(active(fixed, false), L"Voltage:9.00V Max Current:3000mA");
  EXPECT_EQ(active(PdoEntry{}, false), L"Voltage:0.00V Max Current:0mA");
  // A short buffer is cut, never overrun.
  wchar_t small[8];
  FormatProfileDetailText(fixed, 20, small, 8);
  EXPECT_EQ(std::wstring(small).size(), 7u);
  FormatProfileDetailText(fixed, 20, small, 1);  // room for the end only
  EXPECT_EQ(small[0], L'\0');
  // Which tester versions the program accepts.
  std::wstring versions;  // each answer, "-" for none
  for (const auto& [hw, fw] : {std::pair{10, 26}, {10, 27}, {20, 29}, {20, 30}, {21, 99}, {15, 0}, {9, 0}}) {
    const wchar_t* m = TesterVersionMessage(hw, fw);
    versions += (m ? m : L"-") + std::wstring(L"|");
  }
  EXPECT_EQ(versions, L"Please update the device firmware|-|Please update the device firmware|-|"
                      L"Please update the test application|-|-|");
  PdoList list;
  list.count = 3;
  list.entries[0] = Entry(1, 5, 0, 5000, 5000, 3000);
  list.entries[1] = Entry(2, 5, 0, 9000, 9000, 3000);
  list.entries[2] = Entry(4, 5, 3, 3300, 21000, 3000);
  uint8_t position = 0;
  uint16_t mv = 0;
  ASSERT_TRUE(ProfileRequestFor(list, 2, 5, 0, 20, &position, &mv));  // active PD-FIX
  EXPECT_EQ(position, 4);
  EXPECT_EQ(mv, 5000);
  ASSERT_TRUE(ProfileRequestFor(list, 2, 5, 3, 20, &position, &mv));  // active PD-APDO on a KT-60
  EXPECT_EQ(mv, 5000);
  ASSERT_TRUE(ProfileRequestFor(list, 1, 5, 3, 10, &position, &mv));  // ... on a KT-40
  EXPECT_EQ(mv, 9000);
  ASSERT_TRUE(ProfileRequestFor(list, 2, 3, 2, 20, &position, &mv));  // active QC
  EXPECT_EQ(mv, 21000);
  EXPECT_FALSE(ProfileRequestFor(list, 3, 5, 0, 20, &position, &mv));
  EXPECT_FALSE(ProfileRequestFor(list, -1, 5, 0, 20, &position, &mv));
  list.count = 200;  // a corrupt count never reaches past the entries
  EXPECT_FALSE(ProfileRequestFor(list, 7, 5, 0, 20, &position, &mv));
  EXPECT_TRUE(ProfileRequestFor(list, 6, 5, 0, 20, &position, &mv));
}

// A driver with or without a latency_timer attribute (and whether it can be written), and what its low-latency flag
// does: the latency ends up low, or one record says why not.
TEST(DriverLatency, LowOrOneRecordSayingWhy) {
  const std::string kTail = "): the link stays at the bridge's default latency";
  struct Case {
    const char* what;
    std::optional<int> timer;  // the attribute, when there is one
    std::string writeError;    // "" when writing it works
    std::optional<std::string> flag;  // nullopt: not a serial driver
    bool flagLowersTimer;
    std::string record;  // "" when the latency ends up low or there is nothing to set
    int timerAfter;
  } cases[] = {
      {"pseudo-terminal: nothing to set", std::nullopt, "", std::nullopt, false, "", 0},
      {"flag taken, no attribute", std::nullopt, "", "", false, "", 0},
      {"flag refused, no attribute", std::nullopt, "", "Operation not permitted", false,
       "Low-latency setting refused (low-latency flag: Operation not permitted" + kTail, 0},
      {"attribute already low", 2, "", "Operation not permitted", false, "", 2},
      {"attribute written", 16, "", "Operation not permitted", false, "", 1},
      {"attribute read-only, flag lowers it", 16, "Permission denied", "", true, "", 1},
      {"attribute read-only, flag taken but timer kept", 16, "Permission denied", "", false,
       "Low-latency setting refused (latency_timer: Permission denied; low-latency flag: latency_timer stays at 16 ms" +
           kTail,
       16},
      {"both refused", 16, "Permission denied", "Input/output error", false,
       "Low-latency setting refused (latency_timer: Permission denied; low-latency flag: Input/output error" + kTail, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<int> timer = c.timer;
    DriverLatency driver;
    driver.readTimer = [&] { return timer; };
    driver.writeTimer = [&](int ms) {
      if (c.writeError.empty()) timer = ms;
      return c.writeError;
    };
    driver.setLowLatencyFlag = [&] {
      if (c.flag && c.flag->empty() && c.flagLowersTimer) timer = 1;
      return c.flag;
    };
    EXPECT_EQ(AskDriverForLowLatency(driver), c.record);
    EXPECT_EQ(timer.value_or(0), c.timerAfter);
  }
}

// Values as JSON writes them (its shortest form that reads back the same double) and as a table or CSV writes them with
// three decimals: the same digits, without the noise a float leaves (4.835f is 4.835000038146973).
TEST(MeasuredValues, JsonAndTextsCarryTheTestersResolution) {
  struct Case {
    const char* what;
    double value;
    const char* json;
    const char* text;  // "%.3f"
  } cases[] = {
      {"4835 mV", VoltsFromMv(4835), "4.835", "4.835"},
      {"5000 mV", VoltsFromMv(5000), "5.0", "5.000"},
      {"largest reading", VoltsFromMv(65535), "65.535", "65.535"},
      {"a reading's float volts", VoltsAtMv(4835 / 1000.0f), "4.835", "4.835"},
      {"a sagging step's float volts", VoltsAtMv(13580 / 1000.0f), "13.58", "13.580"},
      {"a computed window bound", VoltsAtMv(9.0f * 0.95f), "8.55", "8.550"},
      {"no value", VoltsAtMv(std::numeric_limits<float>::quiet_NaN()), "0.0", "0.000"},
      {"1500 mA at 4835 mV, a half milliwatt up", WattsOf(4835, 1500), "7.253", "7.253"},
      {"3000 mA at 5000 mV", WattsOf(5000, 3000), "15.0", "15.000"},
      {"4.999 mW", WattsOf(4999, 1), "0.005", "0.005"},
      {"0.499 mW", WattsOf(1, 499), "0.0", "0.000"},
      {"the largest product", WattsOf(65535, 65535), "4294.836", "4294.836"},
      {"1234567 us", SecondsFromUs(1234567), "1.235", "1.235"},
      {"1.5 ms", SecondsFromUs(1500), "0.002", "0.002"},
      {"a day and a bit", SecondsFromUs(86400000499), "86400.0", "86400.000"},
      {"capacity", Rounded(1478.2014999, 3), "1478.201", "1478.201"},
      {"0.1 + 0.2", Rounded(0.1 + 0.2, 3), "0.3", "0.300"},
      {"a rate", Rounded(987.654321, 1), "987.7", "987.700"},
      {"already whole beyond 2^53", Rounded(1e300, 3), "1e+300", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(nlohmann::json(c.value).dump(), c.json);
    if (!c.text) continue;
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", c.value);
    EXPECT_STREQ(text, c.text);
  }
  EXPECT_EQ(MilliwattsOf(-4835, 1500), -7253);  // halves away from zero both ways
  EXPECT_TRUE(std::isnan(Rounded(std::nan(""), 3)));
}

}  // namespace
