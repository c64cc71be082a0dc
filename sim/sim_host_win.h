// The process-wide side of the stand-in ftd2xx.dll: one simulated world, its
// lock and clock, the scenario it was loaded from, the frame record, and the
// thread that follows the control file and announces plug events.
#pragma once

#include <windows.h>

#include <string>

#include "sim/sim_world.h"

namespace simhost {

// Starts everything on first use (scenario, record, control thread); cheap
// afterwards. Every exported call begins with it.
void EnsureStarted();

// The lock around the world and every open handle.
void Lock();
void Unlock();
struct Guard {
  Guard() { Lock(); }
  ~Guard() { Unlock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

// Time since the world started, from the performance counter (us).
sim::SimTime Now();
// The world; only with the lock held.
sim::SimWorld& World();
sim::FrameRecorder& Recorder();

// Something changed that open handles may be waiting for; the DLL's handle code
// installs the waker. Called with the lock held.
using WakeAllFn = void (*)();
void SetWakeAll(WakeAllFn fn);
void WakeAll();

// Waits until the performance counter reaches `t` or `wake` is signalled:
// sleeps for long gaps, yields for the last part so that bytes are delivered
// close to the time they finish crossing the line.
void WaitUntil(sim::SimTime t, HANDLE wake);

std::string Narrow(const std::wstring& text);

}  // namespace simhost
