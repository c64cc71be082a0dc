// The commands that judge a source on the graph window's rules: ripple (the
// real-time graph's capture), sweep (the voltage-versus-current sweep) and
// report (every profile of the source, into an HTML, JSON and CSV report).
#pragma once

#include <functional>
#include <string>

#include "cli/cli_commands.h"
#include "cli/cli_history.h"
#include "cli/cli_limits.h"

// The window's sweep settings: current and time step, limit mode and ceiling.
struct SweepSettings {
  long long currentStepMa = 25;
  long long timeStepMs = 500;
  LimitOptions limits;
};

struct RippleOptions {
  double seconds = 1.0;
  std::string csvPath;
  VerdictFileOptions verdicts;
  HistoryOptions history;
};
struct SweepOptions {
  SweepSettings settings;
  std::string csvPath;
  std::string svgPath;
  VerdictFileOptions verdicts;
  HistoryOptions history;
};
struct ReportOptions {
  SweepSettings settings;
  double rippleSeconds = 1.0;
  std::string outDir = ".";
  bool force = false;  // replace an earlier report in outDir
  VerdictFileOptions verdicts;
  HistoryOptions history;
};

int RunRipple(const CliOptions& options, const RippleOptions& ripple);
int RunSweep(const CliOptions& options, const SweepOptions& sweep);
int RunReport(const CliOptions& options, const ReportOptions& report);

// The settings as the window's configuration dialog would take them: an empty
// string when acceptable, else the dialog's message.
std::string CheckSweepSettings(const SweepSettings& s);

namespace CLI {
class App;
}
// settle() completes the global options (given after the subcommand too) before a command runs.
void AddSourceTestCommands(CLI::App& app, CliOptions& options, int* exitCode, const std::function<void()>& settle);
