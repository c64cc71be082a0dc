#include "core/link/reading_feed.h"

#include <chrono>

void ReadingFeed::Publish(const Reading& r) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ring_[r.seq % kKept] = r;
    newest_ = r.seq;
    counts_.seq = r.seq;
  }
  changed_.notify_all();
}

void ReadingFeed::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++counts_.stops;
  }
  changed_.notify_all();
}

void ReadingFeed::Detached() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++counts_.detaches;
  }
  changed_.notify_all();
}

void ReadingFeed::LinkLost() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    ++counts_.losses;
  }
  changed_.notify_all();
}

FeedMark ReadingFeed::Mark() const {
  std::lock_guard<std::mutex> hold(lock_);
  return counts_;
}

uint32_t ReadingFeed::NextSeq() const {
  std::lock_guard<std::mutex> hold(lock_);
  return newest_ + 1;
}

FeedEvent ReadingFeed::CheckLocked(const FeedMark& mark, Reading* out, bool readingsToo) const {
  if (counts_.stops != mark.stops) return FeedEvent::Stop;
  if (counts_.losses != mark.losses) return FeedEvent::LinkLost;
  if (counts_.detaches != mark.detaches) return FeedEvent::Detached;
  if (!readingsToo || newest_ <= mark.seq) return FeedEvent::None;
  // The oldest reading after mark.seq that the ring still holds.
  uint32_t seq = mark.seq + 1;
  if (newest_ - seq >= static_cast<uint32_t>(kKept)) seq = newest_ - kKept + 1;
  if (out) *out = ring_[seq % kKept];
  return FeedEvent::Reading;
}

FeedEvent ReadingFeed::Check(const FeedMark& mark, Reading* out) const {
  std::lock_guard<std::mutex> hold(lock_);
  return CheckLocked(mark, out, true);
}

FeedEvent ReadingFeed::Take(FeedMark* mark, Reading* out, bool readingsToo) const {
  Reading r;
  std::lock_guard<std::mutex> hold(lock_);
  const FeedEvent e = CheckLocked(*mark, &r, readingsToo);
  if (e == FeedEvent::Reading) {
    mark->seq = r.seq;
    if (out) *out = r;
  }
  return e;
}

FeedEvent ReadingFeed::Wait(const FeedMark& mark, uint32_t ms, Reading* out, bool readingsToo) {
  std::unique_lock<std::mutex> hold(lock_);
  FeedEvent e = FeedEvent::None;
  changed_.wait_for(hold, std::chrono::milliseconds(ms),
                    [&] { return (e = CheckLocked(mark, out, readingsToo)) != FeedEvent::None; });
  return e;
}

std::optional<Reading> ReadingFeed::Latest() const {
  std::lock_guard<std::mutex> hold(lock_);
  if (newest_ == 0) return std::nullopt;
  return ring_[newest_ % kKept];
}
