// Choosing, opening and accepting the tester a command works with.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "cli/cli_platform.h"
#include "core/link/monitor_core.h"
#include "core/link/pdo.h"
#include "core/link/tester_commands.h"
#include "core/base/tester_state.h"

struct CliOptions {
  PlatformOptions platform;
  std::string serial;       // --serial
  bool json = false;        // --json
  bool sim = false;         // --sim [SCENARIO]
  std::string simScenario;  // its scenario ("default" when none is named)
};

// The testers of the system, or of the simulated scenario with --sim.
bool ListTesters(const CliOptions& options, std::vector<TesterPlace>* places, std::string* error);
OpenOutcome OpenTester(const CliOptions& options, const TesterPlace& place);

// One connected tester, its state and the monitor core over it (the window's own).
struct Session {
  TesterPlace place;
  std::unique_ptr<CliLink> link;
  MonitorView view;  // the command line prints what it needs itself
  TesterState state;  // this tester's own: its core works on nothing else
  std::unique_ptr<MonitorCore> core;
  CommandChannel channel;  // the port's, for one-shot reads
  uint8_t hardwareRevision = 0;
  uint8_t firmwareVersion = 0;

  // The serial number, or the device when the serial is not known.
  std::string Name() const { return place.serial.empty() ? place.path : place.serial; }
};

// The tester named by --port or --serial, or the only one there is. On
// failure prints why and returns the exit code; 0 when `place` is set.
int ChooseTester(const CliOptions& options, TesterPlace* place);

// Chooses, opens and claims the tester and connects the monitor core to it
// (version check, settings read). On failure prints why, closes the link and
// returns the exit code; 0 when connected.
int ConnectTester(const CliOptions& options, Session* session);

// Runs the monitor until it has read the source (and written the program's
// settings to the tester); prints why not and returns the exit code otherwise.
// `sourceRead`, when given, judges the source as soon as it has been read,
// before the settings or a load are sent; a non-zero exit code from it ends
// the wait with nothing written.
int AwaitSource(Session& session, const std::function<int()>& sourceRead = nullptr);

// "VXPD0001: <text>" for a message of the core.
int FailWith(const Session& session, const std::wstring& message);

// "Hardware 2.0" style numbers: the version byte / 10 with one decimal.
std::string VersionText(uint8_t tenths);
