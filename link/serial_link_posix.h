// The tester link over a POSIX terminal device: one request/reply round at a
// time on the calling thread, with the receiver and the reply mailbox that the
// Win32 link uses, and the same deadlines (500 ms for the write, 500 ms for the
// reply). Notices that arrive meanwhile are kept until taken.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "link/frame.h"
#include "link/reply_mailbox.h"
#include "link/serial_port_posix.h"
#include "link/tester_commands.h"

class SerialLinkPosix {
 public:
  SerialLinkPosix() = default;
  SerialLinkPosix(const SerialLinkPosix&) = delete;
  SerialLinkPosix& operator=(const SerialLinkPosix&) = delete;

  PortOpenStatus Open(const std::string& path, std::string* detail);
  void Close() { port_.Close(); }
  bool IsOpen() const { return port_.IsOpen(); }
  // The device went away (unplugged, or its driver failed).
  bool Gone() const { return port_.Gone(); }
  // See SerialPortPosix::LatencyRefusal.
  const std::string& LatencyRefusal() const { return port_.LatencyRefusal(); }

  ExchangeStatus Exchange(const uint8_t* frame, size_t frameLength, uint8_t expectedCommand, ReplyBody& reply);
  // Lets `ms` pass, receiving notices meanwhile (the command set's pauses).
  void Sleep(uint32_t ms) { Wait(ms, false); }
  // The same, but with `wakeable` it returns early when the wake descriptor
  // (see SetWakeFd) becomes readable; either way when the device goes away.
  void Wait(uint32_t ms, bool wakeable);
  CommandChannel Channel();

  // Notices received since the last call, as a bit set: bit n - 1 for notice n
  // (1 attached, 2 detached, 3 new profile, 4 capabilities changed).
  unsigned TakeNotices();
  void SetWakeFd(int fd) { port_.SetWakeFd(fd); }

 private:
  // Reads until `untilUs` (monotonic); with stopOnReply, returns true as soon
  // as a reply has been posted.
  bool Pump(int64_t untilUs, bool stopOnReply);

  SerialPortPosix port_;
  FrameReceiver receiver_;
  ReplyMailbox mailbox_;
  unsigned notices_ = 0;
  int nextRead_ = 1;
};

// Microseconds of the monotonic clock.
int64_t MonotonicUs();
