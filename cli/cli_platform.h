// What the command line needs of the system it runs on, implemented once for
// POSIX (terminal devices found through sysfs, flock) and once for Windows
// (the D2XX library and the window's tester registry).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/link/tester_commands.h"
#include "core/link/tester_port.h"

namespace CLI {
class App;
}

// A tester the system shows: its USB serial number and, on POSIX, its device.
struct TesterPlace {
  std::string serial;
  std::string path;
  std::string warning;  // POSIX, --port: why the device may not be a tester (said once it is open)
};

struct PlatformOptions {
  std::string port;        // POSIX: a device named on the command line
  std::string deviceRoot;  // POSIX: root of the device tree (tests, simulated tester)
};

// An open link to one tester: the monitor core's port and its clock, whose
// sleeps end early when a stop is requested.
class CliLink {
 public:
  virtual ~CliLink() = default;
  virtual TesterPort& Port() = 0;
  virtual MonitorClock& Clock() = 0;
};

enum class OpenStatus { Ok, Busy, Failed };

struct OpenOutcome {
  std::unique_ptr<CliLink> link;
  OpenStatus status = OpenStatus::Failed;
  std::string detail;  // the system's reason when not Ok
};

// Every tester (USB serial number beginning "VXPD"), in the system's order.
// False with `error` when the system cannot be asked.
bool ListPlaces(const PlatformOptions& options, std::vector<TesterPlace>* places, std::string* error);
// The place of --port (POSIX): the device, with the serial number of the tester
// behind it when the device tree knows it.
TesterPlace PlaceOfPort(const PlatformOptions& options);
// Opens and claims the tester so that no other program uses it meanwhile.
// Each tester opened has a link of its own: several may be open at once, on
// threads of their own.
OpenOutcome OpenPlace(const TesterPlace& place);

// What asked the running command to stop: a request (Ctrl-C, SIGTERM,
// Ctrl-Break) or the session going away (SIGHUP, SIGQUIT, the console closed,
// a logoff, a shutdown).
enum class StopCause { None, Interrupt, Terminate, HangUp, Quit, Break, ConsoleClosed, LogOff, Shutdown };

// SIGINT, SIGTERM, SIGHUP and SIGQUIT (Windows: the console's Ctrl-C,
// Ctrl-Break, close, logoff and shutdown events) ask the running command to
// stop; they no longer end the process at once, so that it can leave the
// tester safe.
void InstallStopHandlers();
bool InterruptRequested();
// The first stop asked for; None while none was.
StopCause StopRequestCause();
// A descriptor that becomes readable when a stop was requested (POSIX), or -1.
int StopWakeFd();
// Tells a console close handler (Windows) that the clean-up is done.
void StopHandled();
// Waits up to `ms`, returning early when a stop is requested.
void WaitOrStop(unsigned ms);

// Calls `onStop` (from another thread) when a stop is requested, for clocks
// that a signal handler cannot stop itself; one per open tester. Returns its
// id for RemoveStopCallback, after which it is neither running nor called.
int AddStopCallback(std::function<void()> onStop);
void RemoveStopCallback(int id);

// The folder of the running program.
std::string ProgramFolder();

// Subcommands that exist on this system only (POSIX: sim-serve).
void AddPlatformCommands(CLI::App& app, int* exitCode);
