#include "shell/shared_state.h"

#include <mutex>

LiveState live;
Requests requests;
TestConfiguration config;
GraphFlags graph;
float uiScale = 1.0f;

namespace {
std::mutex pdoLock;
PdoList pdoList;
}  // namespace

PdoList GetPdoList() {
  std::lock_guard<std::mutex> guard(pdoLock);
  return pdoList;
}

void SetPdoList(const PdoList& list) {
  std::lock_guard<std::mutex> guard(pdoLock);
  pdoList = list;
}

uint16_t ComputeMaxLoadCurrent(uint32_t limitMode, uint16_t ratedCurrentMa, uint16_t forcedLimitIndex,
                               uint16_t previous) {
  uint32_t result = previous;
  switch (limitMode) {
    case EnforceLimits:
      result = ratedCurrentMa;
      break;
    case AllowOverLimit:
      result = static_cast<uint32_t>(static_cast<double>(ratedCurrentMa) * 1.2);
      break;
    case ForceLimit:
      result = static_cast<uint16_t>((forcedLimitIndex + 2) * 500);
      break;
    default:
      break;
  }
  if (result > 5100) result = 5100;
  return static_cast<uint16_t>(result);
}

void RecomputeMaxLoadCurrent() {
  config.maxLoadCurrentMa = ComputeMaxLoadCurrent(config.limitMode, live.ratedCurrentMa, config.forcedLimitIndex,
                                                  config.maxLoadCurrentMa);
}

void ResetSharedState() {
  live.testerConnected = 0;
  live.portReady = 0;
  live.capabilitiesLogged = 0;
  live.activePdoIndex = 0;
  live.profileKind = 0;
  live.profileSubKind = 0;
  live.profileVoltageMv = 0;
  live.ratedCurrentMa = 0;
  live.vbusVolts = 0.0f;
  live.measuredCurrentMa = 0;
  live.loopbackCurrentMa = 0;
  live.temperatureC = 0;
  live.loadSetpointMa = 0;
  live.capacityMah = 0.0;
  live.capacityMwh = 0.0;
  requests.configPending = 0;
  requests.loadRequestPending = 1;
  requests.profileRequestPending = 0;
  requests.voltageRequestPending = 0;
  requests.requestedLoadMa = 0;
  requests.requestedVoltageMv = 0;
  requests.requestedProfileRow = 0;
  config.currentStepMa = 25;
  config.timeStepMs = 500;
  config.limitMode = EnforceLimits;
  config.forcedLimitIndex = 0;
  config.maxLoadCurrentMa = 0;
  config.standardPortLimitMa = 500;
  config.loopbackEnabled = 0;
  config.estimateUpstream = 0;
  config.cableResistanceMohm = 80;
  config.logIntervalSec = 0;
  graph.graphMode = RealTime;
  graph.testStopped = 1;
  graph.testFinished = 0;
  SetPdoList(PdoList{});
}
