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

  // Rows that fit a record area of the given client height (below the header).
  static int RowsFor(int clientHeight, int rowHeight);

  // Recomputes maxTop for `count` records; a view at the bottom follows the
  // newest records. Returns what the scroll bar should show.
  LogScrollBar UpdateRange(int32_t count);

  // Applies one scroll request; `thumb` is the 16-bit position carried by a
  // thumb-track message.
  void Scroll(LogScroll request, int thumb);

  // After an add: the newest records come into view.
  void ShowNewest() { topIndex = maxTop; }
};
