#include "core/link/reply_mailbox.h"

#include <cstring>

void ReplyMailbox::Discard() {
  std::lock_guard<std::mutex> guard(lock_);
  generation.fetch_add(1, std::memory_order_acq_rel);
  if (fresh) ++dropped;
  fresh = false;
}

bool ReplyMailbox::Post(const uint8_t* body, uint16_t length, uint32_t tag) {
  if (length > kMaxBodyBytes) length = kMaxBodyBytes;
  std::lock_guard<std::mutex> guard(lock_);
  ++posted;
  if (tag != generation.load(std::memory_order_acquire)) {
    ++dropped;
    return false;
  }
  if (fresh) ++dropped;
  std::memcpy(reply, body, length);
  replyLength = length;
  fresh = true;
  return true;
}

bool ReplyMailbox::Take(ReplyBody* out) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!fresh) return false;
  std::memcpy(out->body, reply, replyLength);
  out->length = replyLength;
  fresh = false;
  return true;
}

uint32_t ReplyMailbox::Posted() const {
  std::lock_guard<std::mutex> guard(lock_);
  return posted;
}

uint32_t ReplyMailbox::Dropped() const {
  std::lock_guard<std::mutex> guard(lock_);
  return dropped;
}
