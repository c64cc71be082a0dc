// Start-up values of a tester's state, the load-ceiling rule and the stop request that ends the worker threads.
#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "core/base/tester_state.h"
#include "core/base/stop_signal.h"

namespace {

TEST(TesterState, StartUpValuesAndTheWholePdoList) {
  TesterState used;
  PdoList list;
  list.count = 2;
  list.entries[1].minMv = 9000;
  used.SetPdoList(list);
  EXPECT_EQ(used.GetPdoList().count, 2);
  EXPECT_EQ(used.GetPdoList().entries[1].minMv, 9000);
  used.live.ratedCurrentMa = 3000;
  // Another tester's state starts as at start-up, whatever the first one holds.
  TesterState S;
  EXPECT_EQ(S.GetPdoList().count, 0);
  // The first ready pass sends 0 mA; nothing else is pending.
  EXPECT_EQ((std::vector<int64_t>{S.live.testerConnected, S.live.portReady, S.live.ratedCurrentMa, S.graph.graphMode,
                                  S.graph.testStopped, S.requests.loadRequestPending, S.requests.profileRequestPending,
                                  S.requests.voltageRequestPending, S.requests.configPending}),
            (std::vector<int64_t>{0, 0, 0, RealTime, 1, 1, 0, 0, 0}));
  EXPECT_EQ((std::vector<int64_t>{S.config.currentStepMa, S.config.timeStepMs, S.config.cableResistanceMohm,
                                  S.config.standardPortLimitMa, S.config.limitMode, S.config.maxLoadCurrentMa}),
            (std::vector<int64_t>{25, 500, 80, 500, EnforceLimits, 0}));
  EXPECT_EQ(S.live.capacityMah, 0.0);
}

TEST(TesterState, MaxLoadCurrentFollowsTheLimitMode) {
  EXPECT_EQ(ComputeMaxLoadCurrent(EnforceLimits, 3000, 0, 0), 3000);
  EXPECT_EQ(ComputeMaxLoadCurrent(AllowOverLimit, 3000, 0, 0), 3600);
  EXPECT_EQ(ComputeMaxLoadCurrent(AllowOverLimit, 4500, 0, 0), 5100);  // capped
  EXPECT_EQ(ComputeMaxLoadCurrent(AllowOverLimit, 1234, 0, 0), 1480);  // 1480.8 truncated
  EXPECT_EQ(ComputeMaxLoadCurrent(ForceLimit, 3000, 8, 0), 5000);
  EXPECT_EQ(ComputeMaxLoadCurrent(ForceLimit, 3000, 0, 0), 1000);
  EXPECT_EQ(ComputeMaxLoadCurrent(EnforceLimits, 6000, 0, 0), 5100);
  EXPECT_EQ(ComputeMaxLoadCurrent(EnforceLimits, 5101, 0, 0), 5100);  // the cap itself
  EXPECT_EQ(ComputeMaxLoadCurrent(7, 3000, 0, 1234), 1234);  // unknown mode keeps the old value
  TesterState S;
  S.live.ratedCurrentMa = 3250;
  S.config.limitMode = AllowOverLimit;
  S.RecomputeMaxLoadCurrent();
  EXPECT_EQ(S.config.maxLoadCurrentMa, 3900);
  S.config.limitMode = ForceLimit;
  S.config.forcedLimitIndex = 3;
  S.RecomputeMaxLoadCurrent();
  EXPECT_EQ(S.config.maxLoadCurrentMa, 2500);
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
