// The FTDI USB-serial bridge between a device's serial line and the host. Bytes
// that have crossed the line wait in the chip's buffer; the chip hands what it
// holds to the host in one USB packet when
//   - the buffer holds a packet's worth (62 data bytes),
//   - the event character arrives, when one is enabled, or
//   - its latency timer runs out: the timer counts from the last packet sent to
//     the host and sends one (with or without data) each time it expires, so
//     while nothing arrives it ticks on at the same pace.
// A fresh bridge runs its timer at 16 ms with no event character, as the chip
// does after power-up. Time only moves forward; bytes are pushed in the order
// (and at the times) they finish crossing the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "sim/sim_types.h"

namespace sim {

constexpr int kDefaultLatencyMs = 16;
constexpr int kMinLatencyMs = 1;
constexpr int kMaxLatencyMs = 255;
constexpr size_t kBridgePacketBytes = 62;

class UsbBridge {
 public:
  // Forgets what it holds; the timer starts again at t with `latencyMs` and
  // the event character is off (a device opened afresh).
  void Reset(SimTime t, int latencyMs = kDefaultLatencyMs);

  // 1..255 ms; false (and nothing changed) otherwise. The timer starts again at t.
  bool SetLatency(int ms, SimTime t);
  int Latency() const { return latencyUs_ / 1000; }
  // Bytes that arrive after t are looked at for the event character.
  void SetEventChar(uint8_t c, bool enabled, SimTime t);
  bool EventCharEnabled() const { return eventOn_; }
  uint8_t EventChar() const { return eventChar_; }

  // A byte from the device has crossed the line into the chip at `at`.
  void Push(uint8_t byte, SimTime at);
  // Sends every packet due by time t.
  void Settle(SimTime t);
  // Bytes the host can read at time t.
  size_t Available(SimTime t);
  // Takes up to `max` of them.
  size_t Read(uint8_t* out, size_t max, SimTime t);
  // When more bytes next become readable, after the time last settled
  // (kNever when nothing is on its way).
  SimTime NextRelease() const;
  // Bytes held in the chip or not yet read by the host.
  size_t Held() const { return bytes_.size(); }
  void Clear();

 private:
  struct Timed {
    uint8_t byte;
    SimTime at;
  };
  struct Packet {
    SimTime at;
    size_t end;  // bytes_[released_ .. end) go to the host at `at`
  };
  // The next packet with data that the chip sends, from what it holds now.
  Packet NextPacket() const;

  std::deque<Timed> bytes_;
  size_t released_ = 0;      // bytes at the front that the host can read
  SimTime settledAt_ = 0;    // packets due by then have been sent
  SimTime lastPacket_ = 0;   // the latency timer counts from here
  SimTime eventFrom_ = 0;    // the event character counts for bytes after this
  SimTime latencyUs_ = kDefaultLatencyMs * 1000;
  uint8_t eventChar_ = 0;
  bool eventOn_ = false;
};

}  // namespace sim
