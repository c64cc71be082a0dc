#include "core/base/tester_state.h"

#include <mutex>

PdoList TesterState::GetPdoList() const {
  std::lock_guard<std::mutex> guard(pdoLock_);
  return pdoList_;
}

void TesterState::SetPdoList(const PdoList& list) {
  std::lock_guard<std::mutex> guard(pdoLock_);
  pdoList_ = list;
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

void TesterState::RecomputeMaxLoadCurrent() {
  config.maxLoadCurrentMa = ComputeMaxLoadCurrent(config.limitMode, live.ratedCurrentMa, config.forcedLimitIndex,
                                                  config.maxLoadCurrentMa);
}
