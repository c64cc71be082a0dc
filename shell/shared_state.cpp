#include "shell/shared_state.h"

float uiScale = 1.0f;

TesterState processTester;
LiveState& live = processTester.live;
Requests& requests = processTester.requests;
TestConfiguration& config = processTester.config;
GraphFlags& graph = processTester.graph;

PdoList GetPdoList() { return processTester.GetPdoList(); }
void SetPdoList(const PdoList& list) { processTester.SetPdoList(list); }
void RecomputeMaxLoadCurrent() { processTester.RecomputeMaxLoadCurrent(); }

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
