#include "core/graphs/run_link.h"

#include "core/base/tester_state.h"

void RequestLoadFromMonitor(TesterState& state, uint16_t currentMa) {
  state.requests.requestedLoadMa = currentMa;
  state.requests.loadRequestPending = 1;
}

FeedEvent ThreadedRunLink::Hold(uint32_t ms) {
  const int64_t until = clock_.NowUs() + static_cast<int64_t>(ms) * 1000;
  for (;;) {
    const int64_t left = until - clock_.NowUs();
    if (left <= 0) return FeedEvent::None;
    const FeedEvent e = feed_.Wait(mark_, static_cast<uint32_t>((left + 999) / 1000), nullptr, false);
    if (e != FeedEvent::None) return e;
  }
}

FeedEvent ThreadedRunLink::NextReading(uint32_t ms, Reading* out) {
  const FeedEvent e = feed_.Wait(mark_, ms, out, true);
  if (e == FeedEvent::Reading) mark_.seq = out->seq;
  return e;
}

FeedEvent SyncRunLink::PassUntil(int64_t untilUs, Reading* out, bool readingsToo) {
  MonitorClock& clock = core_.Clock();
  for (;;) {
    const FeedEvent e = core_.Feed().Take(&mark_, out, readingsToo);
    if (e != FeedEvent::None) return e;
    if (clock.Stopped()) return FeedEvent::Stop;
    if (clock.NowUs() >= untilUs) return FeedEvent::None;
    core_.Pass();
  }
}

FeedEvent SyncRunLink::Hold(uint32_t ms) {
  return PassUntil(core_.Clock().NowUs() + static_cast<int64_t>(ms) * 1000, nullptr, false);
}

FeedEvent SyncRunLink::NextReading(uint32_t ms, Reading* out) {
  return PassUntil(core_.Clock().NowUs() + static_cast<int64_t>(ms) * 1000, out, true);
}
