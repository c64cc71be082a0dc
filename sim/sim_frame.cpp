#include "sim/sim_frame.h"

#include <cctype>
#include <cstdio>

namespace sim {

uint8_t XorOf(const uint8_t* bytes, size_t count) {
  uint8_t x = 0;
  for (size_t i = 0; i < count; ++i) x ^= bytes[i];
  return x;
}

Bytes BuildFrame(const Bytes& body) {
  if (body.empty() || body.size() > kMaxFrameLen) return {};
  Bytes frame;
  frame.reserve(body.size() + 4);
  frame.push_back(kStx);
  frame.push_back(static_cast<uint8_t>(body.size()));
  frame.insert(frame.end(), body.begin(), body.end());
  frame.push_back(static_cast<uint8_t>(XorOf(frame.data(), frame.size()) ^ kEtx));
  frame.push_back(kEtx);
  return frame;
}

Bytes BuildFrame(uint8_t command, const Bytes& data) {
  Bytes body;
  body.reserve(data.size() + 1);
  body.push_back(command);
  body.insert(body.end(), data.begin(), data.end());
  return BuildFrame(body);
}

bool IsWellFormedFrame(const Bytes& frame) {
  if (frame.size() < 5 || frame[0] != kStx) return false;
  const size_t len = frame[1];
  if (len == 0 || len > kMaxFrameLen || frame.size() != len + 4) return false;
  return frame.back() == kEtx && XorOf(frame.data(), frame.size()) == 0;
}

Bytes FrameBody(const Bytes& frame) {
  if (!IsWellFormedFrame(frame)) return {};
  return Bytes(frame.begin() + 2, frame.end() - 2);
}

std::string HexString(const uint8_t* bytes, size_t count) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(count * 3);
  for (size_t i = 0; i < count; ++i) {
    if (i) text.push_back(' ');
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

std::string HexString(const Bytes& bytes) { return HexString(bytes.data(), bytes.size()); }

bool ParseHexBytes(const std::string& text, Bytes* out) {
  Bytes result;
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isspace(c) || c == ',') {
      ++i;
      continue;
    }
    if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
    int value = 0;
    int digits = 0;
    while (i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]))) {
      const char d = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
      value = value * 16 + (d <= '9' ? d - '0' : d - 'A' + 10);
      ++digits;
      ++i;
      if (digits > 2) return false;
    }
    if (digits == 0) return false;
    if (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])) && text[i] != ',') return false;
    result.push_back(static_cast<uint8_t>(value));
  }
  *out = std::move(result);
  return true;
}

FrameReceiver::FrameReceiver(SimTime gapUs, bool checkSum) : gapUs_(gapUs), checkSum_(checkSum) {}

void FrameReceiver::Reset() {
  gathered_.clear();
  stray_.clear();
  expected_ = 0;
}

Bytes FrameReceiver::TakeStray() {
  Bytes s;
  s.swap(stray_);
  return s;
}

FrameReceiver::Result FrameReceiver::Feed(uint8_t byte, SimTime t, Bytes* frame, std::string* reason) {
  // A frame that stalled for too long is given up; the new byte starts afresh.
  if (!gathered_.empty() && gapUs_ > 0 && t - lastByteAt_ > gapUs_) {
    *frame = gathered_;
    *reason = "incomplete frame (pause inside the frame)";
    gathered_.clear();
    expected_ = 0;
    lastByteAt_ = t;
    if (byte == kStx) {
      gathered_.push_back(byte);
    } else {
      stray_.push_back(byte);
    }
    return Result::Rejected;
  }
  lastByteAt_ = t;

  if (gathered_.empty()) {
    if (byte != kStx) {
      stray_.push_back(byte);
      return Result::None;
    }
    gathered_.push_back(byte);
    if (!stray_.empty()) {
      *frame = TakeStray();
      *reason = "stray bytes between frames";
      return Result::Rejected;
    }
    return Result::None;
  }

  gathered_.push_back(byte);
  if (gathered_.size() == 2) {
    if (byte == 0 || byte > kMaxFrameLen) {
      *frame = gathered_;
      *reason = byte == 0 ? "length byte 0" : "length byte above 0x7F";
      gathered_.clear();
      return Result::Rejected;
    }
    expected_ = static_cast<size_t>(byte) + 4;
    return Result::None;
  }
  if (gathered_.size() < expected_) return Result::None;

  *frame = gathered_;
  gathered_.clear();
  expected_ = 0;
  if (frame->back() != kEtx) {
    *reason = "last byte is not ETX";
    return Result::Rejected;
  }
  if (checkSum_ && XorOf(frame->data(), frame->size()) != 0) {
    *reason = "checksum mismatch";
    return Result::Rejected;
  }
  return Result::Frame;
}

}  // namespace sim
