// Windows side of the command line: testers are found and opened through the
// D2XX library (ftd2xx.dll from the program's folder or the system folder), and
// claimed in the same registry as the window's, so that a command-line run and
// a window never share a tester. Every open tester has a link, notices and a
// clock of its own, so that several can be driven at once. Ctrl-C,
// Ctrl-Break, closing the console, a logoff and a shutdown ask the running
// command to stop.
#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "cli/cli_output.h"
#include "cli/cli_platform.h"
#include "core/d2xx/d2xx.h"
#include "core/link/link_port_win.h"
#include "core/link/real_clock.h"
#include "core/link/tester_link_win.h"
#include "core/base/instance_registry_win.h"
#include "core/base/tester_list.h"

namespace {

std::atomic<bool> stopRequested{false};
std::atomic<int> stopCause{static_cast<int>(StopCause::None)};  // the first event's
HANDLE consoleStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
HANDLE cleanupDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
// The console handler runs on a thread of its own: the open testers' stop
// callbacks (each stops its tester's clock) are registered, called and taken
// away under this lock, so that it never reaches a clock whose link is being
// destroyed.
std::mutex handlerLock;
std::map<int, std::function<void()>> stopCallbacks;
int lastStopId = 0;

// One open tester: its link (with its own notices), the port over it, and a
// clock that a stop request ends. The tester's claim goes with it.
class WinLink : public CliLink {
 public:
  explicit WinLink(std::string serial) : serial_(std::move(serial)) {
    stopCallback_ = AddStopCallback([this] { clock_.Stop(); });
    // A stop asked for before the callback was there.
    if (InterruptRequested()) clock_.Stop();
  }
  ~WinLink() override {
    RemoveStopCallback(stopCallback_);  // waits for a handler that is stopping the clock right now
    link_.Close();
    ReleaseTesterClaimOf(Widen(serial_).c_str());
  }
  // Opens the device and asks its version.
  bool Open() { return serial_.size() < 20 && link_.Open(serial_.c_str(), nullptr); }
  TesterPort& Port() override { return port_; }
  MonitorClock& Clock() override { return clock_; }

 private:
  std::string serial_;
  TesterLink link_;
  LinkPort port_{link_};
  RealClock clock_;
  int stopCallback_ = 0;
};

StopCause CauseOf(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT: return StopCause::Interrupt;
    case CTRL_BREAK_EVENT: return StopCause::Break;
    case CTRL_CLOSE_EVENT: return StopCause::ConsoleClosed;
    case CTRL_LOGOFF_EVENT: return StopCause::LogOff;
    default: return StopCause::Shutdown;
  }
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  int none = static_cast<int>(StopCause::None);
  stopCause.compare_exchange_strong(none, static_cast<int>(CauseOf(event)));
  stopRequested.store(true);
  SetEvent(consoleStop);
  {
    std::lock_guard<std::mutex> hold(handlerLock);
    for (auto& [id, callback] : stopCallbacks) callback();
  }
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The process ends when this returns: give the command time to set the
    // load back to 0 mA and close its file.
    WaitForSingleObject(cleanupDone, 4000);
  }
  return TRUE;
}

}  // namespace

bool ListPlaces(const PlatformOptions&, std::vector<TesterPlace>* places, std::string* error) {
  places->clear();
  if (!D2xxAvailable()) {
    *error = "the D2XX library ftd2xx.dll was not found (put it beside loadpost-cli.exe or install the D2XX driver)";
    return false;
  }
  const int count = D2xxDeviceCount();
  for (int i = 0; i < count; ++i) {
    char serial[64];
    if (D2xxSerialAt(i, serial, sizeof serial) && IsTesterSerial(Widen(serial).c_str())) {
      places->push_back({serial, ""});
    }
  }
  return true;
}

TesterPlace PlaceOfPort(const PlatformOptions& options) { return {"", options.port}; }

OpenOutcome OpenPlace(const TesterPlace& place) {
  OpenOutcome outcome;
  // Without the registry (it failed to open) the tester is used unclaimed, as
  // the window does after its warning. The registry stays open while the
  // program runs: other testers' claims may still be in it.
  if (OpenTesterRegistry() && ClaimOneOfSeveral(Widen(place.serial).c_str())) {
    outcome.status = OpenStatus::Busy;
    return outcome;
  }
  auto link = std::make_unique<WinLink>(place.serial);
  if (!link->Open()) {
    outcome.detail = "the device could not be opened or did not answer";
    return outcome;  // the link's end gives the claim back
  }
  outcome.status = OpenStatus::Ok;
  outcome.link = std::move(link);
  return outcome;
}

void InstallStopHandlers() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
bool InterruptRequested() { return stopRequested.load(); }
StopCause StopRequestCause() { return static_cast<StopCause>(stopCause.load()); }
int StopWakeFd() { return -1; }
void StopHandled() { SetEvent(cleanupDone); }
void WaitOrStop(unsigned ms) { WaitForSingleObject(consoleStop, ms); }

int AddStopCallback(std::function<void()> onStop) {
  std::lock_guard<std::mutex> hold(handlerLock);
  stopCallbacks[++lastStopId] = std::move(onStop);
  return lastStopId;
}

void RemoveStopCallback(int id) {
  std::lock_guard<std::mutex> hold(handlerLock);
  stopCallbacks.erase(id);
}

std::string ProgramFolder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::string folder;
  for (DWORD i = 0; i < n; ++i) folder += static_cast<char>(path[i] < 0x80 ? path[i] : '?');
  return folder.substr(0, folder.find_last_of("\\/"));
}

void AddPlatformCommands(CLI::App&, int*) {}
