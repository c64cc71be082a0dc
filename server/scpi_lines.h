// Cuts what a client sends into program messages: a message ends at '\n' (a
// '\r' just before it is dropped). A message longer than kMaxLine is not kept:
// its bytes up to the next '\n' are dropped and it is reported once, as an
// overrun, so that no input can make the buffer grow without end.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace scpi {

struct Line {
  std::string text;  // without its terminator; empty for an overrun
  bool overrun = false;
};

class LineSplitter {
 public:
  static constexpr size_t kMaxLine = 4096;

  // Appends `bytes`; every message completed by them goes to `out`.
  void Feed(std::string_view bytes, std::vector<Line>* out);
  // Bytes of an incomplete message kept so far.
  size_t Pending() const { return partial_.size(); }

 private:
  std::string partial_;
  bool overrun_ = false;  // dropping until the next '\n'
};

}  // namespace scpi
