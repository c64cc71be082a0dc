// The simulated tester served on pseudo-terminals, in real time, so that the
// real serial code (and any user) can talk to it as to a tester behind its USB
// bridge. Every device of the scenario gets a pseudo-terminal while it is
// plugged in, and a device tree like the kernel's (sysfs entries with its USB
// vendor, product and serial number, and /dev/ttyUSBn linked to the
// pseudo-terminal) below one root folder, which discovery is pointed at.
//
// Bytes from the program reach the tester model at the moment they are read;
// the model's answers are written to the pseudo-terminal when the modelled USB
// bridge hands them on: when 62 are waiting or its latency timer runs out (a
// pseudo-terminal has no event character and no way to set the timer, so the
// server's option stands for the driver's setting: 16 ms as the Linux driver's
// default, 1 ms as with its low-latency flag). The program's line settings are
// taken from the terminal: anything but 115200 8N1 reaches the tester garbled.
// Unplugging a device (control command, timeline or an unplug fault) closes its
// pseudo-terminal, so the program's next read fails as with a real bridge.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "sim/sim_scenario.h"

namespace sim {

struct ServeOptions {
  std::string root;    // device tree folder; empty: a new folder under /tmp, removed at the end. A folder
                       // given here keeps everything but what the server made in it.
  std::string record;  // frame record file; empty: none
  int controlFd = -1;  // control lines (see sim/README.md) are read from here, e.g. standard input
  int wakeFd = -1;     // readable when a stop was asked for (e.g. by a signal handler)
  int latencyMs = 0;   // the USB bridge's latency timer (1..255 ms); 0: the scenario's (16 ms unless it says)
};

// Serves until stop() returns true (asked after each wake-up). Writes "<serial> <pseudo-terminal>" for
// every device plugged in at the start, then "device-root <folder>", then one
// line per later plug ("plugged ...") or unplug ("unplugged <serial>") to
// `out`, flushed. Returns 0, or 2 (with the reason on `err`) when it could
// not start.
int ServeScenario(const Scenario& scenario, const ServeOptions& options, const std::function<bool()>& stop,
                  FILE* out, FILE* err);

}  // namespace sim
