#include "config/config_dialog.h"

uint32_t overLimitRiskAccepted = 0;
uint32_t forceLimitRiskAccepted = 0;

uint32_t ChooseLimitMode(TestConfiguration& settings, uint32_t clickedMode, const std::function<bool()>& confirm) {
  if (clickedMode == EnforceLimits) {
    settings.limitMode = EnforceLimits;
    return EnforceLimits;
  }
  if (clickedMode != AllowOverLimit && clickedMode != ForceLimit) return settings.limitMode;
  if (settings.limitMode == clickedMode) return clickedMode;

  uint32_t& accepted = clickedMode == AllowOverLimit ? overLimitRiskAccepted : forceLimitRiskAccepted;
  // The dangerous mode is not put in force before the user accepted the risk,
  // so a settings write that happens meanwhile never carries it.
  if (!accepted) {
    const bool yes = confirm && confirm();
    if (!yes) {
      settings.limitMode = EnforceLimits;
      return EnforceLimits;
    }
    accepted = 1;
  }
  settings.limitMode = clickedMode;
  return clickedMode;
}

void ApplyForceLimitSelection(int selection) {
  if (config.limitMode == ForceLimit && IsForceLimitIndex(selection)) {
    config.forcedLimitIndex = static_cast<uint16_t>(selection);
  }
  RecomputeMaxLoadCurrent();
}

ConfigApplyResult ApplyConfigValues(TestConfiguration& settings, const ConfigDialogValues& values) {
  ConfigApplyResult result;

  const int32_t currentStep = ReadEditNumber(values.currentStepText, kConfigEditChars);
  result.check = CheckCurrentStep(currentStep);
  if (result.check.check != ConfigCheck::Ok) {
    result.field = ConfigField::CurrentStep;
    return result;
  }
  const int32_t timeStep = ReadEditNumber(values.timeStepText, kConfigEditChars);
  result.check = CheckTimeStep(timeStep, currentStep);
  if (result.check.check != ConfigCheck::Ok) {
    result.field = ConfigField::TimeStep;
    return result;
  }
  settings.currentStepMa = static_cast<uint16_t>(currentStep);
  settings.timeStepMs = static_cast<uint16_t>(timeStep);

  settings.standardPortLimitMa = StandardPortLimitFromSelection(values.portLimitSelection);
  settings.loopbackEnabled = values.loopbackEnabled ? 1u : 0u;
  settings.estimateUpstream = values.estimateUpstream ? 1u : 0u;

  uint16_t cable = 0;
  result.check = CheckCableResistance(ReadEditNumber(values.cableResistanceText, kConfigEditChars), &cable);
  settings.cableResistanceMohm = cable;
  if (result.check.check != ConfigCheck::Ok) {
    result.field = ConfigField::CableResistance;
    return result;
  }

  settings.logIntervalSec = LogIntervalFromSelection(values.logIntervalSelection, settings.logIntervalSec);
  return result;
}

LogTimerAction LogTimerAfterOk(uint8_t intervalSec, bool testStopped) {
  if (intervalSec == 0) return LogTimerAction::Stop;
  return testStopped ? LogTimerAction::Start : LogTimerAction::Keep;
}

uint16_t ShownLoadSetpointMa() {
  return requests.loadRequestPending ? requests.requestedLoadMa.load() : live.loadSetpointMa.load();
}
