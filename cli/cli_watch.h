// watch's parts, for one tester and for several at once (each on a thread of
// its own, into one stream with the serial number in every line or into a
// file of its own).
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "cli/cli_commands.h"
#include "cli/cli_core_session.h"

// How one tester's watch went.
struct WatchSummary {
  bool started = false;  // the capture began (the tester connected, its source read, its load on)
  int64_t startUs = 0;
  int64_t endUs = 0;
  uint64_t readings = 0;
  double mah = 0;
  double mwh = 0;
  uint16_t minMv = 0xFFFF;
  uint16_t maxMv = 0;
  std::string reason;
  bool complete = true;
};

// A stream several testers write their lines into: each line carries the
// tester's serial number and is written whole under the lock.
struct SharedStream {
  FILE* out = stdout;
  std::string name;  // the file, for messages; "standard output"
  std::mutex lock;
  std::string error;  // why a write failed: every tester's capture then ends
};

// The CSV header; `serial`: with the serial number's column first.
const char* WatchCsvHeader(bool serial);

// Opens `session` and watches its tester until a stop condition, a stop, a
// detach, re-advertised capabilities or a lost link, writing its lines to
// `shared` (with its serial number) or, when null, to w.outPath or standard
// output; it ends with the session's safe end. `alone`: the command's only
// tester, whose summary is printed as a table (JSON lines end with the
// summary either way). Returns the tester's exit code.
int WatchTester(const CliOptions& options, const WatchOptions& w, CoreSession& session, SharedStream* shared,
                bool alone, WatchSummary* sum);

// watch over several testers: each on a thread of its own; the exit code is the worst.
int RunWatches(const CliOptions& options, const WatchOptions& w);
