#include "core/base/log_view.h"

int LogView::RowsFor(int clientHeight, int rowHeight) {
  if (rowHeight <= 0) return 0;
  const int rows = (clientHeight - 24) / rowHeight;
  return rows > 0 ? rows : 0;
}

LogScrollBar LogView::UpdateRange(int32_t count, int64_t dropped) {
  const int extra = count - visibleRows;
  if (topIndex == maxTop) {
    topIndex = extra;
  } else if (dropped > droppedSeen) {
    // Records left the ring in front of the view: it moves up with its records.
    const int64_t top = topIndex - (dropped - droppedSeen);
    topIndex = top > 0 ? static_cast<int>(top) : 0;
  }
  droppedSeen = dropped;
  if (topIndex > extra) topIndex = extra;
  maxTop = extra;
  LogScrollBar bar;
  if (extra > 0) {
    bar.visible = true;
    bar.rangeMax = maxTop + 4;
    bar.page = 5;
    bar.position = topIndex;
  } else {
    maxTop = 0;
    topIndex = 0;
  }
  return bar;
}

void LogView::Scroll(LogScroll request, int thumb) {
  switch (request) {
    case LogScroll::LineUp:
      if (topIndex > 0) --topIndex;
      break;
    case LogScroll::LineDown:
      if (topIndex < maxTop) ++topIndex;
      break;
    case LogScroll::PageUp:
      topIndex = topIndex <= 5 ? 0 : topIndex - 5;
      break;
    case LogScroll::PageDown:
      topIndex = topIndex >= maxTop - 5 ? maxTop : topIndex + 5;
      break;
    case LogScroll::ThumbTrack:
      topIndex = thumb > maxTop ? maxTop : thumb;
      break;
    case LogScroll::Top:
      topIndex = 0;
      break;
    case LogScroll::Bottom:
      topIndex = maxTop;
      break;
    case LogScroll::Other:
      break;
  }
  if (topIndex < 0) topIndex = 0;
}
