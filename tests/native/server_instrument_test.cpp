// The instrument's command set over a fake tester: values with units and words at their bounds, the load and input, the
// risk rule of the limits, the source's profiles, the status registers, the watchdog, a detach and a tester that does
// not answer; what reached the tester and what the error queue holds, in order.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "server/instrument.h"
#include "core/base/tester_state.h"

namespace {

class FakeTester : public ServedTester {
 public:
  FakeTester() {
    list.count = 2;
    list.entries[0] = {MakeTypeWord(1, 1, 0), 5000, 5000, 3000};   // PD fixed 5 V 3 A
    list.entries[1] = {MakeTypeWord(2, 5, 3), 3300, 11000, 3000};  // PD programmable 3.3-11 V
  }

  bool attached = true;
  bool answers = true;
  bool kt40 = false;
  PdoList list;
  int row = 0;
  std::vector<uint16_t> loads;
  std::vector<std::pair<uint32_t, uint16_t>> limits;
  std::vector<long long> voltages;
  int safeEnds = 0;

  TesterIdentity Identity() override { return {"Trevane", "KT-60", "VXPD0001", "3.0"}; }
  uint8_t HardwareRevision() override { return kt40 ? 10 : 20; }
  std::optional<Reading> Measure() override {
    if (!answers) return std::nullopt;
    Reading r;
    r.vbusMv = 5000;
    r.currentMa = loads.empty() ? 0 : loads.back();
    r.setpointMa = r.currentMa;
    r.temperatureC = 26;
    return r;
  }
  bool SourceAttached() override { return attached; }
  uint16_t RatedMa() override { return 3000; }
  std::string SetLoad(uint16_t ma) override {
    loads.push_back(ma);
    return "";
  }
  std::string SetLimits(uint32_t mode, uint16_t forcedIndex) override {
    limits.push_back({mode, forcedIndex});
    return "";
  }
  PdoList Profiles() override { return list; }
  int ActiveRow() override { return row; }
  uint16_t ProfileMv() override { return 5000; }
  std::string SelectRow(int r) override {
    if (kt40 && r == 1) return "PPS profiles are not supported by KT-40.";
    row = r;
    return "";
  }
  std::string SetVoltage(long long mv) override {
    if (row != 1) return "The active profile is not programmable";
    if (mv < 3300 || mv > 11000) return "Please enter a number between 3300-11000";
    voltages.push_back(mv);
    return "";
  }
  double CapacityMah() override { return 1500; }
  double CapacityMwh() override { return 7500; }
  void ResetCapacity() override {}
  RippleCapture Ripple(double seconds, std::string*) override {
    RippleCapture c;
    c.samples = static_cast<int>(seconds * 100);
    c.minVolts = 4.98f;
    c.maxVolts = 5.02f;
    c.verdict = Verdict::Pass;
    return c;
  }
  SweepRecord Sweep(uint16_t currentStepMa, uint16_t timeStepMs, std::string*) override {
    SweepRecord s;
    s.stepCount = 3000 / currentStepMa + 1;
    s.endMa = 3000;
    s.judgement.verdict = Verdict::Pass;
    loads.push_back(0);
    return s;
  }
  std::string SafeEnd() override {
    ++safeEnds;
    loads.push_back(0);
    limits.push_back({EnforceLimits, 0});
    return "";
  }
};

struct Case {
  const char* name;
  std::vector<std::string> steps;  // messages; "!detach", "!silent", "!watchdog" act on the tester or the clock
  std::vector<std::string> replies;  // the non-empty replies, in order
  std::vector<int> errors;           // the error queue's numbers afterwards
  std::vector<uint16_t> loads;       // what the tester was sent
  std::function<void(FakeTester&)> setUp = nullptr;
};

TEST(Instrument, CommandsReachTheTesterAndErrorsTheQueue) {
  const Case cases[] = {
      {"level: units and words",
       {"CURR 250 MA;CURR?", "CURR 1e-3A;:CURR?", "CURR MAX;CURR?", "CURR DEF;CURR?", "CURR? MAX",
        "SOUR:CURR:LEV:IMM 0.5;:CURR?"},
       {"0.250", "0.001", "3.000", "0.000", "3.000", "0.500"}, {}, {}},
      {"level: out of range or of the wrong type",
       {"CURR -0.001", "CURR 5.101", "CURR 3.001", "CURR 1 V", "CURR '1'", "CURR 1,2", "CURR", "CURR? 1"}, {},
       {-222, -222, -222, -131, -104, -108, -109, -224}, {}},
      {"input on and off follow the level",
       {"CURR 1.2;INP ON;INP?", "CURR 1.5", "INP 0;INP?", "INP 2", "INP1 OFF", "SOUR2:CURR 1"}, {"1", "0"},
       {-224, -114}, {1200, 1500, 0, 0}},
      {"no source: nothing to load or select", {"INP ON", "PROF:COUN?", "PROF?", "PROF:SEL 0", "CURR 5.1;CURR?"},
       {"0", "5.100"}, {-200, -200, -200}, {}, [](FakeTester& t) { t.attached = false; }},
      {"a detach turns the input off", {"CURR 1;INP ON", "!detach", "*OPC?", "INP?"}, {"1", "0"}, {102}, {1000}},
      {"limits: the risk is accepted first",
       {"CURR:LIM:MODE FORC", "CURR:LIM 4.5", "CURR:LIM:ACC;MODE FORC;MODE?", "CURR? MAX", "CURR 4.5;INP ON",
        "CURR:LIM 4.25", "CURR:LIM 5.5", "CURR:LIM:MODE MAYBE", "CURR:LIM:MODE ALL;:CURR? MAX"},
       {"FORC", "4.500", "3.600"}, {-221, -224, -222, -224}, {4500}},
      {"reset: no load, enforced limits, first profile, risk no longer accepted",
       {"PROF:SEL 1;:CURR:LIM:ACC;MODE ALL;:CURR 2;INP ON", "*RST", "INP?;CURR?;CURR:LIM:MODE?;ACC?;:PROF:SEL?"},
       {"0;0.000;ENF;0;0"}, {}, {2000, 0}},
      {"a tester that does not answer reads as not-a-number", {"MEAS:VOLT?", "MEAS:ALL?"},
       {"9.91E+37", "9.91E+37,9.91E+37,9.91E+37,9.91E+37,9.91E+37,9.91E+37"}, {-240, -240}, {},
       [](FakeTester& t) { t.answers = false; }},
      {"measurements, joined replies",
       {"CURR 2;INP ON;:MEAS:VOLT?;CURR?;POW?;TEMP?;*IDN?", "MEAS:ALL?", "CAP?", "SYST:VERS?"},
       {"5.000;2.000;10.000;26;Trevane,KT-60,VXPD0001,3.0", "5.000,2.000,10.000,26,2.000,0.000", "1.500000,7.500000",
        "1999.0"},
       {}, {2000}},
      {"status registers", {"*ESE 36;*ESE?", "FOO", "*STB?", "*ESR?", "*ESR?", "*CLS;*STB?", "*ESE 256", "*OPC;*ESR?", "*SRE 16;*SRE?"},
       {"36", "36", "32", "0", "0", "17", "16"}, {-222}, {}},
      {"profiles: the window's refusals carry their message",
       {"PROF:SEL 1;SEL?", "PROF:VOLT MAX", "PROF:VOLT 9500 MV", "PROF:VOLT 1e9", "PROF:SEL 1.5", "PROF:SEL 2",
        "PROF:SEL 0;VOLT 9", "PROF? 1"},
       {"1", "\"PD-APDO 3.30V-11.00V\",3.300,11.000,3.000,1"}, {-200, -222, -222, -200}, {}},
      {"a KT-40 refuses PPS rows", {"PROF:SEL 1", "PROF:SEL?"}, {"0"}, {-200}, {},
       [](FakeTester& t) { t.kt40 = true; }},
      {"sweep steps on the window's rules",
       {"SWE:STEP:CURR 500 MA;TIME 0.5;:SWE", "SWE:RES?", "SWE:STEP:TIME MIN;TIME?", "SWE", "SWE:RES?",
        "SWE:STEP:CURR 4 MA", "SWE:STEP:TIME 61"},
       {"0.666", "PASS,0,7,3.000,\"\""}, {-221, -200, -222, -222}, {0}},
      {"ripple", {"RIPP 0", "RIPP 0.5;:RIPP:RES?"}, {"50,4.980,5.020,0.040,PASS"}, {-222}, {}},
      {"watchdog: off by default, ends only a load",
       {"SYST:WDOG?", "SYST:WDOG 0.05", "SYST:WDOG 2;WDOG?", "!watchdog", "CURR 1;INP ON", "!watchdog", "INP?",
        "SYST:WDOG OFF;WDOG?"},
       {"0", "2", "0", "0"}, {-222, 101}, {1000, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeTester tester;
    if (c.setUp) c.setUp(tester);
    Instrument instrument(tester);
    std::vector<std::string> replies;
    for (const std::string& step : c.steps) {
      if (step == "!detach") {
        tester.attached = false;
      } else if (step == "!watchdog") {
        instrument.WatchdogExpired();
      } else if (const std::string reply = instrument.Execute(step); !reply.empty()) {
        replies.push_back(reply);
      }
    }
    std::vector<int> errors;
    for (std::string e = instrument.Execute("SYST:ERR?"); e.rfind("0,", 0) != 0; e = instrument.Execute("SYST:ERR?")) {
      errors.push_back(std::stoi(e));
    }
    EXPECT_EQ(replies, c.replies);
    EXPECT_EQ(errors, c.errors);
    EXPECT_EQ(tester.loads, c.loads);
  }
}

TEST(Instrument, TheClientLeavingEndsSafely) {
  FakeTester tester;
  Instrument instrument(tester);
  instrument.Execute("CURR:LIM:ACC;MODE ALL;:CURR 3.5;INP ON");
  EXPECT_TRUE(instrument.InputOn());
  EXPECT_EQ(instrument.End(), "");
  EXPECT_EQ(tester.safeEnds, 1);
  EXPECT_EQ(tester.loads.back(), 0);
  EXPECT_EQ(tester.limits.back(), (std::pair<uint32_t, uint16_t>{EnforceLimits, 0}));
  EXPECT_FALSE(instrument.InputOn());
}

}  // namespace
