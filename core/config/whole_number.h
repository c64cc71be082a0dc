// Whole numbers typed by the user (an edit of the window, an argument of the
// command line): every digit counts, and a number is checked against its range
// before it is narrowed to the type that carries it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

struct WholeNumber {
  int64_t value = 0;   // 0 when no digit was found; held within the int64 range
  bool found = false;  // at least one digit
  size_t rest = 0;     // index of the first character after the number
};

// The number at the start of `text`: blanks are skipped, then an optional sign
// and all the decimal digits that follow ("12abc" reads 12, "abc" reads 0).
WholeNumber ReadWholeNumber(std::wstring_view text);
WholeNumber ReadWholeNumber(std::string_view text);

// `value` as a T when lo <= value <= hi, else nothing.
template <typename T>
std::optional<T> NumberInRange(int64_t value, T lo, T hi) {
  if (value < static_cast<int64_t>(lo) || value > static_cast<int64_t>(hi)) return std::nullopt;
  return static_cast<T>(value);
}
