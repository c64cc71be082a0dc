#include "sim/sim_pipe.h"

#include <algorithm>

namespace sim {

namespace {

// The host's view of incoming bytes: no checksum test, and a LEN of 0x80 or
// more is refused.
class HostFrames {
 public:
  // Returns true when `byte` completed a frame, left in *frame.
  bool Feed(uint8_t byte, Bytes* frame) {
    if (gathered_.empty()) {
      if (byte == kStx) gathered_.push_back(byte);
      return false;
    }
    gathered_.push_back(byte);
    if (gathered_.size() == 2) {
      if (byte == 0 || byte > kMaxFrameLen) gathered_.clear();
      return false;
    }
    if (gathered_.size() < static_cast<size_t>(gathered_[1]) + 4) return false;
    const bool good = gathered_.back() == kEtx;
    if (good) *frame = gathered_;
    gathered_.clear();
    return good;
  }

 private:
  Bytes gathered_;
};

bool IsNotice(uint8_t code) { return code >= kNoticeAttached && code <= kNoticeCapabilitiesChanged; }

}  // namespace

ExchangeResult RunExchange(TesterModel& tester, const Bytes& request, SimTime start, SimTime timeoutUs) {
  ExchangeResult r;
  r.writeDoneAt = tester.HostWrite(request, start);
  const SimTime deadline = start + timeoutUs;
  HostFrames frames;
  SimTime t = std::max(start, tester.Now());
  for (;;) {
    // One byte at a time, so that bytes after the reply stay unread.
    uint8_t b = 0;
    while (tester.HostRead(&b, 1, t) == 1) {
      r.received.push_back(b);
      Bytes frame;
      if (!frames.Feed(b, &frame)) continue;
      const uint8_t code = frame[2];
      if (IsNotice(code) && frame[1] == 1) {
        r.notices.push_back(code);
        continue;
      }
      r.ok = true;
      r.frame = frame;
      r.body.assign(frame.begin() + 2, frame.end() - 2);
      r.doneAt = t;
      return r;
    }
    if (t >= deadline) break;
    const SimTime next = tester.NextEventTime();
    t = (next == kNever || next > deadline) ? deadline : std::max(next, t);
  }
  r.doneAt = deadline;
  return r;
}

std::vector<uint8_t> CollectNotices(TesterModel& tester, SimTime from, SimTime until) {
  std::vector<uint8_t> notices;
  HostFrames frames;
  SimTime t = std::max(from, tester.Now());
  for (;;) {
    for (uint8_t b : tester.HostReadAll(t)) {
      Bytes frame;
      if (frames.Feed(b, &frame) && frame[1] == 1 && IsNotice(frame[2])) notices.push_back(frame[2]);
    }
    if (t >= until) break;
    const SimTime next = tester.NextEventTime();
    t = (next == kNever || next > until) ? until : std::max(next, t);
  }
  return notices;
}

}  // namespace sim
