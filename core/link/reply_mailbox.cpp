#include "core/link/reply_mailbox.h"

#include <cstring>

void ReplyMailbox::Discard() {
  std::lock_guard<std::mutex> guard(lock_);
  generation.fetch_add(1, std::memory_order_acq_rel);
  for (int i = 0; i < count_; ++i) {
    if (!entries_[(first_ + i) % kKept].damaged) ++dropped;
  }
  count_ = 0;
}

bool ReplyMailbox::Store(const uint8_t* body, uint16_t length, bool damaged, uint32_t tag) {
  if (length > kMaxBodyBytes) length = kMaxBodyBytes;
  std::lock_guard<std::mutex> guard(lock_);
  if (!damaged) ++posted;
  if (tag != generation.load(std::memory_order_acquire)) {
    if (!damaged) ++dropped;
    return false;
  }
  if (count_ == kKept) {
    if (!entries_[first_].damaged) ++dropped;
    first_ = (first_ + 1) % kKept;
    --count_;
  }
  Entry& e = entries_[(first_ + count_) % kKept];
  if (length > 0) std::memcpy(e.body, body, length);
  e.length = length;
  e.damaged = damaged;
  ++count_;
  return true;
}

bool ReplyMailbox::Post(const uint8_t* body, uint16_t length, uint32_t tag) {
  return Store(body, length, false, tag);
}

bool ReplyMailbox::PostDamaged(uint32_t tag) { return Store(nullptr, 0, true, tag); }

MailboxTake ReplyMailbox::Copy(int index, ReplyBody* out) {
  const Entry& e = entries_[index];
  if (e.damaged) return MailboxTake::Damaged;
  std::memcpy(out->body, e.body, e.length);
  out->length = e.length;
  return MailboxTake::Reply;
}

MailboxTake ReplyMailbox::TakeNewest(ReplyBody* out) {
  std::lock_guard<std::mutex> guard(lock_);
  if (count_ == 0) return MailboxTake::None;
  // The newest reply; a damaged frame counts only when no reply came with it.
  int newest = -1;
  for (int i = count_ - 1; i >= 0 && newest < 0; --i) {
    if (!entries_[(first_ + i) % kKept].damaged) newest = (first_ + i) % kKept;
  }
  for (int i = 0; i < count_; ++i) {
    const int at = (first_ + i) % kKept;
    if (at != newest && !entries_[at].damaged) ++dropped;
  }
  count_ = 0;
  if (newest < 0) return MailboxTake::Damaged;
  return Copy(newest, out);
}

MailboxTake ReplyMailbox::TakeOldest(ReplyBody* out) {
  std::lock_guard<std::mutex> guard(lock_);
  if (count_ == 0) return MailboxTake::None;
  const MailboxTake taken = Copy(first_, out);
  first_ = (first_ + 1) % kKept;
  --count_;
  return taken;
}

uint32_t ReplyMailbox::Posted() const {
  std::lock_guard<std::mutex> guard(lock_);
  return posted;
}

uint32_t ReplyMailbox::Dropped() const {
  std::lock_guard<std::mutex> guard(lock_);
  return dropped;
}
