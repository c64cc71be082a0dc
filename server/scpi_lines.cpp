#include "server/scpi_lines.h"

namespace scpi {

void LineSplitter::Feed(std::string_view bytes, std::vector<Line>* out) {
  while (!bytes.empty()) {
    const size_t end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    if (!overrun_) {
      if (partial_.size() + piece.size() > kMaxLine + (end != std::string_view::npos ? 1 : 0)) {
        overrun_ = true;
        partial_.clear();
        out->push_back({"", true});
      } else {
        partial_.append(piece);
      }
    }
    if (end == std::string_view::npos) break;
    bytes.remove_prefix(end + 1);
    if (!overrun_) {
      if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
      out->push_back({std::move(partial_), false});
    }
    partial_.clear();
    overrun_ = false;
  }
}

}  // namespace scpi
