// What the program asks of the USB-serial bridge when it opens a tester. The
// bridge holds received bytes until its buffer fills, its latency timer runs
// out (16 ms by default) or the event character arrives; a reply of 8 to 30
// bytes would wait for the timer every time. So the program asks for a short
// timer and, where the driver lets it (D2XX), for the frame's end byte as
// event character: each reply then goes to the host with its last byte, and a
// frame that does not end in ETX still comes through within the short timer.
//
// A bridge or driver that refuses leaves the link at its default latency: the
// link still works, only slower, and the log says so in one record.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/link/frame.h"

constexpr int kBridgeLatencyMs = 2;  // through D2XX: the shortest timer every FTDI bridge accepts
constexpr uint8_t kBridgeEventChar = kEtx;
// A Linux serial driver's low-latency setting runs the timer at 1 ms; a timer
// up to kBridgeLatencyMs is taken as low enough.
constexpr int kDriverLatencyMs = 1;

// The Diagnostics record for settings the bridge or driver refused, each given
// as "<setting>: <reason>" (e.g. "FT_SetLatencyTimer: status 4"). Empty when
// nothing was refused.
std::string LowLatencyRefusedText(const std::vector<std::string>& refusals);

// What a Linux serial driver offers for a lower latency, as the port sees it.
struct DriverLatency {
  // The device's latency_timer attribute (ms); nullopt when it has none.
  std::function<std::optional<int>()> readTimer;
  // Writes the attribute: empty on success, else the reason.
  std::function<std::string(int ms)> writeTimer;
  // Sets the serial low-latency flag: empty on success, else the reason;
  // nullopt when the device is no serial driver's at all (a pseudo-terminal),
  // which has no latency to lower.
  std::function<std::optional<std::string>()> setLowLatencyFlag;
};

// Lowers the driver's latency: through the attribute where it is writable,
// else through the low-latency flag (checked against the attribute when there
// is one). Returns the Diagnostics record when the latency stays high, empty
// when it is low or there is nothing to set.
std::string AskDriverForLowLatency(const DriverLatency& driver);
