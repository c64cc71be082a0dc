// The test configuration dialog's effect on the settings: limit-mode clicks on the dialog's copy with their
// once-per-run confirmation, OK storing the whole copy or nothing, the log timer.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/config/config_dialog.h"
#include "core/base/tester_state.h"

namespace {

class ConfigDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
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
  // A tester's state as at start-up, which Stored() then reads.
  TesterState& Fresh() {
    state = std::make_unique<TesterState>();
    return *state;
  }
  // What OK stored: limit mode, forced index, ceiling, current step, time step,
  // standard-port limit, loopback, upstream estimate, cable, log interval.
  std::vector<int64_t> Stored() const {
    const TesterState& S = *state;
    return {S.config.limitMode, S.config.forcedLimitIndex, S.config.maxLoadCurrentMa, S.config.currentStepMa,
            S.config.timeStepMs, S.config.standardPortLimitMa, S.config.loopbackEnabled, S.config.estimateUpstream,
            S.config.cableResistanceMohm, S.config.logIntervalSec};
  }

  std::unique_ptr<TesterState> state = std::make_unique<TesterState>();
  int asked = 0;
};

// Each dangerous mode is asked once per run: clicking the mode in force, or a
// mode accepted before, asks nothing and takes whatever answer would be given.
TEST_F(ConfigDialogTest, EachDangerousModeAsksOncePerRun) {
  const struct {
    uint32_t click;
    int answer;  // -1: no confirmation available
    int asked;
  } clicks[] = {{ForceLimit, 1, 1},     {ForceLimit, 1, 1},      {EnforceLimits, 1, 1}, {ForceLimit, 0, 1},
                {AllowOverLimit, 1, 2}, {EnforceLimits, -1, 2}, {AllowOverLimit, 0, 2}};
  ConfigDraft draft;
  for (const auto& c : clicks) {
    EXPECT_EQ(ChooseLimitMode(draft, c.click, c.answer < 0 ? nullptr : Confirmation(c.answer)), c.click);
    EXPECT_EQ(draft.limitMode, c.click);
    EXPECT_EQ(asked, c.asked) << c.click;
    // Force Limit's risk accepted, the 20% mode's not yet.
    EXPECT_EQ(overLimitRiskAccepted, asked == 2 ? 1u : 0u);
    EXPECT_EQ(forceLimitRiskAccepted, 1u);
  }
}

TEST_F(ConfigDialogTest, DeclineFallsBackToEnforceLimitsAndAsksAgainNextTime) {
  ConfigDraft draft;
  draft.limitMode = AllowOverLimit;
  overLimitRiskAccepted = 1;
  // The dangerous mode is never in the copy while the question is open.
  auto check = [this, &draft] {
    ++asked;
    EXPECT_NE(draft.limitMode, static_cast<uint32_t>(ForceLimit));
    return false;
  };
  EXPECT_EQ(ChooseLimitMode(draft, ForceLimit, check), static_cast<uint32_t>(EnforceLimits));
  EXPECT_EQ(draft.limitMode, static_cast<uint32_t>(EnforceLimits));
  EXPECT_EQ(forceLimitRiskAccepted, 0u);
  EXPECT_EQ(ChooseLimitMode(draft, ForceLimit, Confirmation(false)), static_cast<uint32_t>(EnforceLimits));
  EXPECT_EQ(asked, 2);
  // No confirmation available at all counts as declined.
  EXPECT_EQ(ChooseLimitMode(draft, AllowOverLimit, nullptr), static_cast<uint32_t>(AllowOverLimit));  // accepted before
  overLimitRiskAccepted = 0;
  draft.limitMode = EnforceLimits;
  EXPECT_EQ(ChooseLimitMode(draft, AllowOverLimit, nullptr), static_cast<uint32_t>(EnforceLimits));
  // An unknown button leaves the mode alone.
  EXPECT_EQ(ChooseLimitMode(draft, 7, Confirmation(true)), static_cast<uint32_t>(EnforceLimits));
}

TEST_F(ConfigDialogTest, OkStoresTheWholeCopyWithTheCeilingOfItsMode) {
  struct Case {
    uint32_t mode;
    int forceSelection;
    uint16_t forcedIndex, ceiling;
  } cases[] = {
      {EnforceLimits, 8, 0, 3000},   // the list is only read in Force Limit mode
      {AllowOverLimit, 8, 0, 3600},  // 1.2 x rated
      {ForceLimit, 8, 8, 5000},      // "5A"
      {ForceLimit, -1, 0, 1000},     // nothing selected keeps the index
  };
  for (const Case& c : cases) {
    TesterState& S = Fresh();
    ConfigDraft draft = DraftOf(S.config);
    draft.limitMode = c.mode;
    ConfigDialogValues v = Values(L"5", L"6", L"1000");
    v.forceLimitSelection = c.forceSelection;
    EXPECT_EQ(ConfirmConfig(S.config, draft, v, 3000).check.check, ConfigCheck::Ok);
    EXPECT_EQ(Stored(), (std::vector<int64_t>{c.mode, c.forcedIndex, c.ceiling, 5, 6, 900, 1, 1, 1000, 10}))
        << c.mode << " " << c.forceSelection;
  }
  // Every digit counts: leading zeros past the ninth character do not cut the number.
  TesterState& S = *state;
  ConfigDraft draft = DraftOf(S.config);
  ConfigDialogValues v = Values(L"0000000000500", L"60000", L"0");
  v.logIntervalSelection = -1;  // nothing selected: the interval stays
  EXPECT_EQ(ConfirmConfig(S.config, draft, v, 4500).check.check, ConfigCheck::Ok);
  // Still Force Limit "1A"; the interval stays.
  EXPECT_EQ(Stored(), (std::vector<int64_t>{ForceLimit, 0, 1000, 500, 60000, 900, 1, 1, 0, 10}));
}

TEST_F(ConfigDialogTest, ARefusedOkStoresNothing) {
  struct Case {
    const wchar_t* current;
    const wchar_t* time;
    const wchar_t* cable;
    ConfigCheck check;
    ConfigField field;
    int editValue;
  } cases[] = {
      {L"4", L"500", L"10", ConfigCheck::CurrentStepTooSmall, ConfigField::CurrentStep, 5},
      {L"501", L"500", L"10", ConfigCheck::CurrentStepTooLarge, ConfigField::CurrentStep, 500},
      {L"5", L"5", L"10", ConfigCheck::TimeStepTooSmall, ConfigField::TimeStep, 50},
      {L"25", L"60001", L"10", ConfigCheck::TimeStepTooLarge, ConfigField::TimeStep, 60000},
      {L"25", L"99999999999999999999", L"10", ConfigCheck::TimeStepTooLarge, ConfigField::TimeStep, 60000},
      {L"50", L"100", L"1001", ConfigCheck::CableResistanceTooLarge, ConfigField::CableResistance, 0},
      {L"50", L"100", L"-1", ConfigCheck::CableResistanceTooLarge, ConfigField::CableResistance, 0},
      {L"50", L"100", L"65541", ConfigCheck::CableResistanceTooLarge, ConfigField::CableResistance, 0},
  };
  for (const Case& c : cases) {
    TesterState& S = Fresh();
    S.config.logIntervalSec = 30;
    ConfigDraft draft = DraftOf(S.config);
    draft.limitMode = ForceLimit;  // chosen in the dialog, refused with the rest
    ConfigDialogValues v = Values(c.current, c.time, c.cable);
    v.forceLimitSelection = 4;
    const ConfigApplyResult r = ConfirmConfig(S.config, draft, v, 3000);
    SCOPED_TRACE(testing::Message() << c.current << " " << c.time << " " << c.cable);
    EXPECT_EQ(r.check.check, c.check);
    EXPECT_EQ(r.field, c.field);
    EXPECT_EQ(r.check.editValue, c.editValue);
    EXPECT_EQ(Stored(), (std::vector<int64_t>{EnforceLimits, 0, 0, 25, 500, 500, 0, 0, 80, 30}));
    EXPECT_EQ(draft.forcedLimitIndex, 0);  // the copy, too, waits for an OK that passes
  }
}

TEST_F(ConfigDialogTest, LogTimerAndShownSetpoint) {
  EXPECT_EQ(LogTimerAfterOk(0, true), LogTimerAction::Stop);
  EXPECT_EQ(LogTimerAfterOk(0, false), LogTimerAction::Stop);
  EXPECT_EQ(LogTimerAfterOk(10, true), LogTimerAction::Start);
  EXPECT_EQ(LogTimerAfterOk(10, false), LogTimerAction::Keep);  // a graph test runs
  // A request not yet sent is shown rather than the tester's older value.
  TesterState& S = *state;
  S.live.loadSetpointMa = 700;
  S.requests.requestedLoadMa = 1200;
  S.requests.loadRequestPending = 1;
  EXPECT_EQ(ShownLoadSetpointMa(S), 1200);
  S.requests.loadRequestPending = 0;
  EXPECT_EQ(ShownLoadSetpointMa(S), 700);
}

}  // namespace
