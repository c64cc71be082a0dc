// Frames on the tester's serial line, seen from the tester's side:
//   STX (0x02), LEN (CMD + DATA bytes), CMD, DATA..., CHK, ETX (0x03)
// where the XOR of every byte of a finished frame, CHK and ETX included, is 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/sim_types.h"

namespace sim {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
// The tester rejects LEN bytes of 0 and from this value up.
constexpr uint8_t kMaxFrameLen = 0x7F;

// The notices a tester sends on its own.
constexpr uint8_t kNoticeAttached = 0x20;
constexpr uint8_t kNoticeDetached = 0x21;
constexpr uint8_t kNoticeNewProfile = 0x22;
constexpr uint8_t kNoticeCapabilitiesChanged = 0x23;

// Frame around a body (body[0] is the command byte). An empty body or one longer
// than kMaxFrameLen gives an empty result.
Bytes BuildFrame(const Bytes& body);
Bytes BuildFrame(uint8_t command, const Bytes& data = {});
uint8_t XorOf(const uint8_t* bytes, size_t count);
// True for STX, LEN in 1..kMaxFrameLen, the right length, XOR 0 and ETX.
bool IsWellFormedFrame(const Bytes& frame);
// The body (CMD + DATA) of a well-formed frame; empty otherwise.
Bytes FrameBody(const Bytes& frame);

// "02 01 0A 0A 03": upper-case hex, one blank between bytes.
std::string HexString(const uint8_t* bytes, size_t count);
std::string HexString(const Bytes& bytes);
// Reads blank-separated hex bytes ("02 01 0a", "0x02,0x01" also work).
bool ParseHexBytes(const std::string& text, Bytes* out);

// Byte-by-byte receiver. It hunts for STX, takes LEN, then LEN + 2 bytes, and
// accepts the frame when it ends in ETX and its XOR is 0. A LEN of 0 or above
// kMaxFrameLen, a wrong ETX or checksum, or a pause of more than gapUs inside a
// frame rejects what was gathered, and reception hunts for the next STX.
class FrameReceiver {
 public:
  enum class Result { None, Frame, Rejected };

  explicit FrameReceiver(SimTime gapUs = 50000, bool checkSum = true);

  // Feeds one byte that arrived at time t. On Frame, *frame holds the whole
  // frame; on Rejected, *frame holds the rejected bytes and *reason says why.
  // A Rejected result for stray bytes is reported when the next STX arrives;
  // that STX then starts a new frame.
  Result Feed(uint8_t byte, SimTime t, Bytes* frame, std::string* reason);
  // Takes bytes that were discarded while hunting and not reported yet.
  Bytes TakeStray();
  void Reset();
  bool InFrame() const { return !gathered_.empty(); }

 private:
  SimTime gapUs_;
  bool checkSum_;
  Bytes gathered_;  // frame so far, starting with STX
  Bytes stray_;     // bytes discarded while hunting
  size_t expected_ = 0;
  SimTime lastByteAt_ = 0;
};

}  // namespace sim
