// report's parts, for one tester and for several at once (each on a thread
// of its own into a folder of its own, with a combined summary).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli_core_session.h"
#include "cli/cli_source_tests.h"
#include "core/report/report_model.h"

// An earlier report in the folder (its files `earlier`), refused unless it is
// to be replaced: a report never shows another's CSVs beside its own. Empty
// when there is none or `force`, else the message.
std::string CheckEarlierReport(const std::string& outDir, bool force,
                               const std::vector<std::filesystem::path>& earlier);

// Opens `session` and runs the tester's report into `dir` (which exists),
// removing the `earlier` report's files when the first of its own are
// written. `alone`: the command's only tester, whose summary is printed and
// progress shown. `report` holds what was measured, however it ended.
// Returns the tester's exit code.
int ReportTester(const CliOptions& options, const ReportOptions& o, CoreSession& session,
                 const std::filesystem::path& dir, std::vector<std::filesystem::path> earlier, bool alone,
                 Report* report);

// Every tester's report at once, into OUT/<serial>/, with summary.json and
// index.html in OUT and a table of all; the exit code is the worst.
int RunReports(const CliOptions& options, const ReportOptions& o);
