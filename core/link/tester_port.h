// What the monitor core needs of a tester link and of time, kept small and free
// of platform types so that the window's D2XX link, a command line's serial
// link and the in-process simulated tester all fit behind it.
#pragma once

#include <cstdint>

#include "core/link/tester_commands.h"

class TesterPort {
 public:
  virtual ~TesterPort() = default;

  // The request/reply rounds and the pauses of command sequences. Every
  // exchange fails at once (NotSent) while the port is not open.
  virtual const CommandChannel& Channel() = 0;
  // False once closed, and once the device is known to be gone (unplugged, or
  // its transport failed): the monitor core then ends the connection.
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;

  // The lowest-numbered notice that arrived and was not cleared: 1..4 for
  // 0x20 (attached), 0x21 (detached), 0x22 (new profile), 0x23 (capabilities
  // changed); 0 for none. Notices stay pending until cleared.
  virtual int PendingNotice() = 0;
  virtual void ClearNotice(int n) = 0;

  // Frames the receiver dropped (bad length, end byte or checksum) since the
  // port was opened.
  virtual uint32_t DroppedFrames() const = 0;
};

// Time as the monitor core sees it: the real clock in the programs, simulated
// time in tests. Sleep may be cut short by Stop (from any thread); a stopped
// clock's sleeps return at once until Restart.
class MonitorClock {
 public:
  virtual ~MonitorClock() = default;
  // Monotonic microseconds.
  virtual int64_t NowUs() = 0;
  // Lets `ms` pass; false when it ended early because the clock was stopped.
  virtual bool Sleep(uint32_t ms) = 0;
  virtual void Stop() = 0;
  virtual void Restart() = 0;
  virtual bool Stopped() const = 0;
};
