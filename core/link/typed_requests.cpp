#include "core/link/typed_requests.h"

#include "core/config/whole_number.h"

std::optional<uint16_t> TypedVoltageMv(std::wstring_view text, uint16_t minMv, uint16_t maxMv) {
  return NumberInRange<uint16_t>(ReadWholeNumber(text).value, minMv, maxMv);
}

std::optional<uint16_t> TypedLoadMa(std::wstring_view text) {
  const int64_t value = ReadWholeNumber(text).value;
  return NumberInRange<uint16_t>(value < 0 ? 0 : value, 0, kMaxTypedLoadMa);
}
