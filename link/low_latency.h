// What the program asks of the USB-serial bridge when it opens a tester. The
// bridge holds received bytes until its buffer fills, its latency timer runs
// out (16 ms by default) or the event character arrives; a reply of 8 to 30
// bytes would wait for the timer every time. So the program asks for a short
// timer and for the frame's end byte as event character: each reply then goes
// to the host with its last byte, and a frame that does not end in ETX still
// comes through within the short timer.
//
// A bridge or driver that refuses leaves the link at its default latency: the
// link still works, only slower, and the log says so in one record.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/frame.h"

constexpr int kBridgeLatencyMs = 2;  // the shortest timer every FTDI bridge accepts
constexpr uint8_t kBridgeEventChar = kEtx;

// The Diagnostics record for settings the bridge or driver refused, each given
// as "<setting>: <reason>" (e.g. "FT_SetLatencyTimer: status 4"). Empty when
// nothing was refused.
std::string LowLatencyRefusedText(const std::vector<std::string>& refusals);
