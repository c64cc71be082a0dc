// Frames on the tester wire and the byte-by-byte receiver that reassembles them.
//
// A frame is STX, LEN, CMD, DATA (LEN - 1 bytes), CHK, ETX; LEN counts CMD and
// DATA. CHK makes the XOR of all LEN + 4 bytes zero.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;

// Frames the program sends are at most this long.
constexpr size_t kMaxRequestFrame = 16;
// The largest body (CMD + DATA) a frame may carry: a LEN of 0x80 or more is
// never valid and is rejected by the receiver.
constexpr uint16_t kMaxBodyBytes = 0x7F;
constexpr size_t kFrameBufferBytes = 4096;
// Reads never ask for more than this (the transport's read buffer).
constexpr int kMaxReadSize = 256;

// Sets the checksum byte of a frame whose STX, LEN, CMD and DATA are in place:
// byte LEN + 2 becomes the XOR of bytes 0..LEN+1 and of ETX. Also writes ETX.
void FrameChecksum(uint8_t* frame);

// Writes the whole frame for `command` with `dataLength` data bytes into `out`.
// Returns the frame length, or 0 when it would not fit `outSize` or would carry
// more than kMaxBodyBytes.
size_t BuildFrame(uint8_t command, const uint8_t* data, size_t dataLength, uint8_t* out, size_t outSize);

// The receive state machine. Each read asks for exactly the rest of the current
// frame part: 1 byte for STX, 1 for LEN, then LEN + 2 (body, CHK, ETX). A frame
// whose LEN is 0 or 0x80 and above is rejected at its LEN byte; one not ending
// in ETX, or whose bytes do not XOR to zero (the rule FrameChecksum writes), is
// dropped. Either way it counts in droppedFrames and reception hunts for the
// next STX.
class FrameReceiver {
 public:
  FrameReceiver() { Reset(); }

  // Feeds one byte. Returns the size of the next read. Sets *completed when
  // this byte ended a valid frame, whose body is then at Body(), and *damaged
  // (when given) when it ended a whole frame whose end byte or checksum failed
  // and that was not a one-byte notice: a reply that will never be read.
  int Step(uint8_t b, bool* completed, bool* damaged = nullptr);

  // Back to hunting for STX; any half-assembled frame is forgotten.
  void Reset();

  // Body (CMD + DATA) of the frame completed last.
  const uint8_t* Body() const { return rawFrame + 2; }
  uint16_t BodyLength() const { return completedLength; }

  uint32_t frameCount = 0;       // valid frames completed since construction
  uint32_t droppedFrames = 0;    // frames rejected since construction
  uint8_t rawFrame[kFrameBufferBytes] = {};
  uint16_t framePos = 0;         // next byte's index; 0 = hunting for STX
  uint16_t frameRemaining = 1;   // bytes still expected for the current part
  uint16_t replyLength = 0;      // LEN of the frame being assembled
  uint32_t startTag = 0;         // the owner's mark, taken when a frame's STX arrives

 private:
  uint16_t completedLength = 0;
};
