#include "core/config/config_dialog.h"

#include "core/config/whole_number.h"

uint32_t overLimitRiskAccepted = 0;
uint32_t forceLimitRiskAccepted = 0;

ConfigDraft DraftOf(const TestConfiguration& s) {
  ConfigDraft d;
  d.currentStepMa = s.currentStepMa;
  d.timeStepMs = s.timeStepMs;
  d.limitMode = s.limitMode;
  d.forcedLimitIndex = s.forcedLimitIndex;
  d.maxLoadCurrentMa = s.maxLoadCurrentMa;
  d.standardPortLimitMa = s.standardPortLimitMa;
  d.loopbackEnabled = s.loopbackEnabled;
  d.estimateUpstream = s.estimateUpstream;
  d.cableResistanceMohm = s.cableResistanceMohm;
  d.logIntervalSec = s.logIntervalSec;
  return d;
}

void StoreDraft(TestConfiguration& s, const ConfigDraft& d) {
  s.currentStepMa = d.currentStepMa;
  s.timeStepMs = d.timeStepMs;
  s.limitMode = d.limitMode;
  s.forcedLimitIndex = d.forcedLimitIndex;
  s.maxLoadCurrentMa = d.maxLoadCurrentMa;
  s.standardPortLimitMa = d.standardPortLimitMa;
  s.loopbackEnabled = d.loopbackEnabled;
  s.estimateUpstream = d.estimateUpstream;
  s.cableResistanceMohm = d.cableResistanceMohm;
  s.logIntervalSec = d.logIntervalSec;
}

uint32_t ChooseLimitMode(ConfigDraft& draft, uint32_t clickedMode, const std::function<bool()>& confirm) {
  if (clickedMode == EnforceLimits) {
    draft.limitMode = EnforceLimits;
    return EnforceLimits;
  }
  if (clickedMode != AllowOverLimit && clickedMode != ForceLimit) return draft.limitMode;
  if (draft.limitMode == clickedMode) return clickedMode;

  uint32_t& accepted = clickedMode == AllowOverLimit ? overLimitRiskAccepted : forceLimitRiskAccepted;
  if (!accepted) {
    const bool yes = confirm && confirm();
    if (!yes) {
      draft.limitMode = EnforceLimits;
      return EnforceLimits;
    }
    accepted = 1;
  }
  draft.limitMode = clickedMode;
  return clickedMode;
}

ConfigApplyResult ConfirmConfig(TestConfiguration& settings, ConfigDraft& draft, const ConfigDialogValues& values,
                                uint16_t ratedCurrentMa) {
  ConfigDraft next = draft;
  if (next.limitMode == ForceLimit && IsForceLimitIndex(values.forceLimitSelection)) {
    next.forcedLimitIndex = static_cast<uint16_t>(values.forceLimitSelection);
  }
  next.maxLoadCurrentMa =
      ComputeMaxLoadCurrent(next.limitMode, ratedCurrentMa, next.forcedLimitIndex, next.maxLoadCurrentMa);

  ConfigApplyResult result;
  const int64_t currentStep = ReadWholeNumber(values.currentStepText).value;
  result.check = CheckCurrentStep(currentStep);
  if (result.check.check != ConfigCheck::Ok) {
    result.field = ConfigField::CurrentStep;
    return result;
  }
  const int64_t timeStep = ReadWholeNumber(values.timeStepText).value;
  result.check = CheckTimeStep(timeStep, static_cast<int32_t>(currentStep));
  if (result.check.check != ConfigCheck::Ok) {
    result.field = ConfigField::TimeStep;
    return result;
  }
  next.currentStepMa = static_cast<uint16_t>(currentStep);
  next.timeStepMs = static_cast<uint16_t>(timeStep);

  next.standardPortLimitMa = StandardPortLimitFromSelection(values.portLimitSelection);
  next.loopbackEnabled = values.loopbackEnabled ? 1u : 0u;
  next.estimateUpstream = values.estimateUpstream ? 1u : 0u;

  const int64_t cable = ReadWholeNumber(values.cableResistanceText).value;
  result.check = CheckCableResistance(cable);
  if (result.check.check != ConfigCheck::Ok) {
    result.field = ConfigField::CableResistance;
    return result;
  }
  next.cableResistanceMohm = static_cast<uint16_t>(cable);
  next.logIntervalSec = LogIntervalFromSelection(values.logIntervalSelection, next.logIntervalSec);

  draft = next;
  StoreDraft(settings, draft);
  return result;
}

LogTimerAction LogTimerAfterOk(uint8_t intervalSec, bool testStopped) {
  if (intervalSec == 0) return LogTimerAction::Stop;
  return testStopped ? LogTimerAction::Start : LogTimerAction::Keep;
}

uint16_t ShownLoadSetpointMa(const TesterState& state) {
  return state.requests.loadRequestPending ? state.requests.requestedLoadMa.load() : state.live.loadSetpointMa.load();
}
