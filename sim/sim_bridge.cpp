#include "sim/sim_bridge.h"

#include <algorithm>

namespace sim {

void UsbBridge::Reset(SimTime t, int latencyMs) {
  Clear();
  latencyUs_ = static_cast<SimTime>(std::clamp(latencyMs, kMinLatencyMs, kMaxLatencyMs)) * 1000;
  eventOn_ = false;
  eventChar_ = 0;
  settledAt_ = lastPacket_ = eventFrom_ = t;
}

bool UsbBridge::SetLatency(int ms, SimTime t) {
  if (ms < kMinLatencyMs || ms > kMaxLatencyMs) return false;
  Settle(t);
  latencyUs_ = static_cast<SimTime>(ms) * 1000;
  lastPacket_ = settledAt_;
  return true;
}

void UsbBridge::SetEventChar(uint8_t c, bool enabled, SimTime t) {
  Settle(t);
  eventChar_ = c;
  eventOn_ = enabled;
  eventFrom_ = settledAt_;
}

void UsbBridge::Push(uint8_t byte, SimTime at) { bytes_.push_back({byte, at}); }

void UsbBridge::Clear() {
  bytes_.clear();
  released_ = 0;
}

UsbBridge::Packet UsbBridge::NextPacket() const {
  SimTime tick = lastPacket_ + latencyUs_;
  size_t i = released_;
  for (;;) {
    // A byte that arrives by the next tick joins the buffer first.
    if (i < bytes_.size() && bytes_[i].at <= tick) {
      const Timed& b = bytes_[i++];
      if (i - released_ >= kBridgePacketBytes) return {b.at, i};
      if (eventOn_ && b.byte == eventChar_ && b.at > eventFrom_) return {b.at, i};
      continue;
    }
    if (i > released_) return {tick, i};
    if (i == bytes_.size()) return {kNever, i};
    // Nothing held: the timer ticks on with empty packets until the first tick
    // at or after the next byte's arrival.
    const SimTime periods = (bytes_[i].at - tick + latencyUs_ - 1) / latencyUs_;
    tick += periods * latencyUs_;
  }
}

void UsbBridge::Settle(SimTime t) {
  if (t <= settledAt_) return;
  for (;;) {
    const Packet p = NextPacket();
    if (p.at > t) break;
    released_ = p.end;
    lastPacket_ = p.at;
  }
  settledAt_ = t;
}

size_t UsbBridge::Available(SimTime t) {
  Settle(t);
  return released_;
}

size_t UsbBridge::Read(uint8_t* out, size_t max, SimTime t) {
  Settle(t);
  const size_t n = std::min(max, released_);
  for (size_t k = 0; k < n; ++k) {
    out[k] = bytes_.front().byte;
    bytes_.pop_front();
  }
  released_ -= n;
  return n;
}

SimTime UsbBridge::NextRelease() const { return NextPacket().at; }

}  // namespace sim
