// Choosing, opening and accepting the tester a command works with.
#pragma once

#include <memory>
#include <string>

#include "cli/cli_platform.h"
#include "link/pdo.h"
#include "link/tester_commands.h"

struct CliOptions {
  PlatformOptions platform;
  std::string serial;  // --serial
  bool json = false;   // --json
};

struct Session {
  TesterPlace place;
  std::unique_ptr<CliLink> link;
  CommandChannel channel;
  uint8_t hardwareRevision = 0;
  uint8_t firmwareVersion = 0;
  TesterSettings settings;

  // The serial number, or the device when the serial is not known.
  std::string Name() const { return place.serial.empty() ? place.path : place.serial; }
};

// The tester named by --port or --serial, or the only one there is. On
// failure prints why and returns the exit code; 0 when `place` is set.
int ChooseTester(const CliOptions& options, TesterPlace* place);

// Chooses, opens and claims the tester, reads its version and settings and
// applies the version check. On failure prints why, closes the link and
// returns the exit code; 0 when connected.
int ConnectTester(const CliOptions& options, Session* session);

// "Hardware 2.0" style numbers: the version byte / 10 with one decimal.
std::string VersionText(uint8_t tenths);
