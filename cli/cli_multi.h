// Several testers at once (--all, or --serial more than once): each tester
// has its own session, state and core, and a command that runs over time runs
// each on a thread of its own, so that one tester's detach, failure or pace
// neither stops nor slows another. The exit code is the worst of all.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/cli_session.h"

// A tester the command leaves out: busy (held by another program), or with
// --all one that is not usable. Either is listed, not counted.
bool LeftOut(const CliOptions& options, ConnectRefusal refusal);
// "busy", "not usable", or empty.
std::string LeftOutText(ConnectRefusal refusal);

// How one tester's part of the command ended.
struct TesterEnd {
  int code = 0;
  bool leftOut = false;
  std::string leftOutText;  // "busy" or "not usable"
  std::string message;      // the last message written about it, when it failed
};

// The command's exit code: the worst (0, 1, 2) of the testers not left out;
// 2 when every tester was left out.
int WorstExitCode(const std::vector<TesterEnd>& ends);

// Runs `run(i)` for tester i of `places`, each on a thread of its own, and
// returns when all have ended. Messages of a run (Fail) are headed by its
// tester's name; an exception ends that run alone, with exit code 2.
std::vector<TesterEnd> RunEachTester(const std::vector<TesterPlace>& places,
                                     const std::function<TesterEnd(size_t)>& run);

// Marks `end` left out when the session's refusal leaves the tester out, and
// says so ("VXPD0002: busy, skipped").
void MarkLeftOut(const CliOptions& options, const Session& session, TesterEnd* end);

// Connects to tester `place` for a command over several testers: 0 when
// connected; else the exit code, with `end` saying whether it is left out.
int ConnectOneOf(const CliOptions& options, const TesterPlace& place, Session* session, TesterEnd* end);
