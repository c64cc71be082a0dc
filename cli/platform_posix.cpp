// POSIX side of the command line: testers are terminal devices found through
// sysfs, opened raw and locked; SIGINT, SIGTERM, SIGHUP and SIGQUIT ask the
// command to stop.
#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <unistd.h>

#include "cli/cli_output.h"
#include "cli/cli_platform.h"
#include "core/link/serial_link_posix.h"
#include "core/link/tester_discovery_posix.h"
#include "core/base/tester_list.h"

namespace {

// Real time whose sleeps keep receiving from the tester and end early on a
// signal.
class SignalClock : public MonitorClock {
 public:
  explicit SignalClock(SerialLinkPosix& link) : link_(link) {}
  int64_t NowUs() override { return MonotonicUs(); }
  bool Sleep(uint32_t ms) override {
    if (!Stopped()) link_.Wait(ms, true);
    return !Stopped();
  }
  void Stop() override { stopped_ = true; }
  void Restart() override { stopped_ = false; }
  bool Stopped() const override { return stopped_ || InterruptRequested(); }

 private:
  SerialLinkPosix& link_;
  bool stopped_ = false;
};

class PosixLink : public CliLink {
 public:
  TesterPort& Port() override { return link; }
  MonitorClock& Clock() override { return clock; }
  SerialLinkPosix link;
  SignalClock clock{link};
};

std::atomic<bool> stopRequested{false};
std::atomic<int> stopSignal{0};  // the first signal that asked for the stop
int stopPipe[2] = {-1, -1};

void OnStopSignal(int signal) {
  int none = 0;
  stopSignal.compare_exchange_strong(none, signal);
  stopRequested.store(true);
  if (stopPipe[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(stopPipe[1], &byte, 1);
  }
}

std::string RootOf(const PlatformOptions& options) {
  return options.deviceRoot.empty() ? DefaultDeviceRoot() : options.deviceRoot;
}

}  // namespace

bool ListPlaces(const PlatformOptions& options, std::vector<TesterPlace>* places, std::string* error) {
  places->clear();
  for (const SerialDevice& d : ListBridgeDevices(RootOf(options))) {
    if (IsTesterSerial(Widen(d.serial).c_str())) places->push_back({d.serial, d.path});
  }
  return true;
}

TesterPlace PlaceOfPort(const PlatformOptions& options) {
  namespace fs = std::filesystem;
  TesterPlace place{"", options.port, BridgeWarning(RootOf(options), options.port)};
  std::error_code ec;
  const fs::path wanted = fs::canonical(options.port, ec);
  for (const SerialDevice& d : ListBridgeDevices(RootOf(options))) {
    std::error_code other;
    if (!ec && fs::canonical(d.path, other) == wanted && !other) place.serial = d.serial;
  }
  return place;
}

OpenOutcome OpenPlace(const TesterPlace& place) {
  OpenOutcome outcome;
  auto link = std::make_unique<PosixLink>();
  link->link.SetWakeFd(StopWakeFd());
  const PortOpenStatus s = link->link.Open(place.path, &outcome.detail);
  if (s == PortOpenStatus::Ok) {
    // The link works without low latency, only slower: say so, go on.
    if (!place.warning.empty()) std::fprintf(stderr, "loadpost-cli: warning: %s\n", place.warning.c_str());
    if (!link->link.LatencyRefusal().empty()) {
      std::fprintf(stderr, "loadpost-cli: %s: %s\n", place.path.c_str(), link->link.LatencyRefusal().c_str());
    }
    outcome.status = OpenStatus::Ok;
    outcome.link = std::move(link);
  } else {
    outcome.status = s == PortOpenStatus::Busy ? OpenStatus::Busy : OpenStatus::Failed;
    if (s != PortOpenStatus::Failed) outcome.detail = PortOpenStatusText(s);
  }
  return outcome;
}

void InstallStopHandlers() {
  if (stopPipe[0] < 0 && pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) stopPipe[0] = stopPipe[1] = -1;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: a blocked wait returns and looks at the flag
  // A closed terminal or ssh session (SIGHUP) and Ctrl-\ (SIGQUIT) would
  // otherwise end the process with the load still on.
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(s, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a closed output pipe is an error to report, not a silent death
}

bool InterruptRequested() { return stopRequested.load(); }

StopCause StopRequestCause() {
  switch (stopSignal.load()) {
    case SIGINT: return StopCause::Interrupt;
    case SIGTERM: return StopCause::Terminate;
    case SIGHUP: return StopCause::HangUp;
    case SIGQUIT: return StopCause::Quit;
    default: return StopCause::None;
  }
}
int StopWakeFd() { return stopPipe[0]; }
void StopHandled() {}

namespace {

// The callbacks of the open testers, called once by a watcher thread when a
// stop is requested; the lock keeps a callback from running after its removal.
struct StopCallbacks {
  std::mutex lock;
  std::map<int, std::function<void()>> callbacks;
  int lastId = 0;
  std::once_flag watcher;
};

StopCallbacks& Callbacks() {
  static StopCallbacks c;
  return c;
}

}  // namespace

int AddStopCallback(std::function<void()> onStop) {
  StopCallbacks& c = Callbacks();
  int id = 0;
  {
    std::lock_guard<std::mutex> hold(c.lock);
    id = ++c.lastId;
    c.callbacks[id] = std::move(onStop);
  }
  std::call_once(c.watcher, [] {
    std::thread([] {
      while (!InterruptRequested()) WaitOrStop(1000);
      StopCallbacks& c = Callbacks();
      std::lock_guard<std::mutex> hold(c.lock);
      for (auto& [id, callback] : c.callbacks) callback();
    }).detach();
  });
  return id;
}

void RemoveStopCallback(int id) {
  StopCallbacks& c = Callbacks();
  std::lock_guard<std::mutex> hold(c.lock);
  c.callbacks.erase(id);
}

std::string ProgramFolder() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
}

void WaitOrStop(unsigned ms) {
  if (InterruptRequested()) return;
  pollfd p{stopPipe[0], POLLIN, 0};
  poll(&p, stopPipe[0] >= 0 ? 1 : 0, static_cast<int>(ms));
}
