// The values typed into the Set Voltage and Set Load edits, checked before they
// become requests. A refused value changes no request, so a pending one (from
// a slider, say) is still sent as it was.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Set Voltage: the whole typed number when it lies within the active entry's
// bounds [minMv, maxMv], else nothing ("Please enter a number between %d-%d").
std::optional<uint16_t> TypedVoltageMv(std::wstring_view text, uint16_t minMv, uint16_t maxMv);

// Set Load: the whole typed number; a negative one counts as 0 mA. The edit is
// not bounded by the load ceiling, but a number above kMaxTypedLoadMa is refused
// (nothing), as it is beyond any tester.
constexpr uint16_t kMaxTypedLoadMa = 9999;
std::optional<uint16_t> TypedLoadMa(std::wstring_view text);
