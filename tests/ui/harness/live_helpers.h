// Helpers for tests of the live tester: frames as the simulated tester records
// them, and numbers read back from the statistics boxes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace ui {

// "02 03 10 E8 03 F9 03" for command 0x10 with data E8 03.
std::string FrameHex(uint8_t command, std::initializer_list<uint8_t> data = {});
// Little-endian bytes of a 16-bit value.
inline uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }
inline uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
// The leading number of a statistics text such as "4.98 V" or "1000 mA"; NaN
// when the text does not start with one.
double LeadingNumber(const std::wstring& text);

}  // namespace ui
