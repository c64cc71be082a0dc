// Scenario files: which devices are on the bus, what sits behind each tester,
// what happens when, and which faults to inject. The syntax is described in
// sim/README.md; ParseScenario reports the first error as
// "<origin>:<line>: <message>".
#pragma once

#include <string>
#include <vector>

#include "sim/sim_types.h"

namespace sim {

// A control command (also the body of a timeline "at" line), parsed and checked.
struct ControlCommand {
  enum class Kind {
    Attach,      // attach [charger]
    Detach,      // detach
    Charger,     // charger <name | inline>
    CapChange,   // capchange [name | inline]
    NewProfile,  // newprofile [position [voltage]]
    Plug,        // plug <serial> [kt40 | kt60 | ftdi | hw N fw N]
    Unplug,      // unplug <serial>
    Fault,       // fault <kind> ...
    ClearFaults, // nofaults
    Ripple,      // ripple <mV> <Hz>
    Noise,       // noise <mV> <mA>
    Cable,       // cable <mOhm>
    Loopback,    // loopback <mA>
    Ambient,     // ambient <C>
    Note,        // note <text>
  };
  Kind kind = Kind::Note;
  std::string target;   // "@serial" prefix without the "@"; empty = the first tester
  bool hasCharger = false;
  ChargerSetup charger;  // Attach, Charger, CapChange
  DeviceSetup device;    // Plug: serial and model
  bool deviceModelGiven = false;
  FaultRule fault;      // Fault
  int position = 0;     // NewProfile
  uint16_t mv = 0;      // NewProfile
  double a = 0.0, b = 0.0;  // Ripple, Noise, Cable, Loopback, Ambient
  std::string text;     // Note, Unplug serial
};

struct TimelineEvent {
  SimTime at = 0;
  ControlCommand command;
  int line = 0;
};

// How the in-process simulated tester (a command line's --sim) keeps time:
// with the wall clock, or as fast as the model runs (a day of readings in
// seconds). The D2XX stand-in and sim-serve always run in real time.
enum class Clock { Real, Simulated };

struct Scenario {
  std::string origin;
  std::vector<ChargerSetup> chargers;  // declared in the file
  std::vector<DeviceSetup> devices;    // in bus order
  std::vector<TimelineEvent> timeline;  // sorted by time (stable)
  uint64_t seed = 1;
  Clock clock = Clock::Real;  // option clock real | simulated
};

// Parses scenario text; `origin` names it in error messages (e.g. a file name).
bool ParseScenario(const std::string& text, const std::string& origin, Scenario* out, std::string* error);
// Reads and parses a file.
bool LoadScenarioFile(const std::string& path, Scenario* out, std::string* error);
// The scenario used when none is given: one KT-60 "VXPD0001" with a 65 W USB PD
// charger attached.
const char* DefaultScenarioText();
// The chargers every scenario and control command may name: pd65, pd20, pd100,
// pdall, qc2, qc3, sdp, cdp, dcp, typec1.5, typec3, legacy, pty.
const std::vector<ChargerSetup>& BuiltInChargers();

// Parses one control line. `chargers` are the scenario's own chargers (looked
// up before the built-in ones).
bool ParseControlCommand(const std::string& line, const std::vector<ChargerSetup>& chargers, ControlCommand* out,
                         std::string* error);

}  // namespace sim
