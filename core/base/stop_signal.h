// The program's stop request (at exit): worker threads look at it between
// their steps, and their pauses end early once it is raised.
#pragma once

#include <cstdint>

void RequestStop();
bool StopRequested();

// Pauses `ms` milliseconds. Returns false, at once or as soon as it comes,
// when a stop is requested; true after a full pause.
bool PauseUnlessStopped(uint32_t ms);
