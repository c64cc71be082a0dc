// Windows side of the command line: testers are found and opened through the
// D2XX library (ftd2xx.dll from the program's folder or the system folder), and
// claimed in the same registry as the window's, so that a command-line run and
// a window never share a tester. Ctrl-C, Ctrl-Break and closing the console
// ask the running command to stop.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "cli/cli_output.h"
#include "cli/cli_platform.h"
#include "d2xx/d2xx.h"
#include "link/tester_link_win.h"
#include "shell/app_win.h"
#include "shell/tester_list.h"

namespace {

std::atomic<unsigned> noticeBits{0};
std::atomic<bool> stopRequested{false};
HANDLE consoleStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
HANDLE cleanupDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);

void OnNotice(int n) {
  if (n >= 1 && n <= 4) noticeBits.fetch_or(1u << (n - 1));
}

bool SerialListed(const std::string& serial) {
  const int count = D2xxDeviceCount();
  for (int i = 0; i < count; ++i) {
    char text[64];
    if (D2xxSerialAt(i, text, sizeof text) && serial == text) return true;
  }
  return false;
}

class WinLink : public CliLink {
 public:
  explicit WinLink(std::string serialIn) : serial(std::move(serialIn)) {}
  ~WinLink() override {
    testerLink.Close();
    ReleaseInstanceRegistry();
  }
  CommandChannel Channel() override {
    CommandChannel c;
    c.exchange = [](const uint8_t* frame, size_t n, uint8_t expected, ReplyBody& reply) {
      return testerLink.Exchange(frame, n, expected, reply);
    };
    c.sleep = [](uint32_t ms) { Sleep(ms); };
    return c;
  }
  unsigned TakeNotices() override { return noticeBits.exchange(0); }
  // The D2XX link does not say when its device left: a tester that no longer
  // lists has gone.
  bool Gone() const override { return !SerialListed(serial); }
  void Wait(unsigned ms) override { WaitOrStop(ms); }

 private:
  std::string serial;
};

BOOL WINAPI OnConsoleControl(DWORD event) {
  stopRequested.store(true);
  SetEvent(consoleStop);
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
  // the window does after its warning.
  if (OpenTesterRegistry() && ClaimTester(Widen(place.serial).c_str())) {
    outcome.status = OpenStatus::Busy;
    return outcome;
  }
  noticeBits = 0;
  if (place.serial.size() >= 20 || !testerLink.Open(place.serial.c_str(), OnNotice)) {
    testerLink.Close();
    ReleaseInstanceRegistry();
    outcome.detail = "the device could not be opened or did not answer";
    return outcome;
  }
  // The link works without low latency, only slower: say so, go on.
  if (testerLink.transport && !testerLink.transport->latencyRefusal.empty()) {
    std::fprintf(stderr, "loadpost-cli: %s: %s\n", place.serial.c_str(), testerLink.transport->latencyRefusal.c_str());
  }
  outcome.status = OpenStatus::Ok;
  outcome.link = std::make_unique<WinLink>(place.serial);
  return outcome;
}

void InstallStopHandlers() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
bool StopRequested() { return stopRequested.load(); }
int StopWakeFd() { return -1; }
void StopHandled() { SetEvent(cleanupDone); }
void WaitOrStop(unsigned ms) { WaitForSingleObject(consoleStop, ms); }

void AddPlatformCommands(CLI::App&, int*) {}
