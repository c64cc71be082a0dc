#include "sim/sim_serve_posix.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "sim/sim_world.h"

namespace fs = std::filesystem;

namespace sim {

namespace {

constexpr size_t kMaxPending = 64 * 1024;  // bytes the program has not read yet
constexpr SimTime kIdleWakeUs = 100 * 1000;

SimTime MonotonicNowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<SimTime>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

uint32_t BaudOf(speed_t s) {
  switch (s) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
  }
}

void WriteFile(const fs::path& file, const std::string& text) {
  std::ofstream out(file);
  out << text << "\n";
}

// One served device: its pseudo-terminal and its entries in the device tree.
struct Port {
  int master = -1;
  int slave = -1;  // kept open so the terminal lives while no program has it open
  int number = 0;  // ttyUSB<number>
  std::string ptyPath;
  std::string pending;  // answer bytes not yet handed to the terminal
  bool full = false;    // the terminal had no room for them
};

class Server {
 public:
  Server(const ServeOptions& options, FILE* out, FILE* err) : options_(options), out_(out), err_(err) {}
  ~Server() {
    for (auto& [serial, port] : ports_) Drop(serial, port);
    std::error_code ec;
    if (ownRoot_) {
      fs::remove_all(root_, ec);
      return;
    }
    // A folder of the user's: only the folders made here go, deepest first,
    // and each only when empty (nothing the user put there is removed).
    for (auto it = madeFolders_.rbegin(); it != madeFolders_.rend(); ++it) fs::remove(*it, ec);
  }

  bool Start(const Scenario& scenario) {
    if (options_.root.empty()) {
      char pattern[] = "/tmp/loadpost-sim.XXXXXX";
      if (!mkdtemp(pattern)) return Fail(std::string("cannot make a device tree folder: ") + std::strerror(errno));
      root_ = pattern;
      ownRoot_ = true;
    } else {
      root_ = options_.root;
    }
    for (const char* d : {"sys/class/tty", "sys/bus/usb/devices", "dev"}) {
      if (!MakeFolders(root_ / d)) return Fail("cannot make the device tree in " + root_.string());
    }
    if (!options_.record.empty() && !recorder_.AppendToFile(options_.record)) {
      return Fail("cannot write the frame record " + options_.record);
    }
    recorder_.KeepLines(false);
    // Wake-ups on time to a few microseconds: the bytes keep their wire timing.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    world_.Load(scenario);
    start_ = MonotonicNowUs();
    for (int i = 0; TesterModel* m = world_.PluggedAt(i); ++i) {
      if (!Plug(m->Serial())) return false;
      std::fprintf(out_, "%s %s\n", m->Serial().c_str(), ports_[m->Serial()].ptyPath.c_str());
    }
    std::fprintf(out_, "device-root %s\n", root_.c_str());
    std::fflush(out_);
    return true;
  }

  void Run(const std::function<bool()>& stop) {
    while (!stop()) {
      const SimTime now = Now();
      world_.Advance(now);
      ReadControl(now);
      FollowPlugEvents();
      for (auto& [serial, port] : ports_) Pass(serial, port, now);
      FollowPlugEvents();
      Wait();
    }
  }

 private:
  SimTime Now() const { return MonotonicNowUs() - start_; }

  bool Fail(const std::string& text) {
    std::fprintf(err_, "sim-serve: %s\n", text.c_str());
    return false;
  }

  fs::path UsbDir(int n) const { return root_ / "sys/bus/usb/devices" / ("1-" + std::to_string(n + 1)); }
  fs::path TtyDir(int n) const { return root_ / "sys/class/tty" / ("ttyUSB" + std::to_string(n)); }
  fs::path DevLink(int n) const { return root_ / "dev" / ("ttyUSB" + std::to_string(n)); }

  // Makes `dir` and the folders above it that are missing, noting each one made.
  bool MakeFolders(const fs::path& dir) {
    std::vector<fs::path> missing;
    std::error_code ec;
    for (fs::path p = dir; !p.empty() && !fs::exists(fs::symlink_status(p, ec)); p = p.parent_path()) {
      missing.push_back(p);
      if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      if (!fs::create_directory(*it, ec) && ec) return false;
      madeFolders_.push_back(*it);
    }
    return fs::is_directory(dir, ec);
  }

  bool Plug(const std::string& serial) {
    TesterModel* m = world_.Find(serial);
    Port port;
    port.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (port.master < 0 || grantpt(port.master) != 0 || unlockpt(port.master) != 0) {
      if (port.master >= 0) close(port.master);
      return Fail(std::string("no pseudo-terminal: ") + std::strerror(errno));
    }
    port.ptyPath = ptsname(port.master);
    port.slave = open(port.ptyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (port.slave >= 0 && tcgetattr(port.slave, &t) == 0) {
      // No echo or line editing before the program sets the line up itself;
      // the speed stays at the terminal's default until then.
      cfmakeraw(&t);
      tcsetattr(port.slave, TCSANOW, &t);
    }
    // The lowest free ttyUSB number, as the kernel would give it; one whose
    // entries are already in the folder (the user's own) is passed over.
    while (UsedNumber(port.number) || Taken(port.number)) ++port.number;
    const std::string tty = "ttyUSB" + std::to_string(port.number);
    const fs::path usb = UsbDir(port.number);
    const std::string interface = usb.filename().string() + ":1.0";
    std::error_code ec;
    fs::create_directories(usb / interface / tty, ec);
    WriteFile(usb / "idVendor", "0403");
    WriteFile(usb / "idProduct", "6015");
    WriteFile(usb / "serial", serial);
    WriteFile(usb / "manufacturer", "Trevane");
    WriteFile(usb / "product", m && !m->Setup().description.empty() ? m->Setup().description : "USB Serial Converter");
    fs::create_directories(TtyDir(port.number), ec);
    fs::create_directory_symlink(fs::path("../../../bus/usb/devices") / usb.filename() / interface / tty,
                                 TtyDir(port.number) / "device", ec);
    fs::create_symlink(port.ptyPath, DevLink(port.number), ec);
    if (m && options_.latencyMs > 0) m->SetOpenLatency(options_.latencyMs);
    if (m) m->SetHostOpen(true, Now());
    ports_[serial] = port;
    return true;
  }

  bool Taken(int n) const {
    std::error_code ec;
    for (const fs::path& p : {UsbDir(n), TtyDir(n), DevLink(n)}) {
      if (fs::exists(fs::symlink_status(p, ec))) return true;
    }
    return false;
  }

  bool UsedNumber(int n) const {
    for (const auto& [serial, port] : ports_) {
      if (port.number == n) return true;
    }
    return false;
  }

  void Drop(const std::string& serial, Port& port) {
    // Only this device's entries, made by Plug on a number no entry of the folder had.
    std::error_code ec;
    fs::remove(DevLink(port.number), ec);
    fs::remove_all(TtyDir(port.number), ec);
    fs::remove_all(UsbDir(port.number), ec);
    // Closing the master hangs the terminal up: the program's reads fail.
    if (port.slave >= 0) close(port.slave);
    if (port.master >= 0) close(port.master);
    port.slave = port.master = -1;
  }

  void FollowPlugEvents() {
    for (const PlugEvent& e : world_.TakePlugEvents()) {
      auto it = ports_.find(e.serial);
      if (!e.arrived && it != ports_.end()) {
        Drop(it->first, it->second);
        ports_.erase(it);
        std::fprintf(out_, "unplugged %s\n", e.serial.c_str());
      } else if (e.arrived && it == ports_.end() && Plug(e.serial)) {
        std::fprintf(out_, "plugged %s %s\n", e.serial.c_str(), ports_[e.serial].ptyPath.c_str());
      }
      std::fflush(out_);
    }
  }

  // Moves bytes both ways for one device.
  void Pass(const std::string& serial, Port& port, SimTime now) {
    TesterModel* m = world_.Find(serial);
    if (!m || port.master < 0) return;
    uint8_t buffer[4096];
    for (;;) {
      const ssize_t n = read(port.master, buffer, sizeof buffer);
      if (n <= 0) break;
      termios t{};
      if (tcgetattr(port.slave, &t) == 0) {
        const int bits = (t.c_cflag & CSIZE) == CS8 ? 8 : (t.c_cflag & CSIZE) == CS7 ? 7 : 6;
        m->SetHostLine(BaudOf(cfgetospeed(&t)), bits, (t.c_cflag & CSTOPB) ? 2 : 0, (t.c_cflag & PARENB) ? 1 : 0);
      }
      m->HostWrite(buffer, static_cast<size_t>(n), now);
    }
    const size_t got = m->HostRead(buffer, sizeof buffer, now);
    port.pending.append(reinterpret_cast<const char*>(buffer), got);
    if (port.pending.size() > kMaxPending) port.pending.erase(0, port.pending.size() - kMaxPending);
    // The model's USB bridge hands bytes on in packets (a full one, or what it
    // holds when its latency timer runs out): each goes to the terminal whole.
    port.full = false;
    while (!port.pending.empty()) {
      const ssize_t w = write(port.master, port.pending.data(), port.pending.size());
      if (w <= 0) {
        port.full = true;
        break;
      }
      port.pending.erase(0, static_cast<size_t>(w));
    }
  }

  void ReadControl(SimTime now) {
    if (options_.controlFd < 0) return;
    // One read, and only when there is something: the input may be a terminal
    // that must not be switched to non-blocking.
    pollfd p{options_.controlFd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return;
    char buffer[1024];
    const ssize_t n = read(options_.controlFd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) return;
    if (n <= 0) {
      options_.controlFd = -1;  // end of the control input: serve on without it
      return;
    }
    control_.append(buffer, static_cast<size_t>(n));
    size_t nl;
    while ((nl = control_.find('\n')) != std::string::npos) {
      std::string line = control_.substr(0, nl);
      control_.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find_first_not_of(" \t") == std::string::npos || line[line.find_first_not_of(" \t")] == '#') continue;
      std::string error;
      if (!world_.Execute(line, now, &error)) {
        std::fprintf(err_, "sim-serve: %s (in '%s')\n", error.c_str(), line.c_str());
        std::fflush(err_);
      }
    }
  }

  // Until the model's next event, new bytes from a program, a control line or
  // the stop signal.
  void Wait() {
    std::vector<pollfd> fds;
    for (const auto& [serial, port] : ports_) {
      if (port.master >= 0) fds.push_back({port.master, static_cast<short>(POLLIN | (port.full ? POLLOUT : 0)), 0});
    }
    if (options_.controlFd >= 0) fds.push_back({options_.controlFd, POLLIN, 0});
    if (options_.wakeFd >= 0) fds.push_back({options_.wakeFd, POLLIN, 0});
    const SimTime now = Now();
    SimTime wait = kIdleWakeUs;
    const SimTime next = world_.NextEventTime();
    if (next != kNever) wait = std::min(wait, std::max<SimTime>(0, next - now));
    const timespec ts{static_cast<time_t>(wait / 1000000), static_cast<long>(wait % 1000000) * 1000};
    ppoll(fds.data(), fds.size(), &ts, nullptr);
  }

  ServeOptions options_;
  FILE* out_;
  FILE* err_;
  FrameRecorder recorder_;
  SimWorld world_{&recorder_};
  fs::path root_;
  bool ownRoot_ = false;
  std::vector<fs::path> madeFolders_;  // in a folder of the user's: the ones made here
  SimTime start_ = 0;
  std::map<std::string, Port> ports_;
  std::string control_;
};

}  // namespace

int ServeScenario(const Scenario& scenario, const ServeOptions& options, const std::function<bool()>& stop,
                  FILE* out, FILE* err) {
  Server server(options, out, err);
  if (!server.Start(scenario)) return 2;
  server.Run(stop);
  return 0;
}

}  // namespace sim
