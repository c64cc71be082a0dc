// Start-up values of the shared state, the load-ceiling rule and the stop
// request that ends the worker threads.
#include <gtest/gtest.h>

#include <future>

#include "shell/shared_state.h"
#include "shell/stop_signal.h"

namespace {

TEST(SharedState, StartUpValues) {
  ResetSharedState();
  EXPECT_EQ(live.testerConnected, 0);
  EXPECT_EQ(live.portReady, 0);
  EXPECT_EQ(graph.graphMode, RealTime);
  EXPECT_EQ(graph.testStopped, 1);
  EXPECT_EQ(requests.loadRequestPending, 1u);  // the first ready pass sends 0 mA
  EXPECT_EQ(config.currentStepMa, 25);
  EXPECT_EQ(config.timeStepMs, 500);
  EXPECT_EQ(config.cableResistanceMohm, 80);
  EXPECT_EQ(config.standardPortLimitMa, 500);
  EXPECT_EQ(config.limitMode, EnforceLimits);
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

TEST(SharedState, PdoListIsCopiedWhole) {
  PdoList list;
  list.count = 2;
  list.entries[1].minMv = 9000;
  SetPdoList(list);
  EXPECT_EQ(GetPdoList().count, 2);
  EXPECT_EQ(GetPdoList().entries[1].minMv, 9000);
  ResetSharedState();
  EXPECT_EQ(GetPdoList().count, 0);
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
