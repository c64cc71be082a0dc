// The link's request/reply round driven by an explicit clock instead of a
// worker thread and events: for byte pipes that keep their own (simulated)
// time, such as a model of the tester in tests and benchmarks. It shares the
// receiver, the mailbox and the command operations with TesterLink, and keeps
// the same deadlines (500 ms for the write, 500 ms for the reply) on that clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/link/frame.h"
#include "core/link/reply_mailbox.h"
#include "core/link/tester_commands.h"

struct ClockedPipe {
  // Puts bytes on the line at time nowUs; returns the time the last one is sent.
  std::function<int64_t(const uint8_t* bytes, size_t count, int64_t nowUs)> write;
  // Reads up to `max` bytes that are readable at time nowUs.
  std::function<size_t(uint8_t* out, size_t max, int64_t nowUs)> read;
  // The earliest time after nowUs at which more bytes may become readable
  // (anything at or before nowUs, or beyond the horizon, means "nothing due").
  std::function<int64_t(int64_t nowUs)> nextChange;
  // Optional: called before the link's clock moves on to untilUs. A pipe that
  // runs in real time waits there until that moment.
  std::function<void(int64_t untilUs)> waitUntil;
};

class ClockedLink {
 public:
  explicit ClockedLink(ClockedPipe pipe, std::function<void(int)> notice = {}, int64_t startUs = 0);

  ExchangeStatus Exchange(const uint8_t* frame, size_t frameLength, uint8_t expectedCommand, ReplyBody& reply);
  // Requests one behind the other (see CommandChannel::post and collect).
  bool Post(const uint8_t* frame, size_t frameLength);
  ExchangeStatus Collect(uint8_t expectedCommand, ReplyBody& reply);
  // Posted requests whose replies were not collected yet.
  int Owed() const { return owed_; }
  // The port was opened afresh: nothing posted before is owed any more.
  void ForgetOwed() { owed_ = 0; }
  // Lets `ms` pass, receiving whatever arrives meanwhile (notices, late replies).
  void Sleep(uint32_t ms);
  // Moves the clock on to `us` (when it lies ahead), receiving meanwhile.
  void AdvanceTo(int64_t us);
  // A channel for the command operations, bound to this link.
  CommandChannel Channel();

  int64_t NowUs() const { return nowUs; }
  // Time spent in Exchange (request write to reply) since construction.
  int64_t ExchangeUs() const { return exchangeUs; }

  FrameReceiver receiver;
  ReplyMailbox mailbox;

 private:
  // Reads until `untilUs`; with stopOnReply, returns true as soon as a reply
  // has been posted.
  bool Pump(int64_t untilUs, bool stopOnReply);
  // Collects and drops the replies still owed to posted requests.
  void DropOwed();

  ClockedPipe pipe;
  std::function<void(int)> notice;
  int64_t nowUs;
  int64_t exchangeUs = 0;
  int nextRead = 1;
  int owed_ = 0;
};
