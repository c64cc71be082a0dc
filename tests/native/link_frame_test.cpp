// Frame building, the receive state machine and the dispatch of received batches into replies and notices.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/link/frame.h"
#include "core/link/reply_mailbox.h"
#include "core/link/tester_commands.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(uint8_t command, Bytes data) {
  uint8_t out[kFrameBufferBytes];
  const size_t n = BuildFrame(command, data.data(), data.size(), out, sizeof out);
  return Bytes(out, out + n);
}

// Feeds bytes the way the link does: each read asks for the size the receiver
// returned last, so a batch never holds more than the rest of a frame part.
struct Harness {
  FrameReceiver receiver;
  ReplyMailbox mailbox;
  std::vector<int> notices;
  int replySignals = 0;
  int nextRead = 1;

  void FeedAsReads(const Bytes& bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
      const size_t n = std::min(bytes.size() - i, static_cast<size_t>(nextRead));
      FeedBatch(Bytes(bytes.begin() + i, bytes.begin() + i + n));
      i += n;
    }
  }
  void FeedBatch(const Bytes& batch) {
    nextRead = DispatchReceived(
        receiver, mailbox, batch.data(), batch.size(), [this](int n) { notices.push_back(n); },
        [this] { ++replySignals; });
  }
  Bytes TakeReply() {
    ReplyBody r;
    if (!mailbox.Take(&r)) return {};
    return Bytes(r.body, r.body + r.length);
  }
};

TEST(FrameBuild, ChecksumRuleAndFramesThatDoNotFit) {
  EXPECT_EQ(Frame(0x10, {0xF4, 0x01}), (Bytes{0x02, 0x03, 0x10, 0xF4, 0x01, 0xE7, 0x03}));
  // The XOR of every byte of a finished frame is 0, whatever the old CHK byte.
  uint8_t f[8] = {0x02, 0x04, 0xE3, 0x55, 0xAA, 0x77, 0x03, 0x00};
  FrameChecksum(f);
  uint8_t x = 0;
  for (int i = 0; i < 8; ++i) x ^= f[i];
  EXPECT_EQ(x, 0);
  EXPECT_EQ(f[7], 0x03);
  uint8_t out[16];
  uint8_t data[127] = {};
  EXPECT_EQ(BuildFrame(0x01, data, 12, out, sizeof out), 0u);  // 17 bytes
  EXPECT_EQ(BuildFrame(0x01, data, 11, out, sizeof out), 16u);
  uint8_t big[200];
  EXPECT_EQ(BuildFrame(0x01, data, 127, big, sizeof big), 0u);  // LEN would be 0x80
  EXPECT_EQ(BuildFrame(0x01, data, 126, big, sizeof big), 131u);
}

TEST(FrameReceive, ReadSizesFollowTheFrameParts) {
  FrameReceiver r;
  bool done = false;
  // STX, then LEN 3 (wants the body of 3, CHK, ETX), the body, CHK, ETX.
  const uint8_t bytes[] = {0x02, 0x03, 0x0C, 0x01, 0x02, 0x0D, 0x03};
  const int wants[] = {1, 5, 4, 3, 2, 1, 1};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(r.Step(bytes[i], &done), wants[i]) << i;
    EXPECT_EQ(done, i == 6) << i;
  }
  ASSERT_EQ(r.BodyLength(), 3);
  EXPECT_EQ(Bytes(r.Body(), r.Body() + 3), (Bytes{0x0C, 0x01, 0x02}));
  EXPECT_EQ((std::vector<long>{long(r.frameCount), r.framePos}), (std::vector<long>{1, 0}));
  // Largest legal body: the whole frame fits and the read asks for 129 bytes.
  r.Step(0x02, &done);
  EXPECT_EQ(r.Step(0x7F, &done), 0x7F + 2);
}

TEST(FrameReceive, WrongChecksumOrEndByteIsDroppedAndCounted) {
  Harness h;
  h.FeedAsReads({0x02, 0x01, 0x0A, 0x99, 0x03});  // CHK should be 0x0A
  h.FeedAsReads({0x02, 0x01, 0x0A, 0x0A, 0x04});  // ends in 0x04
  // Noise that looks like the start of a frame swallows a real reply: the XOR of the whole gives it away.
  Bytes swallowing = {0x02, 0x0F, 0x0C, 0x55};
  const Bytes reply = Frame(0x0C, {0, 25, 0x88, 0x13, 0, 0, 0, 0, 0, 0});
  swallowing.insert(swallowing.end(), reply.begin(), reply.end());
  h.FeedAsReads(swallowing);
  // No reply signalled, none counted, three dropped, nothing left half-read.
  EXPECT_EQ((std::vector<long>{h.replySignals, long(h.receiver.frameCount), long(h.receiver.droppedFrames),
                               h.receiver.framePos}),
            (std::vector<long>{0, 0, 3, 0}));
  // The next STX starts a new frame.
  h.FeedAsReads(Frame(0x10, {}));
  EXPECT_EQ(h.replySignals, 1);
  EXPECT_EQ(h.TakeReply(), (Bytes{0x10}));
}

TEST(FrameReceive, OversizedOrEmptyLengthIsRejectedAndReceptionResynchronises) {
  for (uint8_t len : {uint8_t{0x80}, uint8_t{0xFF}, uint8_t{0x00}}) {
    Harness h;
    // The rejected frame's would-be body is skipped as noise until the next STX.
    Bytes bytes = {0x02, len, 0x41, 0x42, 0x43, 0x03};
    const Bytes good = Frame(0x0C, {0, 25, 0x88, 0x13, 0, 0, 0, 0, 0, 0});
    bytes.insert(bytes.end(), good.begin(), good.end());
    h.FeedAsReads(bytes);
    EXPECT_EQ(h.replySignals, 1) << int(len);
    const Bytes reply = h.TakeReply();
    ASSERT_EQ(reply.size(), 11u) << int(len);
    EXPECT_EQ(reply[0], 0x0C);
    EXPECT_LE(h.nextRead, kMaxReadSize);
  }
}

TEST(FrameReceive, NoticesGoToTheCallbackAndNeverTouchTheReply) {
  Harness h;
  const Bytes status = Frame(0x0A, {1, 2, 5, 0, 0x88, 0x13, 0xB8, 0x0B, 0, 0, 0, 0});
  h.FeedAsReads(status);
  h.FeedAsReads({0x02, 0x01, 0x20, 0x20, 0x03});
  h.FeedAsReads(Frame(0x21, {}));
  EXPECT_EQ(h.TakeReply(), Bytes(status.begin() + 2, status.end() - 2));  // intact after two notices
  h.FeedAsReads(Frame(0x22, {}));
  h.FeedAsReads(Frame(0x23, {}));
  h.FeedAsReads(Frame(0x24, {}));  // not a notice: a (stray) reply
  EXPECT_EQ(h.notices, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(h.replySignals, 2);
  EXPECT_EQ(h.TakeReply(), (Bytes{0x24}));
}

TEST(FrameReceive, FramesSplitOrJoinedAcrossBatches) {
  Harness h;
  Bytes batch = Frame(0x20, {});
  const Bytes second = Frame(0x10, {});
  batch.insert(batch.end(), second.begin(), second.end());
  h.FeedBatch(batch);
  EXPECT_EQ(h.notices, (std::vector<int>{1}));
  EXPECT_EQ(h.replySignals, 1);
  EXPECT_EQ(h.TakeReply(), (Bytes{0x10}));
  // Two replies in one batch: the later one is kept, the earlier counted dropped.
  Bytes two = Frame(0x0C, {});
  const Bytes b = Frame(0x0A, {});
  two.insert(two.end(), b.begin(), b.end());
  h.FeedBatch(two);
  EXPECT_EQ(h.TakeReply(), (Bytes{0x0A}));
  EXPECT_EQ(h.mailbox.Dropped(), 1u);
  // A frame across batches; a read that delivered nothing (time-out or failure) abandons the half frame.
  const Bytes f = Frame(0x0B, Bytes(58, 0x11));
  const int signals = h.replySignals;
  h.FeedBatch(Bytes(f.begin(), f.begin() + 10));
  h.receiver.Reset();
  h.FeedBatch(Bytes(f.begin() + 10, f.end()));
  EXPECT_EQ(h.replySignals, signals);
  h.FeedAsReads(f);
  EXPECT_EQ(h.replySignals, signals + 1);
  EXPECT_EQ(h.TakeReply().size(), 59u);
}

TEST(ReplyMailbox, DiscardDropsAStaleReplyEvenOneStillArriving) {
  ReplyMailbox box;
  const uint8_t stale[3] = {0x0C, 1, 2};
  EXPECT_TRUE(box.Post(stale, 3, box.Generation()));
  box.Discard();
  ReplyBody r;
  EXPECT_FALSE(box.Take(&r));
  const uint8_t own[1] = {0x0A};
  EXPECT_TRUE(box.Post(own, 1, box.Generation()));
  ASSERT_TRUE(box.Take(&r));
  EXPECT_EQ(Bytes(r.body, r.body + r.length), Bytes{0x0A});
  EXPECT_FALSE(box.Take(&r));  // taken once only
  EXPECT_EQ((std::vector<long>{long(box.Posted()), long(box.Dropped())}), (std::vector<long>{2, 1}));
  // The newest sound reply is taken, whatever damaged frame came after it, and wherever the box has got to.
  for (int round = 0; round < 3; ++round) {
    const uint8_t older[1] = {0x01}, newer[1] = {0x0C};
    box.Post(older, 1, box.Generation());
    box.Post(newer, 1, box.Generation());
    box.PostDamaged(box.Generation());
    ASSERT_EQ(box.TakeNewest(&r), MailboxTake::Reply);
    EXPECT_EQ(r.body[0], 0x0C);
  }
  // A late reply is half received when the next command discards: when it
  // completes it is not taken, and the command's own reply still is.
  Harness h;
  const Bytes late = Frame(0x0C, {0, 33, 0x0F, 0x27, 0, 0, 0, 0, 0, 0});
  h.FeedAsReads(Bytes(late.begin(), late.begin() + 6));
  h.mailbox.Discard();
  h.FeedAsReads(Bytes(late.begin() + 6, late.end()));
  EXPECT_EQ(h.replySignals, 0);
  EXPECT_TRUE(h.TakeReply().empty());
  h.FeedAsReads(Frame(0x0A, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(h.replySignals, 1);
  EXPECT_EQ(h.TakeReply().at(0), 0x0A);
  EXPECT_EQ(h.mailbox.Dropped(), 1u);
}

}  // namespace
