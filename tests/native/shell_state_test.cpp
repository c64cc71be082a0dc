// Start-up values of the shared state, the load-ceiling rule and the stop
// request that ends the worker threads.
#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "shell/shared_state.h"
#include "shell/stop_signal.h"

namespace {

TEST(SharedState, StartUpValuesAndTheWholePdoList) {
  PdoList list;
  list.count = 2;
  list.entries[1].minMv = 9000;
  SetPdoList(list);
  EXPECT_EQ(GetPdoList().count, 2);
  EXPECT_EQ(GetPdoList().entries[1].minMv, 9000);
  live.ratedCurrentMa = 3000;
  ResetSharedState();
  EXPECT_EQ(GetPdoList().count, 0);
  // The first ready pass sends 0 mA; nothing else is pending.
  EXPECT_EQ((std::vector<int64_t>{live.testerConnected, live.portReady, live.ratedCurrentMa, graph.graphMode,
                                  graph.testStopped, requests.loadRequestPending, requests.profileRequestPending,
                                  requests.voltageRequestPending, requests.configPending}),
            (std::vector<int64_t>{0, 0, 0, RealTime, 1, 1, 0, 0, 0}));
  EXPECT_EQ((std::vector<int64_t>{config.currentStepMa, config.timeStepMs, config.cableResistanceMohm,
                                  config.standardPortLimitMa, config.limitMode, config.maxLoadCurrentMa}),
            (std::vector<int64_t>{25, 500, 80, 500, EnforceLimits, 0}));
  EXPECT_EQ(live.capacityMah, 0.0);
}

TEST(SharedState, MaxLoadCurrentFollowsTheLimitMode) {
  EXPECT_EQ(ComputeMaxLoadCurrent(EnforceLimits, 3000, 0, 0), 3000);
  EXPECT_EQ(ComputeMaxLoadCurrent(AllowOverLimit, 3000, 0, 0), 3600);
  EXPECT_EQ(ComputeMaxLoadCurrent(AllowOverLimit, 4500, 0, 0), 5100);  // capped
  EXPECT_EQ(ComputeMaxLoadCurrent(AllowOverLimit, 1234, 0, 0), 1480);  // 1480.8 truncated
  EXPECT_EQ(ComputeMaxLoadCurrent(ForceLimit, 3000, 8, 0), 5000);
  EXPECT_EQ(ComputeMaxLoadCurrent(ForceLimit, 3000, 0, 0), 1000);
  EXPECT_EQ(ComputeMaxLoadCurrent(EnforceLimits, 6000, 0, 0), 5100);
  EXPECT_EQ(ComputeMaxLoadCurrent(EnforceLimits, 5101, 0, 0), 5100);  // the cap itself
  EXPECT_EQ(ComputeMaxLoadCurrent(7, 3000, 0, 1234), 1234);  // unknown mode keeps the old value

  ResetSharedState();
  live.ratedCurrentMa = 3250;
  config.limitMode = AllowOverLimit;
  RecomputeMaxLoadCurrent();
  EXPECT_EQ(config.maxLoadCurrentMa, 3900);
  config.limitMode = ForceLimit;
  config.forcedLimitIndex = 3;
  RecomputeMaxLoadCurrent();
  EXPECT_EQ(config.maxLoadCurrentMa, 2500);
  ResetSharedState();
}

TEST(StopSignal, APauseEndsWhenTheStopComes) {
  EXPECT_FALSE(StopRequested());
  EXPECT_TRUE(PauseUnlessStopped(1));  // a full pause
  auto paused = std::async(std::launch::async, [] { return PauseUnlessStopped(60000); });
  RequestStop();
  EXPECT_FALSE(paused.get());  // ended early by the stop
  EXPECT_TRUE(StopRequested());
  EXPECT_FALSE(PauseUnlessStopped(60000));  // once raised, no pause waits
}

}  // namespace
