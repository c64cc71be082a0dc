#include "core/link/clocked_link.h"

#include <utility>

namespace {
constexpr int64_t kWaitUs = 500 * 1000;
constexpr int64_t kByteUs = 87;  // one byte at 115200 baud, 8N1
}

ClockedLink::ClockedLink(ClockedPipe pipeIn, std::function<void(int)> noticeIn, int64_t startUs)
    : pipe(std::move(pipeIn)), notice(std::move(noticeIn)), nowUs(startUs) {}

bool ClockedLink::Pump(int64_t untilUs, bool stopOnReply) {
  uint8_t buffer[kMaxReadSize];
  bool replied = false;
  for (;;) {
    const size_t n = pipe.read(buffer, static_cast<size_t>(nextRead), nowUs);
    if (n > 0) {
      nextRead = DispatchReceived(
          receiver, mailbox, buffer, n,
          [this](int k) {
            if (notice) notice(k);
          },
          [&replied] { replied = true; }, [&replied] { replied = true; });
      if (replied && stopOnReply) return true;
      continue;  // more may be readable at this same moment
    }
    int64_t next = pipe.nextChange(nowUs);
    if (next > untilUs || nowUs >= untilUs) {
      if (pipe.waitUntil && untilUs > nowUs) pipe.waitUntil(untilUs);
      if (untilUs > nowUs) nowUs = untilUs;
      return replied;
    }
    // A pipe that reports nothing new yet is looked at again one byte time later.
    if (next <= nowUs) next = nowUs + kByteUs;
    const int64_t target = next < untilUs ? next : untilUs;
    if (pipe.waitUntil) pipe.waitUntil(target);
    nowUs = target;
  }
}

ExchangeStatus ClockedLink::Exchange(const uint8_t* frame, size_t frameLength, uint8_t expectedCommand,
                                     ReplyBody& reply) {
  DropOwed();
  const int64_t start = nowUs;
  // Anything that arrived for an earlier round is not this request's answer.
  Pump(nowUs, false);
  mailbox.Discard();
  if (!frame || frameLength == 0 || frameLength >= static_cast<size_t>(kMaxReadSize)) {
    return ExchangeStatus::NotSent;
  }
  const int64_t sent = pipe.write(frame, frameLength, nowUs);
  if (sent - nowUs > kWaitUs) {
    Pump(nowUs + kWaitUs, false);
    exchangeUs += nowUs - start;
    return ExchangeStatus::NotSent;
  }
  // Bytes may arrive while the request is still going out.
  Pump(sent, false);
  ExchangeStatus status = ExchangeStatus::NoReply;
  const int64_t deadline = nowUs + kWaitUs;
  MailboxTake taken = mailbox.TakeNewest(&reply);
  while (taken == MailboxTake::None && nowUs < deadline && Pump(deadline, true)) taken = mailbox.TakeNewest(&reply);
  if (taken == MailboxTake::Reply) {
    status = reply.body[0] == expectedCommand ? ExchangeStatus::Ok : ExchangeStatus::WrongCommand;
  }
  exchangeUs += nowUs - start;
  return status;
}

bool ClockedLink::Post(const uint8_t* frame, size_t frameLength) {
  if (!frame || frameLength == 0 || frameLength >= static_cast<size_t>(kMaxReadSize)) return false;
  if (owed_ == 0) {
    // Nothing posted is on its way: whatever is stored belongs to earlier rounds.
    Pump(nowUs, false);
    mailbox.Discard();
  }
  // The pipe queues the request behind one still going out.
  const int64_t sent = pipe.write(frame, frameLength, nowUs);
  if (sent - nowUs > kWaitUs) return false;
  ++owed_;
  return true;
}

ExchangeStatus ClockedLink::Collect(uint8_t expectedCommand, ReplyBody& reply) {
  if (owed_ == 0) return ExchangeStatus::NotSent;
  const int64_t start = nowUs;
  --owed_;
  const int64_t deadline = nowUs + kWaitUs;
  MailboxTake taken = mailbox.TakeOldest(&reply);
  while (taken == MailboxTake::None && nowUs < deadline && Pump(deadline, true)) taken = mailbox.TakeOldest(&reply);
  exchangeUs += nowUs - start;
  if (taken == MailboxTake::None) {
    // Nothing came in time: a reply still on its way could belong to this
    // request or to a later one, so none of them is taken.
    DropOwed();
    return ExchangeStatus::NoReply;
  }
  if (taken == MailboxTake::Damaged) return ExchangeStatus::Damaged;
  return reply.body[0] == expectedCommand ? ExchangeStatus::Ok : ExchangeStatus::WrongCommand;
}

void ClockedLink::DropOwed() {
  if (owed_ == 0) return;
  const int64_t deadline = nowUs + kWaitUs;
  ReplyBody dropped;
  while (owed_ > 0) {
    MailboxTake taken = mailbox.TakeOldest(&dropped);
    if (taken == MailboxTake::None && !(nowUs < deadline && Pump(deadline, true))) break;
    if (taken != MailboxTake::None) --owed_;
  }
  owed_ = 0;
  mailbox.Discard();
}

void ClockedLink::Sleep(uint32_t ms) { Pump(nowUs + static_cast<int64_t>(ms) * 1000, false); }

void ClockedLink::AdvanceTo(int64_t us) {
  if (us > nowUs) Pump(us, false);
}

CommandChannel ClockedLink::Channel() {
  CommandChannel c;
  c.exchange = [this](const uint8_t* frame, size_t n, uint8_t expected, ReplyBody& reply) {
    return Exchange(frame, n, expected, reply);
  };
  c.sleep = [this](uint32_t ms) { Sleep(ms); };
  c.post = [this](const uint8_t* frame, size_t n) { return Post(frame, n); };
  c.collect = [this](uint8_t expected, ReplyBody& reply) { return Collect(expected, reply); };
  return c;
}
