// The command line's options and subcommands (CLI11) and their dispatch.
#include "cli/cli_app.h"

#include <CLI/CLI.hpp>

#include "cli/cli_commands.h"
#include "cli/cli_history.h"
#include "cli/cli_output.h"
#include "cli/cli_platform.h"
#include "cli/cli_serve.h"
#include "cli/cli_source_tests.h"
#include "cli/cli_values.h"
#include "core/base/version.h"

void AddLimitOptions(CLI::App* command, LimitOptions* limits) {
  command->add_option("--limit-mode", limits->mode,
                      "Current limit mode: enforce (the profile's rated current), allow (1.2 x rated) or force "
                      "(the --limit ceiling)")
      ->check(CLI::IsMember({"enforce", "allow", "force"}));
  command->add_option("--limit", limits->forcedLimitMa,
                      "Ceiling in mA for --limit-mode force: 1000 to 5000 in steps of 500")
      ->check(NumberIn(ranges::kForcedLimitMa));
  command->add_flag("--accept-risk", limits->acceptRisk,
                    "Accept drawing more than the source's rating (needed by --limit-mode allow and force)");
}

int RunCli(int argc, char** argv) {
  CLI::App app{"Loadpost command line: lists Trevane KT-40/KT-60 load testers, reads them, sets their load and "
               "records measurements.",
               "loadpost-cli"};
  app.set_version_flag("--version", "loadpost-cli " + Narrow(kProgramVersion) + " (build " + Narrow(kProgramBuild) + ")");
  app.require_subcommand(1);
  app.fallthrough();
  app.footer("Exit codes: 0 success, 1 a test verdict of FAIL, 2 an error (bad option or value, no tester, tester "
             "busy, link lost, a run ended early). Ctrl-C and SIGTERM stop a command, SIGHUP and SIGQUIT end it as "
             "incomplete; either way the load goes back to 0 mA and the limits to enforced.");

  CliOptions options;
  int exitCode = kExitOk;
#ifndef _WIN32
  app.add_option("--port", options.platform.port, "Use the tester on this terminal device (e.g. /dev/ttyUSB0)");
  app.add_option("--device-root", options.platform.deviceRoot,
                 "Look for testers in this device tree instead of / (as printed by sim-serve); also "
                 "LOADPOST_DEVICE_ROOT");
#endif
  // One value per --serial: a subcommand's name after it is never taken for a serial number.
  app.add_option("--serial", options.serials,
                 "Use the tester with this USB serial number (e.g. VXPD0001); more than once for several testers "
                 "at once (status, profiles, watch, report)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  app.add_flag("--all", options.all, "Use every usable tester at once (status, profiles, watch, report)");
  app.add_flag("--json", options.json, "Write JSON instead of a table");
  CLI::Option* simOption =
      app.add_option("--sim", options.simScenario,
                     "Use the simulated tester in this program instead of hardware: a scenario name (default, kt40, "
                     "two-testers, ...) or file")
          ->expected(0, 1);
  // Options given after the subcommand are seen only when its callback runs.
  const auto settle = [&options, simOption] {
    options.sim = simOption->count() > 0;
    if (options.sim && options.simScenario.empty()) options.simScenario = "default";
  };

  app.add_subcommand("list", "List every tester: serial number, model, hardware and firmware, whether it is usable")
      ->callback([&] {
        settle();
        exitCode = RunList(options);
      });
  app.add_subcommand("status", "Show the source's profile, rated current, VBUS, current, loopback, power, "
                               "temperature and the tester's limit mode")
      ->callback([&] {
        settle();
        exitCode = RunStatus(options);
      });
  app.add_subcommand("profiles", "Show the source's capability list; * marks the active row")
      ->callback([&] {
        settle();
        exitCode = RunProfiles(options);
      });

  RequestOptions request;
  CLI::App* requestCommand = app.add_subcommand("request", "Ask the source for a profile row, or for a voltage on "
                                                           "the active programmable profile");
  CLI::Option* rowOption =
      requestCommand->add_option("row", request.row, "Row of the capability list (see profiles)")
          ->check(NumberIn(ranges::kProfileRow));
  requestCommand->add_option("--voltage", request.voltageMv, "Voltage in mV on the active programmable profile")
      ->check(NumberIn(ranges::kVoltageMv))
      ->excludes(rowOption);
  requestCommand->callback([&] {
        settle();
        exitCode = RunRequest(options, request);
      });

  LoadOptions load;
  CLI::App* loadCommand = app.add_subcommand(
      "load", "Draw MA milliamperes from the source until stopped (Ctrl-C) or for --for seconds; the load goes "
              "back to 0 mA at the end. 'load 0' clears the tester: 0 mA and enforced limits");
  loadCommand->add_option("current", load.loadMa, "Load current in mA, 0 to 5100")
      ->required()
      ->check(NumberIn(ranges::kLoadMa));
  loadCommand->add_option("--for", load.holdSeconds, "Hold the load this many seconds (at most 30 days), then end")
      ->check(NumberIn(ranges::kHoldSeconds));
  AddLimitOptions(loadCommand, &load.limits);
  loadCommand->callback([&] {
        settle();
        exitCode = RunLoad(options, load);
      });

  WatchOptions watch;
  CLI::App* watchCommand = app.add_subcommand(
      "watch", "Stream measurements as CSV or JSON lines; with --load and a stop condition, a capacity test");
  watchCommand->add_option("--interval", watch.intervalMs, "Milliseconds between lines (at most 1 hour); 0 writes every reading")
      ->check(NumberIn(ranges::kIntervalMs))
      ->capture_default_str();
  watchCommand->add_option("--format", watch.format, "csv or json")->check(CLI::IsMember({"csv", "json"}))
      ->capture_default_str();
  watchCommand->add_option("--out", watch.outPath, "Write the lines to this file instead of standard output");
  watchCommand->add_option("--duration", watch.durationSec, "Stop after this many seconds (at most 30 days)")
      ->check(NumberIn(ranges::kDurationSeconds));
  watchCommand->add_option("--load", watch.loadMa, "Draw this many mA while watching (back to 0 mA at the end)")
      ->check(NumberIn(ranges::kLoadMa));
  watchCommand->add_option("--stop-below", watch.stopBelowMv, "Stop when VBUS falls below this many mV")
      ->check(NumberIn(ranges::kStopBelowMv));
  watchCommand->add_option("--stop-after-mah", watch.stopAfterMah, "Stop when this many mAh have been drawn")
      ->check(NumberIn(ranges::kStopAfterMah));
  AddLimitOptions(watchCommand, &watch.limits);
  AddHistoryOptions(watchCommand, &watch.history, false);
  watchCommand->callback([&] {
        settle();
        exitCode = RunWatch(options, watch);
      });

  AddSourceTestCommands(app, options, &exitCode, settle);
  AddServeCommand(app, options, &exitCode, settle);
  AddHistoryCommand(app, options, &exitCode);
  AddPlatformCommands(app, &exitCode);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
    std::fprintf(stderr, "loadpost-cli: %s\nRun 'loadpost-cli --help' for the options.\n", e.what());
    return kExitError;
  } catch (const std::exception& e) {
    // The command's session has already left the tester safe while unwinding.
    return Fail(std::string("ended by an unexpected error: ") + e.what());
  } catch (...) {
    return Fail("ended by an unexpected error");
  }
  return exitCode;
}
