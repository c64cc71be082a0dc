// The event log ring, its text rules and the log window's scroll arithmetic.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/base/log_event.h"
#include "core/base/log_view.h"
#include "core/base/logger.h"

namespace {

std::wstring Record(const Logger& log, int32_t index, int32_t* category = nullptr) {
  wchar_t text[kLogTextChars];
  int32_t cat = -1;
  if (!log.GetRecord(index, text, &cat, nullptr)) return L"<none>";
  if (category) *category = cat;
  return text;
}

class LoggerTest : public ::testing::Test {
 protected:
  std::unique_ptr<Logger> log = std::make_unique<Logger>();
};

TEST_F(LoggerTest, RingKeepsTheNewest100000Records) {
  wchar_t text[32];
  for (int i = 0; i < 100001; ++i) {
    std::swprintf(text, 32, L"record %d", i);
    log->AddRecord(text, LogInformation);
  }
  EXPECT_EQ(log->RecordCount(), 100000);
  // The first one added is gone; negative indexes count from the newest.
  EXPECT_EQ((std::vector<std::wstring>{Record(*log, 0), Record(*log, 99999), Record(*log, -1), Record(*log, -100000)}),
            (std::vector<std::wstring>{L"record 1", L"record 100000", L"record 100000", L"record 1"}));
  // Indexes beyond the ring give no text and category 0.
  int32_t category = 7;
  wchar_t out[kLogTextChars];
  EXPECT_FALSE(log->GetRecord(100001, out, &category, nullptr));
  EXPECT_EQ(category, 0);
  EXPECT_FALSE(log->GetRecord(-100001, out, &category, nullptr));
  // Wrapping further keeps the count and the order.
  for (int i = 0; i < 250; ++i) log->AddRecord(L"more", LogDiagnostics);
  EXPECT_EQ(log->RecordCount(), 100000);
  EXPECT_EQ(Record(*log, 0), L"record 251");
}

TEST_F(LoggerTest, ControlCharactersBecomeBlanksAndBlanksCollapseOnlyForErrorsAndDiagnostics) {
  log->AddRecord(L"line\r\nbreak\tand   three", LogInformation);
  log->AddRecord(L"line\r\nbreak\tand   three", LogError);
  log->AddRecord(L"a   b", LogDiagnostics);
  log->AddRecord(L"a   b", LogPass);
  EXPECT_EQ((std::vector<std::wstring>{Record(*log, 0), Record(*log, 1), Record(*log, 2), Record(*log, 3)}),
            (std::vector<std::wstring>{L"line  break and   three", L"line break and three", L"a b", L"a   b"}));
}

TEST_F(LoggerTest, LongTextsAreCutEmptySlotsHaveNoTextAndCategoriesStay) {
  std::wstring longText(400, L'x');
  log->AddRecord(longText.c_str(), LogInformation);
  EXPECT_EQ(Record(*log, 0).size(), 299u);
  EXPECT_EQ(Record(*log, 1), L"<none>");  // never written
  log->Clear();
  EXPECT_EQ(log->RecordCount(), 0);
  EXPECT_EQ(Record(*log, 0), L"<none>");
  // Categories keep their values; unknown ones are written as errors.
  int32_t category = -1;
  log->AddRecord(L"odd", 42);
  EXPECT_EQ(Record(*log, 0, &category), L"odd");
  EXPECT_EQ(category, 42);
  std::string labels;
  for (int32_t c : {42, -1, 0, 8}) labels += LogCategoryLabel(c) + std::string("|");
  EXPECT_EQ(labels, "ERROR      |ERROR      |Information|PASS       |");
  EXPECT_EQ(LogCategoryColour(42), 0xFFFFFFu);
  EXPECT_EQ(LogCategoryColour(3), 0x4040FFu);  // RGB 255, 64, 64 as 0x00BBGGRR
}

TEST_F(LoggerTest, ConcurrentAddsLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kEach = 5000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      wchar_t text[32];
      for (int i = 0; i < kEach; ++i) {
        std::swprintf(text, 32, L"t%d-%d", t, i);
        log->AddRecord(text, t);
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_EQ(log->RecordCount(), kThreads * kEach);
  // Every record is whole and each thread's records keep their order.
  std::vector<int> next(kThreads, 0);
  for (int i = 0; i < kThreads * kEach; ++i) {
    int32_t category = -1;
    const std::wstring text = Record(*log, i, &category);
    ASSERT_GE(category, 0);
    ASSERT_LT(category, kThreads);
    wchar_t expected[32];
    std::swprintf(expected, 32, L"t%d-%d", category, next[category]++);
    ASSERT_EQ(text, expected);
  }
}

TEST(LogEvent, FormatsIntoTheProcessLogAndNotifiesTheWindow) {
  Logger log;
  eventLog = &log;
  static int notified = 0;
  notified = 0;
  SetLogChangedHook([] { ++notified; });
  LogEventInt(L"Device %d selected", 7, LogInformation);
  LogEventText(L"%ls added to list", L"VXPD0001", LogInformation);
  EXPECT_EQ(notified, 2);
  EXPECT_EQ((std::vector<std::wstring>{Record(log, 0), Record(log, 1)}),
            (std::vector<std::wstring>{L"Device 7 selected", L"VXPD0001 added to list"}));
  SetLogChangedHook(nullptr);
  eventLog = nullptr;
  LogEvent(L"nowhere", 0);  // no log: nothing happens
}

// The rows come from the stored rectangle, so the banner row is drawn at once.
TEST(LogView, TheFirstRecordIsInViewWhenRowsAreKnownBeforePainting) {
  // (265 - 24) / 14; none in a window shorter than the banner, or for rows of no height.
  // A window with room for one row shows one.
  EXPECT_EQ((std::vector<int>{LogView::RowsFor(265, 14), LogView::RowsFor(20, 14), LogView::RowsFor(100, 0),
                              LogView::RowsFor(38, 14)}),
            (std::vector<int>{17, 0, 0, 1}));
  LogView view;
  view.visibleRows = LogView::RowsFor(265, 14);
  EXPECT_FALSE(view.UpdateRange(1).visible);
  EXPECT_EQ(view.topIndex, 0);
}

TEST(LogView, AViewScrolledUpStaysUntilTheUserScrollsToTheEnd) {
  LogView view;
  view.visibleRows = 10;
  LogScrollBar bar = view.UpdateRange(25);
  EXPECT_TRUE(bar.visible);
  // At the bottom, following the newest; range 0 .. maxTop + 4 with a page of 5.
  EXPECT_EQ((std::vector<int>{view.topIndex, bar.rangeMax, bar.page}), (std::vector<int>{15, 19, 5}));
  view.Scroll(LogScroll::LineUp, 0);
  bar = view.UpdateRange(26);
  EXPECT_EQ((std::vector<int>{view.topIndex, bar.position}), (std::vector<int>{14, 14}));  // new records do not move it
  // Past 65,535 records the thumb lands where it was dragged.
  view.UpdateRange(100000);
  view.Scroll(LogScroll::ThumbTrack, 80000);
  EXPECT_EQ(view.topIndex, 80000);
  // With the ring full the oldest records go: the view moves up with its own.
  view.UpdateRange(100000, 7);
  EXPECT_EQ(view.topIndex, 79993);
  view.UpdateRange(100000, 80010);  // more went than were above it: the oldest is at the top
  EXPECT_EQ(view.topIndex, 0);
  // Scrolled to the end, it follows the newest again.
  view.Scroll(LogScroll::Bottom, 0);
  view.UpdateRange(100000, 80005);
  EXPECT_EQ(view.topIndex, 99990);
}

TEST(LogView, ScrollRequests) {
  LogView view;
  view.visibleRows = 10;
  view.UpdateRange(60);  // maxTop 50
  const struct {
    int from;  // -1: where the last step left it
    LogScroll scroll;
    int position, top;
  } steps[] = {
      {3, LogScroll::PageUp, 0, 0},         {-1, LogScroll::LineUp, 0, 0},      {48, LogScroll::PageDown, 0, 50},
      {-1, LogScroll::LineDown, 0, 50},     {20, LogScroll::PageDown, 0, 25},   {-1, LogScroll::PageUp, 0, 20},
      {-1, LogScroll::PageDown, 0, 25},     {-1, LogScroll::ThumbTrack, 7, 7},
      {-1, LogScroll::ThumbTrack, 500, 50},  // never past the last row
      {-1, LogScroll::Other, 0, 50},        {-1, LogScroll::Top, 0, 0},         {-1, LogScroll::Bottom, 0, 50},
  };
  for (const auto& s : steps) {
    if (s.from >= 0) view.topIndex = s.from;
    view.Scroll(s.scroll, s.position);
    EXPECT_EQ(view.topIndex, s.top) << static_cast<int>(s.scroll) << " from " << s.from;
  }
  // Fewer records than rows: the bar hides and the view resets.
  LogScrollBar bar = view.UpdateRange(4);
  EXPECT_FALSE(bar.visible);
  EXPECT_EQ((std::vector<int>{view.topIndex, view.maxTop}), (std::vector<int>{0, 0}));
}

}  // namespace
