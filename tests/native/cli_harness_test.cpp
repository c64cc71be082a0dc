// The tests' own promise: no process a test starts (sim-serve, loadpost-cli) outlives that test, however the test ends.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/native/cli_harness.h"

namespace {

using namespace cli_harness;

// True while `pid` is a loadpost-cli that has not ended (a zombie has ended).
bool Running(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t name = stat.find(" (loadpost-cli) ");
  return name != std::string::npos && stat.size() > name + 16 && stat[name + 16] != 'Z' && stat[name + 16] != 'X';
}

bool EndsWithin(pid_t pid, int ms) {
  for (int waited = 0; waited < ms && Running(pid); waited += 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return !Running(pid);
}

// Run by the test below as a test process of its own: starts a server and a
// watch on it, says their ids and waits to be ended.
TEST(ChildProcess, DISABLED_HoldAServerAndAWatch) {
  SimServer server("default");
  const Child watch = server.Start({"watch"});
  std::printf("children %d %d\n", server.Pid(), watch.pid);
  std::fflush(stdout);
  for (;;) pause();
}

TEST(ChildProcess, NoneOutlivesTheTestThatStartedItHoweverItEnds) {
  struct Case {
    const char* how;
    int signal;  // sent to the test process; 0: the test returns without finishing its children
  } cases[] = {
      {"the test process is killed", SIGKILL}, {"the test process is interrupted (Ctrl-C)", SIGINT},
      {"the test returns early (a failed assertion)", 0},
  };
  char self[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    int server = -1, watch = -1;
    if (c.signal != 0) {
      const Child test = Spawn(
          {self, "--gtest_filter=ChildProcess.DISABLED_HoldAServerAndAWatch", "--gtest_also_run_disabled_tests"}, true);
      std::string line;
      for (int n = 0; n < 100 && line.rfind("children ", 0) != 0; ++n) line = child_process::ReadLine(test.out);
      ASSERT_EQ(std::sscanf(line.c_str(), "children %d %d", &server, &watch), 2) << line;
      ASSERT_TRUE(Running(server) && Running(watch));
      kill(test.pid, c.signal);
      EXPECT_EQ(Finish(test).code, 128 + c.signal);
      // The kernel ends them, and whoever adopted them reaps them.
      EXPECT_TRUE(EndsWithin(server, 10000));
      EXPECT_TRUE(EndsWithin(watch, 10000));
    } else {
      {
        SimServer s("default");
        const Child w = Spawn({LOADPOST_CLI, "--sim", "default", "watch"});  // runs until it is ended
        server = s.Pid();
        watch = w.pid;
        ASSERT_TRUE(Running(server) && Running(watch));
      }
      // Ended and reaped by the time the scope is left.
      EXPECT_FALSE(Running(server));
      EXPECT_FALSE(Running(watch));
    }
  }
}

}  // namespace
