#include "core/config/whole_number.h"

namespace {

template <typename Char>
WholeNumber Read(std::basic_string_view<Char> text) {
  WholeNumber n;
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  constexpr int64_t kLimit = INT64_MAX / 10;
  bool saturated = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    n.found = true;
    const int digit = static_cast<int>(text[i] - '0');
    if (saturated || n.value > kLimit || (n.value == kLimit && digit > INT64_MAX % 10)) {
      saturated = true;
    } else {
      n.value = n.value * 10 + digit;
    }
  }
  if (saturated) n.value = INT64_MAX;
  if (negative) n.value = -n.value;
  n.rest = n.found ? i : 0;
  return n;
}

}  // namespace

WholeNumber ReadWholeNumber(std::wstring_view text) { return Read(text); }
WholeNumber ReadWholeNumber(std::string_view text) { return Read(text); }
