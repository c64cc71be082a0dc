// A tester's terminal device on Linux and other POSIX systems (the USB bridge's
// kernel driver makes it /dev/ttyUSBn): opened raw at 115200 baud, 8 data bits,
// no parity, 1 stop bit, no flow control, and locked so that no two programs
// talk to one tester at once.
//
// Opening also asks the driver for its low-latency setting (link/low_latency.h);
// a refusal is one Diagnostics record, not a failure. A pseudo-terminal has no
// latency timer: there is nothing to set.
//
// The lock is flock(LOCK_EX) on the open device. It is held by the open file
// and goes away with the process however it ends, so a crash never leaves a
// tester reserved; it also binds root, which TIOCEXCL does not (root may open
// a TIOCEXCL terminal anyway), and it works the same on pseudo-terminals.
//
// A device named by mistake is not harmed: anything but a character device is
// refused before it is opened, anything but a terminal before a byte is
// written, and so is the program's own terminal (/dev/tty, or the terminal the
// user types in). The line settings a terminal had are put back when it is
// closed, whichever way the link ended.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <string>

enum class PortOpenStatus {
  Ok,
  NotFound,     // no such device
  NoAccess,     // the user may not open it (permissions)
  Busy,         // another program holds the lock
  NotTerminal,  // the path is not a terminal device
  OwnTerminal,  // the terminal this program runs in (/dev/tty and the like)
  Failed,       // any other failure; see the detail text
};

class SerialPortPosix {
 public:
  SerialPortPosix() = default;
  ~SerialPortPosix();
  SerialPortPosix(const SerialPortPosix&) = delete;
  SerialPortPosix& operator=(const SerialPortPosix&) = delete;

  // Opens and locks `path`, keeps its line settings, sets the line up and
  // drops whatever was waiting in the device's buffers. `detail` (may be null)
  // gets the system's reason.
  PortOpenStatus Open(const std::string& path, std::string* detail);
  // Puts the line settings back (once what was written has gone out, or after
  // at most 100 ms) and closes the device.
  void Close();
  bool IsOpen() const { return fd_ >= 0; }

  // Writes every byte, waiting at most timeoutMs in all. False when the device
  // failed or went away (then Gone() is true) or the time ran out.
  bool Write(const uint8_t* bytes, size_t count, int timeoutMs);
  // Waits at most timeoutUs for bytes (with `wakeable`, also ends when the wake
  // descriptor becomes readable) and reads up to `max` of them. Returns the
  // count; 0 when nothing came. A device that went away makes Gone() true.
  size_t Read(uint8_t* out, size_t max, int64_t timeoutUs, bool wakeable = false);
  // The device was unplugged or failed: nothing more will come from it.
  bool Gone() const { return gone_; }
  // The Diagnostics record of the last Open when the driver kept its latency
  // high; empty otherwise.
  const std::string& LatencyRefusal() const { return latencyRefusal_; }

  // A descriptor whose readability ends a wakeable Read early (a signal's pipe).
  void SetWakeFd(int fd) { wakeFd_ = fd; }

 private:
  int fd_ = -1;
  int wakeFd_ = -1;
  bool gone_ = false;
  termios saved_{};  // the line settings found on opening
  std::string latencyRefusal_;
};

const char* PortOpenStatusText(PortOpenStatus status);
