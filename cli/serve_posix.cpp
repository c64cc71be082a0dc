// sim-serve: the simulated tester on pseudo-terminals, for trying every command
// without hardware and for the command line's tests.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <cstdio>

#include "cli/cli_output.h"
#include "cli/cli_platform.h"
#include "cli/cli_sim.h"
#include "cli/cli_values.h"
#include "sim/sim_scenario.h"
#include "sim/sim_serve_posix.h"

namespace {

struct ServeArgs {
  std::string scenario = "default";
  sim::ServeOptions options;
};

}  // namespace

void AddPlatformCommands(CLI::App& app, int* exitCode) {
  static ServeArgs args;
  CLI::App* serve = app.add_subcommand(
      "sim-serve",
      "Serve the simulated tester on a pseudo-terminal: prints '<serial> <device>' per tester and 'device-root "
      "<folder>'; other commands then find it with --device-root (or use --port). Control commands (attach, "
      "detach, unplug <serial>, fault ...) are read from standard input. Runs until Ctrl-C.");
  serve->add_option("scenario", args.scenario, "Scenario file or name (default, kt40, kt40-fw26, two-testers, ...)")
      ->capture_default_str();
  serve->add_option("--root", args.options.root, "Make the device tree in this folder (default: a new one in /tmp)");
  serve->add_option("--record", args.options.record, "Append the frame record to this file");
  serve->add_option("--latency", args.options.latencyMs,
                    "The USB bridge's latency timer in ms (1-255; default: the scenario's, 16 as the Linux driver's "
                    "default; 1 as with its low-latency flag)")
      ->check(NumberIn(ranges::kLatencyMs));
  serve->callback([exitCode] {
    sim::Scenario scenario;
    std::string error;
    if (!LoadNamedScenario(args.scenario, &scenario, &error)) {
      *exitCode = Fail(error);
      return;
    }
    if (scenario.clock == sim::Clock::Simulated) {
      std::fprintf(stderr, "sim-serve runs in real time: the scenario's simulated clock applies to --sim only\n");
    }
    args.options.controlFd = STDIN_FILENO;
    args.options.wakeFd = StopWakeFd();
    *exitCode = sim::ServeScenario(scenario, args.options, InterruptRequested, stdout, stderr);
  });
}
