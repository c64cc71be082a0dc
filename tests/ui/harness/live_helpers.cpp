#include "tests/ui/harness/live_helpers.h"

#include <cmath>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "link/frame.h"

namespace ui {

std::string FrameHex(uint8_t command, std::initializer_list<uint8_t> data) {
  std::vector<uint8_t> bytes(data);
  uint8_t frame[64];
  const size_t n = BuildFrame(command, bytes.data(), bytes.size(), frame, sizeof(frame));
  std::string hex;
  char part[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(part, sizeof(part), i ? " %02X" : "%02X", frame[i]);
    hex += part;
  }
  return hex;
}

double LeadingNumber(const std::wstring& text) {
  wchar_t* end = nullptr;
  const double value = std::wcstod(text.c_str(), &end);
  return end == text.c_str() ? std::nan("") : value;
}

}  // namespace ui
