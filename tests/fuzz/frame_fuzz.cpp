// Fuzz target for the receive state machine and the reply decoders. The input is cut into read batches by its own
// leading bytes; every completed reply is then run through each command operation as its answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/link/frame.h"
#include "core/link/pdo.h"
#include "core/link/reply_mailbox.h"
#include "core/link/tester_commands.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Runs every operation with `reply` as the answer to each of its rounds.
void RunOperations(const ReplyBody& reply) {
  CommandChannel channel;
  channel.exchange = [&reply](const uint8_t* frame, size_t n, uint8_t expected, ReplyBody& out) {
    Check(n >= 5 && n <= kMaxRequestFrame && frame[0] == kStx && frame[n - 1] == kEtx);
    uint8_t x = 0;
    for (size_t i = 0; i < n; ++i) x ^= frame[i];
    Check(x == 0);
    out = reply;
    return out.body[0] == expected ? ExchangeStatus::Ok : ExchangeStatus::WrongCommand;
  };
  uint32_t sleptMs = 0;
  channel.sleep = [&sleptMs](uint32_t ms) { sleptMs += ms; };

  uint8_t hw = 0, fw = 0, temp = 0, index = 0, sub = 0;
  uint16_t a = 0, b = 0, c = 0, d = 0;
  uint32_t attach = 0, kind = 0, extra = 0, cal = 0, year = 0, month = 0;
  int32_t p[4] = {};
  PdoList list;
  TesterSettings settings;
  commands::GetVersion(channel, &hw, &fw);
  commands::GetPortStatus(channel, &attach, &index, &kind, &sub, &a, &b, &extra);
  if (commands::GetSourceCapabilities(channel, &list)) Check(list.count <= kMaxPdoEntries);
  commands::GetMeasurements(channel, &temp, &a, &b, &c, &d);
  commands::RequestProfile(channel, reply.body[0] & 0x0F, a);
  commands::SetLoadCurrent(channel, b);
  settings.limitMode = reply.body[0] % 3;
  commands::WriteTesterSettings(channel, settings);
  Check(sleptMs == 400);
  commands::ReadTesterSettings(channel, &settings);
  if (commands::ReadCalibration(channel, reply.body[0] & 1, &cal, &year, &month, &p[0], &p[1], &p[2], &p[3])) {
    Check(year >= 2020 && year <= 2275);
    for (int32_t v : p) Check(v >= -32768 && v <= 32767);
  }
  commands::WriteCalibration(channel, 1, year, static_cast<uint8_t>(month), static_cast<int16_t>(p[0]),
                             static_cast<int16_t>(p[1]), static_cast<int16_t>(p[2]), static_cast<int16_t>(p[3]));
  commands::ResetCalibration(channel, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FrameReceiver receiver;  // kept across inputs, as the link keeps it across reads
  static ReplyMailbox mailbox;
  if (size == 0) return 0;
  // First byte: bits 0-6 give the batch size (0 = the receiver's read sizes); with bit 7 set, a command starts (the
  // mailbox discards) after every batch that begins with an odd byte.
  const size_t fixedBatch = data[0] & 0x7F;
  const bool discards = (data[0] & 0x80) != 0;
  ++data;
  --size;
  int nextRead = 1;
  size_t pos = 0;
  while (pos < size) {
    size_t n = fixedBatch ? fixedBatch : static_cast<size_t>(nextRead);
    if (n > size - pos) n = size - pos;
    int notices = 0;
    nextRead = DispatchReceived(
        receiver, mailbox, data + pos, n,
        [&notices](int k) {
          Check(k >= 1 && k <= 4);
          ++notices;
        },
        [] {});
    Check(nextRead >= 1 && nextRead <= kMaxReadSize);
    Check(receiver.framePos < kFrameBufferBytes && receiver.framePos + receiver.frameRemaining <= kMaxBodyBytes + 4);
    const bool discard = discards && (data[pos] & 1);
    pos += n;
    if (discard) mailbox.Discard();
    ReplyBody reply;
    if (mailbox.Take(&reply)) {
      Check(reply.length >= 1 && reply.length <= kMaxBodyBytes);
      RunOperations(reply);
    }
  }
  return 0;
}
