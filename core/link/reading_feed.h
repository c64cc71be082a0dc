// Readings as the monitor core takes them, and the feed through which a test
// (a sweep, the real-time graph, a command line's capture) follows them: each
// reading carries when it was taken, its sequence number and the load
// set-point the tester reported with it, so a test never has to guess whether
// a value is new or belongs to its load. The feed also carries the events that
// end a test: Stop, a source detach, a lost link.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

struct Reading {
  int64_t timeUs = 0;   // clock time at which the reply arrived
  uint32_t seq = 0;     // 1, 2, ... in the order taken; never reused by one feed (each core has its own)
  uint8_t temperatureC = 0;
  uint16_t vbusMv = 0;
  uint16_t setpointMa = 0;  // the load the tester reported applying
  uint16_t currentMa = 0;
  uint16_t loopbackMa = 0;
  float Volts() const { return static_cast<float>(vbusMv) / 1000.0f; }
};

enum class FeedEvent : uint8_t {
  None,      // nothing yet (Check), or the wait ran out (Wait)
  Reading,   // a newer reading
  Stop,      // the test was asked to stop
  Detached,  // the source went away
  LinkLost,  // the tester went away or stopped answering
};

// Where a follower stands: what it has seen.
struct FeedMark {
  uint32_t seq = 0;
  uint32_t stops = 0;
  uint32_t detaches = 0;
  uint32_t losses = 0;
};

// Thread-safe: the monitor publishes, any number of followers read.
class ReadingFeed {
 public:
  static constexpr int kKept = 256;

  void Publish(const Reading& r);
  void Stop();
  void Detached();
  void LinkLost();

  // The feed as it stands now (a run takes this at its start).
  FeedMark Mark() const;
  // An event after `mark` (Stop first, then LinkLost, then Detached), else the
  // oldest kept reading newer than mark.seq (Reading, into *out), else None.
  FeedEvent Check(const FeedMark& mark, Reading* out) const;
  // Check for a follower that moves on: a reading it takes advances mark->seq;
  // with readingsToo false only the events count.
  FeedEvent Take(FeedMark* mark, Reading* out, bool readingsToo) const;
  // The same, waiting up to `ms` of real time for something to happen. With
  // readingsToo false only the events end the wait.
  FeedEvent Wait(const FeedMark& mark, uint32_t ms, Reading* out, bool readingsToo = true);
  std::optional<Reading> Latest() const;
  // The next sequence number a reading gets.
  uint32_t NextSeq() const;

 private:
  FeedEvent CheckLocked(const FeedMark& mark, Reading* out, bool readingsToo) const;

  mutable std::mutex lock_;
  std::condition_variable changed_;
  Reading ring_[kKept];
  uint32_t newest_ = 0;  // seq of the newest reading, 0 = none yet
  FeedMark counts_;
};
