// Row and scroll arithmetic of the log window, kept apart from the painting so
// that it can be checked without a window.
#pragma once

#include <cstdint>

constexpr int kLogHeaderHeight = 25;  // header band, rows start below it

enum class LogScroll { LineUp, LineDown, PageUp, PageDown, ThumbTrack, Top, Bottom, Other };

struct LogScrollBar {
  bool visible = false;
  int rangeMax = 0;  // range is 0..rangeMax
  int page = 5;
  int position = 0;
};

struct LogView {
  int rowHeight = 14;
  int visibleRows = 0;
  int topIndex = 0;
  int maxTop = 0;
  int64_t droppedSeen = 0;  // the log's dropped count at the last update

  // Rows that fit a record area of the given client height (below the header).
  static int RowsFor(int clientHeight, int rowHeight);

  // Recomputes maxTop for `count` records, `dropped` of which have left the
  // full ring so far (Logger::DroppedCount). A view at the bottom follows the
  // newest records; a view the user scrolled up keeps showing the same records
  // (while they are still in the ring) until the user scrolls to the end.
  // Returns what the scroll bar should show.
  LogScrollBar UpdateRange(int32_t count, int64_t dropped = 0);

  // Applies one scroll request; `thumb` is the scroll bar's 32-bit tracking
  // position for a thumb-track request.
  void Scroll(LogScroll request, int thumb);
};
