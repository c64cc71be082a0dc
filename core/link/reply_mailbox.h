// Where the link's reader leaves reply bodies for the command that waits on
// them, and the dispatch of a received batch into replies and notices.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/link/frame.h"
#include "core/link/tester_commands.h"

// What a take found: nothing, a reply, or a damaged frame that stood in its
// place (its end byte or checksum failed), which ends the wait for that reply.
enum class MailboxTake : uint8_t { None, Reply, Damaged };

// Holds the replies that arrived, oldest first (a few: at most two requests
// are ever on the wire). A command marks whatever is stored stale before it
// sends its request, so that a reply to an earlier, timed-out round is never
// taken as the answer to the new one; a frame that was already arriving then
// (its STX came before the discard) is dropped as well when it completes.
// Post and Take copy under a small lock, so a reply arriving while one is being
// copied cannot tear it.
class ReplyMailbox {
 public:
  static constexpr int kKept = 4;

  // Drops any stored reply and any reply whose frame began before now.
  void Discard();
  // The mark to give a frame whose STX arrives now.
  uint32_t Generation() const { return generation.load(std::memory_order_acquire); }
  // Stores a new reply (at most kMaxBodyBytes are kept) whose frame began at
  // mark `tag`. False (nothing stored) when a Discard came after that. A full
  // box drops its oldest reply.
  bool Post(const uint8_t* body, uint16_t length, uint32_t tag);
  // Stores the mark of a damaged frame in a reply's place; false as Post.
  bool PostDamaged(uint32_t tag);
  // One request at a time: the newest entry, the older ones dropped.
  MailboxTake TakeNewest(ReplyBody* out);
  // Requests on the wire one behind the other: the oldest entry.
  MailboxTake TakeOldest(ReplyBody* out);
  // TakeNewest, true only for a reply.
  bool Take(ReplyBody* out) { return TakeNewest(out) == MailboxTake::Reply; }

  // Replies posted since construction, and how many of them were dropped
  // unread (by Discard, by a newer Post, or for having begun before a Discard).
  uint32_t Posted() const;
  uint32_t Dropped() const;

 private:
  struct Entry {
    uint8_t body[kMaxBodyBytes + 1] = {};
    uint16_t length = 0;
    bool damaged = false;
  };
  bool Store(const uint8_t* body, uint16_t length, bool damaged, uint32_t tag);
  MailboxTake Copy(int index, ReplyBody* out);

  mutable std::mutex lock_;
  std::atomic<uint32_t> generation{0};
  Entry entries_[kKept];
  int first_ = 0;  // index of the oldest entry
  int count_ = 0;
  uint32_t posted = 0;
  uint32_t dropped = 0;
};

// Feeds one read's bytes to the receiver. Every complete frame is dispatched in
// order: a notice (0x20..0x23) calls notice(n) with n = 1..4 and never touches
// the mailbox; any other frame is posted and, when the mailbox keeps it,
// replyArrived() is called. The mark of a whole frame that arrived damaged is
// posted in a reply's place and, when kept, damagedArrived() is called.
// Returns the size of the next read.
template <typename Notice, typename ReplyArrived, typename DamagedArrived>
int DispatchReceived(FrameReceiver& receiver, ReplyMailbox& mailbox, const uint8_t* bytes, size_t count,
                     Notice&& notice, ReplyArrived&& replyArrived, DamagedArrived&& damagedArrived) {
  int next = 1;
  for (size_t i = 0; i < count; ++i) {
    if (receiver.framePos == 0) receiver.startTag = mailbox.Generation();
    bool completed = false;
    bool damaged = false;
    next = receiver.Step(bytes[i], &completed, &damaged);
    if (damaged && mailbox.PostDamaged(receiver.startTag)) damagedArrived();
    if (!completed) continue;
    const uint8_t* body = receiver.Body();
    if (const int n = NoticeNumber(body[0])) {
      notice(n);
    } else if (mailbox.Post(body, receiver.BodyLength(), receiver.startTag)) {
      replyArrived();
    }
  }
  return next > kMaxReadSize ? kMaxReadSize : next;
}

// The same for a reader that needs no word of damaged frames.
template <typename Notice, typename ReplyArrived>
int DispatchReceived(FrameReceiver& receiver, ReplyMailbox& mailbox, const uint8_t* bytes, size_t count,
                     Notice&& notice, ReplyArrived&& replyArrived) {
  return DispatchReceived(receiver, mailbox, bytes, count, notice, replyArrived, [] {});
}
