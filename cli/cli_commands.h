// The subcommands. Each returns the process's exit code.
#pragma once

#include <string>

#include "cli/cli_history.h"
#include "cli/cli_session.h"

namespace CLI {
class App;
}

int RunList(const CliOptions& options);
int RunStatus(const CliOptions& options);
int RunProfiles(const CliOptions& options);

struct RequestOptions {
  int row = -1;          // request ROW
  long long voltageMv = -1;  // request --voltage MV
};
int RunRequest(const CliOptions& options, const RequestOptions& request);

struct LimitOptions {
  std::string mode = "enforce";  // enforce, allow, force
  long long forcedLimitMa = -1;  // --limit MA with force
  bool acceptRisk = false;
};
// The --limit-mode, --limit and --accept-risk options of a command.
void AddLimitOptions(CLI::App* command, LimitOptions* limits);
// The limit options as the tester's limit mode and ceiling; an empty string
// when they are acceptable, else why not.
std::string CheckLimits(const LimitOptions& l, uint32_t* mode, uint16_t* forcedIndex);

struct LoadOptions {
  long long loadMa = -1;
  double holdSeconds = -1;  // --for; < 0: until stopped
  LimitOptions limits;
};
int RunLoad(const CliOptions& options, const LoadOptions& load);

struct WatchOptions {
  double intervalMs = 1000;  // 0: every reading
  std::string format = "csv";
  std::string outPath;       // empty: standard output
  double durationSec = -1;
  long long loadMa = -1;
  long long stopBelowMv = -1;
  double stopAfterMah = -1;
  LimitOptions limits;
  HistoryOptions history;  // --db, --label
};
int RunWatch(const CliOptions& options, const WatchOptions& watch);
