// The tester link over a POSIX terminal device, as the monitor core's
// TesterPort: one request/reply round at a time on the calling thread, with the
// receiver and the reply mailbox that the Win32 link uses, and the same
// deadlines (500 ms for the write, 500 ms for the reply). Notices that arrive
// meanwhile stay pending until cleared.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/link/frame.h"
#include "core/link/reply_mailbox.h"
#include "core/link/serial_port_posix.h"
#include "core/link/tester_commands.h"
#include "core/link/tester_port.h"

class SerialLinkPosix : public TesterPort {
 public:
  SerialLinkPosix();
  SerialLinkPosix(const SerialLinkPosix&) = delete;
  SerialLinkPosix& operator=(const SerialLinkPosix&) = delete;

  PortOpenStatus Open(const std::string& path, std::string* detail);
  // TesterPort: open until closed or until the device went away.
  const CommandChannel& Channel() override { return channel_; }
  bool IsOpen() const override { return port_.IsOpen() && !port_.Gone(); }
  void Close() override { port_.Close(); }
  int PendingNotice() override;
  void ClearNotice(int n) override;
  uint32_t DroppedFrames() const override { return receiver_.droppedFrames - droppedAtOpen_; }
  // The device went away (unplugged, or its driver failed).
  bool Gone() const { return port_.Gone(); }
  // See SerialPortPosix::LatencyRefusal.
  const std::string& LatencyRefusal() const { return port_.LatencyRefusal(); }

  ExchangeStatus Exchange(const uint8_t* frame, size_t frameLength, uint8_t expectedCommand, ReplyBody& reply);
  // Requests one behind the other (see CommandChannel::post and collect).
  bool Post(const uint8_t* frame, size_t frameLength);
  ExchangeStatus Collect(uint8_t expectedCommand, ReplyBody& reply);
  // Lets `ms` pass, receiving notices meanwhile (the command set's pauses).
  void Sleep(uint32_t ms) { Wait(ms, false); }
  // The same, but with `wakeable` it returns early when the wake descriptor
  // (see SetWakeFd) becomes readable; either way when the device goes away.
  void Wait(uint32_t ms, bool wakeable);
  void SetWakeFd(int fd) { port_.SetWakeFd(fd); }

 private:
  // Reads until `untilUs` (monotonic); with stopOnReply, returns true as soon
  // as a reply has been posted.
  bool Pump(int64_t untilUs, bool stopOnReply);
  // Waits up to `untilUs` for the oldest stored entry.
  MailboxTake WaitOldest(int64_t untilUs, ReplyBody* out);
  // Collects and drops the replies still owed to posted requests.
  void DropOwed();

  SerialPortPosix port_;
  FrameReceiver receiver_;
  ReplyMailbox mailbox_;
  CommandChannel channel_;
  unsigned notices_ = 0;  // bit n - 1 for notice n
  uint32_t droppedAtOpen_ = 0;
  int nextRead_ = 1;
  int owed_ = 0;
};

// Microseconds of the monotonic clock.
int64_t MonotonicUs();
