// serve: every usable tester as an SCPI instrument over raw TCP, one port and
// one client per tester, each tester on its own core and thread.
#pragma once

#include <functional>

#include "cli/cli_session.h"

namespace CLI {
class App;
}

// settle() completes the global options (given after the subcommand too) before the command runs.
void AddServeCommand(CLI::App& app, CliOptions& options, int* exitCode, const std::function<void()>& settle);
