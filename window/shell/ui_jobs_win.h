// Work that must not hold up the window (opening a tester, calibration
// exchanges): it runs on a thread of its own, and what follows from it runs on
// the user-interface thread afterwards, so the window keeps painting and
// answering meanwhile.
#pragma once

#include <windows.h>

#include <functional>

// Runs `work` on a new thread, then `done` on the user-interface thread. False
// (and nothing run) when no thread could be started.
bool RunOffUiThread(std::function<void()> work, std::function<void()> done);

// At exit, after RequestStop: waits at most `timeoutMs` for every job begun
// with RunOffUiThread. True when none is left running.
bool JoinOffUiThreadJobs(DWORD timeoutMs);
