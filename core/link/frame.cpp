#include "core/link/frame.h"

#include <cstring>

void FrameChecksum(uint8_t* frame) {
  const size_t len = frame[1];
  frame[len + 2] = 0;
  uint8_t x = 0;
  for (size_t i = 0; i < len + 2; ++i) x ^= frame[i];
  frame[len + 2] = static_cast<uint8_t>(x ^ kEtx);
  frame[len + 3] = kEtx;
}

size_t BuildFrame(uint8_t command, const uint8_t* data, size_t dataLength, uint8_t* out, size_t outSize) {
  const size_t body = dataLength + 1;
  if (body > kMaxBodyBytes || body + 4 > outSize || (dataLength > 0 && !data)) return 0;
  out[0] = kStx;
  out[1] = static_cast<uint8_t>(body);
  out[2] = command;
  if (dataLength > 0) std::memcpy(out + 3, data, dataLength);
  FrameChecksum(out);
  return body + 4;
}

void FrameReceiver::Reset() {
  framePos = 0;
  frameRemaining = 1;
  replyLength = 0;
}

int FrameReceiver::Step(uint8_t b, bool* completed, bool* damaged) {
  *completed = false;
  if (damaged) *damaged = false;
  if (framePos == 0) {
    frameRemaining = 1;
    if (b == kStx) {
      rawFrame[0] = b;
      framePos = 1;
    } else {
      replyLength = 0;
    }
    return 1;
  }
  if (framePos == 1) {
    if (b == 0 || b > kMaxBodyBytes) {
      // No valid frame has this length: hunt for the next STX.
      ++droppedFrames;
      Reset();
      return 1;
    }
    rawFrame[1] = b;
    framePos = 2;
    replyLength = b;
    frameRemaining = static_cast<uint16_t>(b + 2);
    return frameRemaining;
  }
  // framePos + frameRemaining never exceeds kMaxBodyBytes + 4, far inside rawFrame.
  --frameRemaining;
  rawFrame[framePos++] = b;
  if (frameRemaining > 0) return frameRemaining;
  uint8_t x = 0;
  for (uint16_t i = 0; i < framePos; ++i) x ^= rawFrame[i];
  if (b == kEtx && x == 0) {
    completedLength = replyLength;
    ++frameCount;
    *completed = true;
  } else {
    ++droppedFrames;
    // A spoilt notice is simply lost; anything else stood in for a reply.
    const bool notice = replyLength == 1 && rawFrame[2] >= 0x20 && rawFrame[2] <= 0x23;
    if (damaged) *damaged = !notice;
    replyLength = 0;
  }
  framePos = 0;
  frameRemaining = 1;
  return 1;
}
