#include "core/link/serial_link_posix.h"

#include <time.h>

namespace {
constexpr int64_t kSentWaitUs = 500 * 1000;
constexpr int64_t kReplyWaitUs = 500 * 1000;
}  // namespace

int64_t MonotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

SerialLinkPosix::SerialLinkPosix() {
  channel_.exchange = [this](const uint8_t* frame, size_t n, uint8_t expected, ReplyBody& reply) {
    return Exchange(frame, n, expected, reply);
  };
  channel_.sleep = [this](uint32_t ms) { Sleep(ms); };
  channel_.post = [this](const uint8_t* frame, size_t n) { return Post(frame, n); };
  channel_.collect = [this](uint8_t expected, ReplyBody& reply) { return Collect(expected, reply); };
}

PortOpenStatus SerialLinkPosix::Open(const std::string& path, std::string* detail) {
  receiver_.Reset();
  mailbox_.Discard();
  notices_ = 0;
  owed_ = 0;
  droppedAtOpen_ = receiver_.droppedFrames;
  nextRead_ = 1;
  return port_.Open(path, detail);
}

bool SerialLinkPosix::Pump(int64_t untilUs, bool stopOnReply) {
  uint8_t buffer[kMaxReadSize];
  bool replied = false;
  for (;;) {
    const int64_t left = untilUs - MonotonicUs();
    // Whatever is already there is taken even when the time is up.
    const size_t n = port_.Read(buffer, static_cast<size_t>(nextRead_), left > 0 ? left : 0);
    if (n > 0) {
      nextRead_ = DispatchReceived(
          receiver_, mailbox_, buffer, n, [this](int k) { notices_ |= 1u << (k - 1); },
          [&replied] { replied = true; }, [&replied] { replied = true; });
      if (replied && stopOnReply) return true;
      continue;
    }
    if (port_.Gone() || left <= 0) return replied;
  }
}

ExchangeStatus SerialLinkPosix::Exchange(const uint8_t* frame, size_t frameLength, uint8_t expectedCommand,
                                         ReplyBody& reply) {
  if (!port_.IsOpen() || port_.Gone()) return ExchangeStatus::NotSent;
  DropOwed();
  // Anything that arrived for an earlier round is not this request's answer.
  Pump(MonotonicUs(), false);
  mailbox_.Discard();
  if (!frame || frameLength == 0 || frameLength >= static_cast<size_t>(kMaxReadSize)) return ExchangeStatus::NotSent;
  if (!port_.Write(frame, frameLength, static_cast<int>(kSentWaitUs / 1000))) return ExchangeStatus::NotSent;
  const int64_t deadline = MonotonicUs() + kReplyWaitUs;
  MailboxTake taken = mailbox_.TakeNewest(&reply);
  while (taken == MailboxTake::None && Pump(deadline, true)) taken = mailbox_.TakeNewest(&reply);
  if (taken != MailboxTake::Reply) return ExchangeStatus::NoReply;  // a damaged reply fails at once
  return reply.body[0] == expectedCommand ? ExchangeStatus::Ok : ExchangeStatus::WrongCommand;
}

bool SerialLinkPosix::Post(const uint8_t* frame, size_t frameLength) {
  if (!port_.IsOpen() || port_.Gone()) return false;
  if (!frame || frameLength == 0 || frameLength >= static_cast<size_t>(kMaxReadSize)) return false;
  if (owed_ == 0) {
    // Nothing posted is on its way: whatever is stored belongs to earlier rounds.
    Pump(MonotonicUs(), false);
    mailbox_.Discard();
  }
  if (!port_.Write(frame, frameLength, static_cast<int>(kSentWaitUs / 1000))) return false;
  ++owed_;
  return true;
}

MailboxTake SerialLinkPosix::WaitOldest(int64_t untilUs, ReplyBody* out) {
  MailboxTake taken = mailbox_.TakeOldest(out);
  while (taken == MailboxTake::None && Pump(untilUs, true)) taken = mailbox_.TakeOldest(out);
  return taken;
}

ExchangeStatus SerialLinkPosix::Collect(uint8_t expectedCommand, ReplyBody& reply) {
  if (owed_ == 0 || !port_.IsOpen()) return ExchangeStatus::NotSent;
  --owed_;
  const MailboxTake taken = WaitOldest(MonotonicUs() + kReplyWaitUs, &reply);
  if (taken == MailboxTake::None) {
    // Nothing came in time: a reply still on its way could belong to this
    // request or to a later one, so none of them is taken.
    DropOwed();
    return ExchangeStatus::NoReply;
  }
  if (taken == MailboxTake::Damaged) return ExchangeStatus::Damaged;
  return reply.body[0] == expectedCommand ? ExchangeStatus::Ok : ExchangeStatus::WrongCommand;
}

void SerialLinkPosix::DropOwed() {
  if (owed_ == 0) return;
  const int64_t deadline = MonotonicUs() + kReplyWaitUs;
  ReplyBody dropped;
  while (owed_ > 0 && WaitOldest(deadline, &dropped) != MailboxTake::None) --owed_;
  owed_ = 0;
  mailbox_.Discard();
}

void SerialLinkPosix::Wait(uint32_t ms, bool wakeable) {
  const int64_t until = MonotonicUs() + static_cast<int64_t>(ms) * 1000;
  while (!port_.Gone()) {
    const int64_t before = MonotonicUs();
    if (before >= until) return;
    uint8_t buffer[kMaxReadSize];
    const size_t n = port_.Read(buffer, static_cast<size_t>(nextRead_), until - before, wakeable);
    if (n == 0) {
      if (wakeable && MonotonicUs() < until) return;  // woken
      continue;
    }
    nextRead_ = DispatchReceived(
        receiver_, mailbox_, buffer, n, [this](int k) { notices_ |= 1u << (k - 1); }, [] {});
  }
}

int SerialLinkPosix::PendingNotice() {
  for (int n = 1; n <= 4; ++n) {
    if (notices_ & (1u << (n - 1))) return n;
  }
  return 0;
}

void SerialLinkPosix::ClearNotice(int n) {
  if (n >= 1 && n <= 4) notices_ &= ~(1u << (n - 1));
}
