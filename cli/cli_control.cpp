// request, load and watch.
#include "cli/cli_commands.h"
#include "cli/cli_output.h"

int RunRequest(const CliOptions&, const RequestOptions&) { return Fail("request: not yet"); }
int RunLoad(const CliOptions&, const LoadOptions&) { return Fail("load: not yet"); }
int RunWatch(const CliOptions&, const WatchOptions&) { return Fail("watch: not yet"); }
