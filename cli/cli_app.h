// The command line's entry: parses the arguments (UTF-8) and runs the
// subcommand. Returns the process's exit code.
#pragma once

int RunCli(int argc, char** argv);
