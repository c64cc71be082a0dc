// loadpost-cli on Linux and other POSIX systems.
#include "cli/cli_app.h"
#include "cli/cli_platform.h"

int main(int argc, char** argv) {
  InstallStopHandlers();
  return RunCli(argc, argv);
}
