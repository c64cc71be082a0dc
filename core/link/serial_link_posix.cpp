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
}

PortOpenStatus SerialLinkPosix::Open(const std::string& path, std::string* detail) {
  receiver_.Reset();
  mailbox_.Discard();
  notices_ = 0;
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
          [&replied] { replied = true; });
      if (replied && stopOnReply) return true;
      continue;
    }
    if (port_.Gone() || left <= 0) return replied;
  }
}

ExchangeStatus SerialLinkPosix::Exchange(const uint8_t* frame, size_t frameLength, uint8_t expectedCommand,
                                         ReplyBody& reply) {
  if (!port_.IsOpen() || port_.Gone()) return ExchangeStatus::NotSent;
  // Anything that arrived for an earlier round is not this request's answer.
  Pump(MonotonicUs(), false);
  mailbox_.Discard();
  if (!frame || frameLength == 0 || frameLength >= static_cast<size_t>(kMaxReadSize)) return ExchangeStatus::NotSent;
  if (!port_.Write(frame, frameLength, static_cast<int>(kSentWaitUs / 1000))) return ExchangeStatus::NotSent;
  if (mailbox_.Take(&reply) || (Pump(MonotonicUs() + kReplyWaitUs, true) && mailbox_.Take(&reply))) {
    return reply.body[0] == expectedCommand ? ExchangeStatus::Ok : ExchangeStatus::WrongCommand;
  }
  return ExchangeStatus::NoReply;
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
