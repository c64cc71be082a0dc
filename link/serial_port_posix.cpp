#include "link/serial_port_posix.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

int64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// A device that went away answers with one of these.
bool IsGoneError(int e) { return e == EIO || e == ENXIO || e == ENODEV || e == EBADF || e == EPIPE; }

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

}  // namespace

SerialPortPosix::~SerialPortPosix() { Close(); }

PortOpenStatus SerialPortPosix::Open(const std::string& path, std::string* detail) {
  Close();
  gone_ = false;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    if (detail) *detail = std::strerror(e);
    if (e == ENOENT || e == ENXIO || e == ENODEV) return PortOpenStatus::NotFound;
    if (e == EACCES || e == EPERM) return PortOpenStatus::NoAccess;
    if (e == EBUSY) return PortOpenStatus::Busy;
    return PortOpenStatus::Failed;
  }
  if (!isatty(fd)) {
    ::close(fd);
    if (detail) *detail = "not a terminal device";
    return PortOpenStatus::NotTerminal;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int e = errno;
    ::close(fd);
    if (detail) *detail = std::strerror(e);
    return e == EWOULDBLOCK ? PortOpenStatus::Busy : PortOpenStatus::Failed;
  }
  if (!SetLine(fd, detail)) {
    ::close(fd);
    return PortOpenStatus::Failed;
  }
  // Bytes the tester sent before this program opened it belong to nobody.
  tcflush(fd, TCIOFLUSH);
  fd_ = fd;
  return PortOpenStatus::Ok;
}

void SerialPortPosix::Close() {
  if (fd_ >= 0) ::close(fd_);  // also releases the lock
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
    case PortOpenStatus::Failed: return "cannot be opened";
  }
  return "cannot be opened";
}
