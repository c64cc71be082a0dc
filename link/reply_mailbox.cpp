#include "link/reply_mailbox.h"

#include <cstring>

void ReplyMailbox::Discard() {
  std::lock_guard<std::mutex> guard(lock_);
  if (fresh) ++dropped;
  fresh = false;
}

void ReplyMailbox::Post(const uint8_t* body, uint16_t length) {
  if (length > kMaxBodyBytes) length = kMaxBodyBytes;
  std::lock_guard<std::mutex> guard(lock_);
  if (fresh) ++dropped;
  std::memcpy(reply, body, length);
  replyLength = length;
  fresh = true;
  ++posted;
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
