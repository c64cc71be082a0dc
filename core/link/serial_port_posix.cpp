#include "core/link/serial_port_posix.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <sys/ioctl.h>

#ifdef __linux__
#include <linux/serial.h>
#include <sys/sysmacros.h>
#endif

#include "core/link/low_latency.h"
#include "core/base/log_event.h"
#include "core/base/logger.h"

namespace {

int64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// A device that went away answers with one of these.
bool IsGoneError(int e) { return e == EIO || e == ENXIO || e == ENODEV || e == EBADF || e == EPIPE; }

bool SameDevice(dev_t device, int fd) {
  struct stat st {};
  return isatty(fd) && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device;
}

// The terminal this program runs in: /dev/tty (its alias wherever the program
// is), the controlling terminal under its own name, or the terminal of a
// standard stream. None of them is a tester, and writing frames to one garbles
// the user's screen.
bool IsOwnTerminal(dev_t device) {
  struct stat alias {};
  if (stat("/dev/tty", &alias) == 0 && S_ISCHR(alias.st_mode) && alias.st_rdev == device) return true;
  for (int fd = 0; fd <= 2; ++fd) {
    if (SameDevice(device, fd)) return true;
  }
#ifdef __linux__
  // Field 7 of /proc/self/stat is the controlling terminal's device number.
  std::ifstream process("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(process)), {});
  const size_t end = text.rfind(')');  // the command name may hold spaces
  if (end != std::string::npos) {
    std::istringstream fields(text.substr(end + 1));
    std::string state;
    long long ppid = 0, pgrp = 0, session = 0, ttyNr = 0;
    if (fields >> state >> ppid >> pgrp >> session >> ttyNr && ttyNr != 0) {
      const unsigned maj = static_cast<unsigned>((ttyNr >> 8) & 0xFFF);
      const unsigned min = static_cast<unsigned>((ttyNr & 0xFF) | ((ttyNr >> 12) & 0xFFF00));
      if (major(device) == maj && minor(device) == min) return true;
    }
  }
#endif
  return false;
}

bool SetLine(int fd, std::string* detail) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  // With VMIN 1 a non-blocking read of an empty device fails with EAGAIN, so
  // that a read of 0 bytes means the device has hung up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, B115200) != 0 || cfsetospeed(&t, B115200) != 0 || tcsetattr(fd, TCSANOW, &t) != 0) {
    if (detail) *detail = std::strerror(errno);
    return false;
  }
  return true;
}

// The driver behind an open terminal: its latency_timer attribute (found from
// the device number, so it is this device's and no other's) and the serial
// low-latency flag.
DriverLatency DriverOf(int fd) {
  DriverLatency d;
  std::string attribute;
#ifdef __linux__
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
    attribute = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) +
                "/device/latency_timer";
  }
#endif
  d.readTimer = [attribute]() -> std::optional<int> {
    int ms = 0;
    std::ifstream in(attribute);
    if (attribute.empty() || !(in >> ms)) return std::nullopt;
    return ms;
  };
  d.writeTimer = [attribute](int ms) -> std::string {
    FILE* f = std::fopen(attribute.c_str(), "w");
    if (!f) return std::strerror(errno);
    const bool ok = std::fprintf(f, "%d\n", ms) > 0;
    const int e = errno;
    if (std::fclose(f) != 0 || !ok) return std::strerror(ok ? errno : e);
    return "";
  };
  d.setLowLatencyFlag = [fd]() -> std::optional<std::string> {
#ifdef __linux__
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0) {
      if (errno == ENOTTY || errno == EINVAL) return std::nullopt;
      return std::string(std::strerror(errno));
    }
    if (ss.flags & ASYNC_LOW_LATENCY) return std::string();
    ss.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(fd, TIOCSSERIAL, &ss) != 0) return std::string(std::strerror(errno));
    return std::string();
#else
    (void)fd;
    return std::nullopt;
#endif
  };
  return d;
}

}  // namespace

SerialPortPosix::~SerialPortPosix() { Close(); }

PortOpenStatus SerialPortPosix::Open(const std::string& path, std::string* detail) {
  Close();
  gone_ = false;
  latencyRefusal_.clear();
  // Only a character device can be a terminal: a file, a folder or a pipe is
  // not even opened (opening a pipe would wake whoever waits on its other end).
  struct stat named {};
  if (stat(path.c_str(), &named) == 0 && !S_ISCHR(named.st_mode)) {
    if (detail) *detail = "not a terminal device";
    return PortOpenStatus::NotTerminal;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    if (detail) *detail = std::strerror(e);
    if (e == ENOENT || e == ENXIO || e == ENODEV) return PortOpenStatus::NotFound;
    if (e == EACCES || e == EPERM) return PortOpenStatus::NoAccess;
    if (e == EBUSY) return PortOpenStatus::Busy;
    return PortOpenStatus::Failed;
  }
  struct stat opened {};
  if (!isatty(fd) || fstat(fd, &opened) != 0) {
    ::close(fd);
    if (detail) *detail = "not a terminal device";
    return PortOpenStatus::NotTerminal;
  }
  if (IsOwnTerminal(opened.st_rdev)) {
    ::close(fd);
    if (detail) *detail = PortOpenStatusText(PortOpenStatus::OwnTerminal);
    return PortOpenStatus::OwnTerminal;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    ::close(fd);
    if (detail) *detail = std::strerror(e);
    return e == EWOULDBLOCK ? PortOpenStatus::Busy : PortOpenStatus::Failed;
  }
  if (tcgetattr(fd, &saved_) != 0) {
    if (detail) *detail = std::strerror(errno);
    ::close(fd);
    return PortOpenStatus::NotTerminal;
  }
  if (!SetLine(fd, detail)) {
    tcsetattr(fd, TCSANOW, &saved_);
    ::close(fd);
    return PortOpenStatus::Failed;
  }
  // Bytes the tester sent before this program opened it belong to nobody.
  tcflush(fd, TCIOFLUSH);
  latencyRefusal_ = AskDriverForLowLatency(DriverOf(fd));
  if (!latencyRefusal_.empty()) {
    const std::wstring text(latencyRefusal_.begin(), latencyRefusal_.end());  // ASCII
    LogEvent(text.c_str(), LogDiagnostics);
  }
  fd_ = fd;
  return PortOpenStatus::Ok;
}

void SerialPortPosix::Close() {
  if (fd_ < 0) return;
  // The last frame (often the load back to 0 mA) leaves at the link's speed,
  // not at whatever speed the settings put back would give it.
#ifdef TIOCOUTQ
  for (int waited = 0; !gone_ && waited < 100; ++waited) {
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) break;
    usleep(1000);
  }
#endif
  // A device that went away has nothing left to put back: this fails, harmlessly.
  tcsetattr(fd_, TCSANOW, &saved_);
  ::close(fd_);  // also releases the lock
  fd_ = -1;
}

bool SerialPortPosix::Write(const uint8_t* bytes, size_t count, int timeoutMs) {
  if (fd_ < 0 || gone_) return false;
  const int64_t deadline = NowUs() + static_cast<int64_t>(timeoutMs) * 1000;
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, bytes + done, count - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      gone_ = IsGoneError(errno);
      return false;
    }
    const int64_t left = deadline - NowUs();
    if (left <= 0) return false;
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>((left + 999) / 1000)) > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
      gone_ = true;
      return false;
    }
  }
  return true;
}

size_t SerialPortPosix::Read(uint8_t* out, size_t max, int64_t timeoutUs, bool wakeable) {
  if (fd_ < 0 || gone_ || max == 0) return 0;
  const int64_t deadline = NowUs() + (timeoutUs > 0 ? timeoutUs : 0);
  for (;;) {
    const ssize_t n = ::read(fd_, out, max);
    if (n > 0) return static_cast<size_t>(n);
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      if (n == 0 || IsGoneError(errno)) gone_ = true;
      return 0;
    }
    const int64_t left = deadline - NowUs();
    if (left <= 0) return 0;
    const bool wake = wakeable && wakeFd_ >= 0;
    pollfd p[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const timespec wait{static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
    const int r = ppoll(p, wake ? 2 : 1, &wait, nullptr);
    if (r > 0 && wake && (p[1].revents & POLLIN)) return 0;
    if (r > 0 && (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p[0].revents & POLLIN)) {
      gone_ = true;
      return 0;
    }
  }
}

const char* PortOpenStatusText(PortOpenStatus status) {
  switch (status) {
    case PortOpenStatus::Ok: return "open";
    case PortOpenStatus::NotFound: return "no such device";
    case PortOpenStatus::NoAccess: return "permission denied";
    case PortOpenStatus::Busy: return "in use by another program";
    case PortOpenStatus::NotTerminal: return "not a terminal device";
    case PortOpenStatus::OwnTerminal: return "the terminal this program runs in, not a tester";
    case PortOpenStatus::Failed: return "cannot be opened";
  }
  return "cannot be opened";
}
