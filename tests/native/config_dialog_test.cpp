// The test configuration dialog's effect on the settings: limit-mode clicks with
// their once-per-run confirmation, the ordered OK steps, the log timer.
#include <gtest/gtest.h>

#include "config/config_dialog.h"
#include "shell/shared_state.h"

namespace {

class ConfigDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSharedState();
    overLimitRiskAccepted = 0;
    forceLimitRiskAccepted = 0;
  }

  // A confirmation that answers `answer` and counts how often it was asked.
  std::function<bool()> Confirmation(bool answer) {
    return [this, answer] {
      ++asked;
      return answer;
    };
  }

  static ConfigDialogValues Values(const wchar_t* current, const wchar_t* time, const wchar_t* cable) {
    ConfigDialogValues v;
    v.currentStepText = current;
    v.timeStepText = time;
    v.cableResistanceText = cable;
    v.portLimitSelection = 1;
    v.loopbackEnabled = true;
    v.estimateUpstream = true;
    v.logIntervalSelection = 2;  // 10 s
    return v;
  }

  int asked = 0;
};

TEST_F(ConfigDialogTest, EachDangerousModeAsksOncePerRun) {
  EXPECT_EQ(ChooseLimitMode(config, ForceLimit, Confirmation(true)), static_cast<uint32_t>(ForceLimit));
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(forceLimitRiskAccepted, 1u);
  EXPECT_EQ(overLimitRiskAccepted, 0u);

  // Clicking the mode in force again does nothing.
  EXPECT_EQ(ChooseLimitMode(config, ForceLimit, Confirmation(true)), static_cast<uint32_t>(ForceLimit));
  EXPECT_EQ(asked, 1);

  // Back and forth: Force Limit is not asked again, the 20% mode is asked once.
  ChooseLimitMode(config, EnforceLimits, Confirmation(true));
  EXPECT_EQ(config.limitMode.load(), static_cast<uint32_t>(EnforceLimits));
  ChooseLimitMode(config, ForceLimit, Confirmation(false));
  EXPECT_EQ(config.limitMode.load(), static_cast<uint32_t>(ForceLimit));
  EXPECT_EQ(asked, 1);
  ChooseLimitMode(config, AllowOverLimit, Confirmation(true));
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(config.limitMode.load(), static_cast<uint32_t>(AllowOverLimit));
  ChooseLimitMode(config, EnforceLimits, nullptr);
  ChooseLimitMode(config, AllowOverLimit, Confirmation(false));
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(config.limitMode.load(), static_cast<uint32_t>(AllowOverLimit));
}

TEST_F(ConfigDialogTest, DeclineFallsBackToEnforceLimitsAndAsksAgainNextTime) {
  config.limitMode = AllowOverLimit;
  overLimitRiskAccepted = 1;
  // The dangerous mode is never in force while the question is open.
  auto check = [this] {
    ++asked;
    EXPECT_NE(config.limitMode.load(), static_cast<uint32_t>(ForceLimit));
    return false;
  };
  EXPECT_EQ(ChooseLimitMode(config, ForceLimit, check), static_cast<uint32_t>(EnforceLimits));
  EXPECT_EQ(config.limitMode.load(), static_cast<uint32_t>(EnforceLimits));
  EXPECT_EQ(forceLimitRiskAccepted, 0u);
  EXPECT_EQ(ChooseLimitMode(config, ForceLimit, Confirmation(false)), static_cast<uint32_t>(EnforceLimits));
  EXPECT_EQ(asked, 2);
  // No confirmation available at all counts as declined.
  EXPECT_EQ(ChooseLimitMode(config, AllowOverLimit, nullptr), static_cast<uint32_t>(AllowOverLimit));  // accepted before
  overLimitRiskAccepted = 0;
  config.limitMode = EnforceLimits;
  EXPECT_EQ(ChooseLimitMode(config, AllowOverLimit, nullptr), static_cast<uint32_t>(EnforceLimits));
  // An unknown button leaves the mode alone.
  EXPECT_EQ(ChooseLimitMode(config, 7, Confirmation(true)), static_cast<uint32_t>(EnforceLimits));
}

TEST_F(ConfigDialogTest, CeilingAtOkFollowsModeAndForceLimitList) {
  live.ratedCurrentMa = 3000;
  ApplyForceLimitSelection(8);  // not in Force Limit mode: the list is not read
  EXPECT_EQ(config.forcedLimitIndex.load(), 0);
  EXPECT_EQ(config.maxLoadCurrentMa.load(), 3000);
  config.limitMode = AllowOverLimit;
  ApplyForceLimitSelection(8);
  EXPECT_EQ(config.maxLoadCurrentMa.load(), 3600);
  live.ratedCurrentMa = 4500;
  ApplyForceLimitSelection(-1);
  EXPECT_EQ(config.maxLoadCurrentMa.load(), 5100);
  config.limitMode = ForceLimit;
  ApplyForceLimitSelection(8);  // "5A"
  EXPECT_EQ(config.forcedLimitIndex.load(), 8);
  EXPECT_EQ(config.maxLoadCurrentMa.load(), 5000);
  ApplyForceLimitSelection(-1);  // nothing selected keeps the index
  EXPECT_EQ(config.maxLoadCurrentMa.load(), 5000);
  ApplyForceLimitSelection(0);  // "1A"
  EXPECT_EQ(config.maxLoadCurrentMa.load(), 1000);
}

TEST_F(ConfigDialogTest, ValidValuesAreAllStored) {
  const ConfigApplyResult r = ApplyConfigValues(config, Values(L"5", L"6", L"1000"));
  EXPECT_EQ(r.check.check, ConfigCheck::Ok);
  EXPECT_EQ(r.field, ConfigField::None);
  EXPECT_EQ(config.currentStepMa.load(), 5);
  EXPECT_EQ(config.timeStepMs.load(), 6);
  EXPECT_EQ(config.standardPortLimitMa.load(), 900);
  EXPECT_EQ(config.loopbackEnabled.load(), 1u);
  EXPECT_EQ(config.estimateUpstream.load(), 1u);
  EXPECT_EQ(config.cableResistanceMohm.load(), 1000);
  EXPECT_EQ(config.logIntervalSec.load(), 10);

  ConfigDialogValues v = Values(L"500", L"60000", L"0");
  v.portLimitSelection = 0;
  v.logIntervalSelection = -1;  // nothing selected: the interval stays
  EXPECT_EQ(ApplyConfigValues(config, v).check.check, ConfigCheck::Ok);
  EXPECT_EQ(config.timeStepMs.load(), 60000);
  EXPECT_EQ(config.standardPortLimitMa.load(), 500);
  EXPECT_EQ(config.logIntervalSec.load(), 10);
}

TEST_F(ConfigDialogTest, StepErrorsStopBeforeAnythingIsStored) {
  struct Case {
    const wchar_t* current;
    const wchar_t* time;
    ConfigCheck check;
    ConfigField field;
    int editValue;
  } cases[] = {
      {L"4", L"500", ConfigCheck::CurrentStepTooSmall, ConfigField::CurrentStep, 5},
      {L"501", L"500", ConfigCheck::CurrentStepTooLarge, ConfigField::CurrentStep, 500},
      {L"5", L"5", ConfigCheck::TimeStepTooSmall, ConfigField::TimeStep, 50},
      {L"25", L"60001", ConfigCheck::TimeStepTooLarge, ConfigField::TimeStep, 60000},
  };
  for (const Case& c : cases) {
    ResetSharedState();
    const ConfigApplyResult r = ApplyConfigValues(config, Values(c.current, c.time, L"10"));
    EXPECT_EQ(r.check.check, c.check) << c.current << " " << c.time;
    EXPECT_EQ(r.field, c.field);
    EXPECT_EQ(r.check.editValue, c.editValue);
    // Neither step, nor anything after them, changed.
    EXPECT_EQ(config.currentStepMa.load(), 25);
    EXPECT_EQ(config.timeStepMs.load(), 500);
    EXPECT_EQ(config.standardPortLimitMa.load(), 500);
    EXPECT_EQ(config.loopbackEnabled.load(), 0u);
    EXPECT_EQ(config.cableResistanceMohm.load(), 80);
  }
}

TEST_F(ConfigDialogTest, CableErrorKeepsEarlierStepsAndStoresZero) {
  for (const wchar_t* cable : {L"1001", L"-1", L"65541"}) {
    ResetSharedState();
    config.logIntervalSec = 30;
    const ConfigApplyResult r = ApplyConfigValues(config, Values(L"50", L"100", cable));
    EXPECT_EQ(r.check.check, ConfigCheck::CableResistanceTooLarge) << cable;
    EXPECT_EQ(r.field, ConfigField::CableResistance);
    EXPECT_EQ(r.check.editValue, 0);
    EXPECT_EQ(config.cableResistanceMohm.load(), 0);
    // Stored before the cable check ...
    EXPECT_EQ(config.currentStepMa.load(), 50);
    EXPECT_EQ(config.timeStepMs.load(), 100);
    EXPECT_EQ(config.standardPortLimitMa.load(), 900);
    EXPECT_EQ(config.loopbackEnabled.load(), 1u);
    EXPECT_EQ(config.estimateUpstream.load(), 1u);
    // ... but not after it.
    EXPECT_EQ(config.logIntervalSec.load(), 30);
  }
}

TEST_F(ConfigDialogTest, LogTimerAndShownSetpoint) {
  EXPECT_EQ(LogTimerAfterOk(0, true), LogTimerAction::Stop);
  EXPECT_EQ(LogTimerAfterOk(0, false), LogTimerAction::Stop);
  EXPECT_EQ(LogTimerAfterOk(10, true), LogTimerAction::Start);
  EXPECT_EQ(LogTimerAfterOk(10, false), LogTimerAction::Keep);  // a graph test runs

  // A request not yet sent is shown rather than the tester's older value.
  live.loadSetpointMa = 700;
  requests.requestedLoadMa = 1200;
  requests.loadRequestPending = 1;
  EXPECT_EQ(ShownLoadSetpointMa(), 1200);
  requests.loadRequestPending = 0;
  EXPECT_EQ(ShownLoadSetpointMa(), 700);
}

}  // namespace
