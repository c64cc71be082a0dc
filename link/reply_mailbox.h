// Where the link's reader leaves reply bodies for the command that waits on
// them, and the dispatch of a received batch into replies and notices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "link/frame.h"
#include "link/tester_commands.h"

// Holds the body of the newest reply. A command marks whatever is stored stale
// before it sends its request, so that a reply to an earlier, timed-out round is
// never taken as the answer to the new one. Post and Take copy under a small
// lock, so a reply arriving while one is being copied cannot tear it.
class ReplyMailbox {
 public:
  // Drops any stored reply.
  void Discard();
  // Stores a new reply (at most kMaxBodyBytes are kept).
  void Post(const uint8_t* body, uint16_t length);
  // Copies the stored reply out and empties the box; false when there is none.
  bool Take(ReplyBody* out);

  // Replies posted since construction, and how many of them were dropped
  // unread by Discard or by a newer Post.
  uint32_t Posted() const;
  uint32_t Dropped() const;

 private:
  mutable std::mutex lock_;
  uint8_t reply[kFrameBufferBytes] = {};
  uint16_t replyLength = 0;
  bool fresh = false;
  uint32_t posted = 0;
  uint32_t dropped = 0;
};

// Feeds one read's bytes to the receiver. Every complete frame is dispatched in
// order: a notice (0x20..0x23) calls notice(n) with n = 1..4 and never touches
// the mailbox; any other frame is posted and then replyArrived() is called.
// Returns the size of the next read.
template <typename Notice, typename ReplyArrived>
int DispatchReceived(FrameReceiver& receiver, ReplyMailbox& mailbox, const uint8_t* bytes, size_t count,
                     Notice&& notice, ReplyArrived&& replyArrived) {
  return receiver.Feed(bytes, count, [&](const uint8_t* body, uint16_t length) {
    if (const int n = NoticeNumber(body[0])) {
      notice(n);
    } else {
      mailbox.Post(body, length);
      replyArrived();
    }
  });
}
