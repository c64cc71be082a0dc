#include "core/graphs/direct_run_link.h"

#include "core/graphs/run_link.h"
#include "core/base/tester_state.h"

namespace {

// A hold sleeps in slices this long, receiving notices meanwhile.
constexpr uint32_t kHoldSliceMs = 20;
// A full pass may pause this long (the monitor's pause during a sweep), so a
// hold starts one only while more than this is left.
constexpr int64_t kPassRoomUs = 80000;

}  // namespace

void DirectRunLink::RequestLoad(uint16_t currentMa) {
  if (State().live.portReady && core_.SetLoad(currentMa).ok) return;
  RequestLoadFromMonitor(State(), currentMa);
}

FeedEvent DirectRunLink::Check(Reading* out, bool readingsToo) {
  FeedEvent e = core_.Feed().Take(&mark_, out, readingsToo);
  if (e == FeedEvent::None && core_.Clock().Stopped()) e = FeedEvent::Stop;
  return e;
}

bool DirectRunLink::PassDue() {
  return measureFailed_ || !port_.IsOpen() || port_.PendingNotice() != 0 || NowUs() - passedUs_ >= kPassEveryUs;
}

void DirectRunLink::FullPass() {
  core_.Pass();
  passedUs_ = NowUs();
  measureFailed_ = false;
}

FeedEvent DirectRunLink::Hold(uint32_t ms) {
  const int64_t until = NowUs() + static_cast<int64_t>(ms) * 1000;
  for (;;) {
    const FeedEvent e = Check(nullptr, false);
    if (e != FeedEvent::None) return e;
    const int64_t left = until - NowUs();
    if (left <= 0) return FeedEvent::None;
    if (PassDue() && (left > kPassRoomUs || !port_.IsOpen() || port_.PendingNotice() != 0)) {
      FullPass();
    } else {
      const int64_t sliceUs = left < static_cast<int64_t>(kHoldSliceMs) * 1000 ? left : kHoldSliceMs * 1000;
      core_.Clock().Sleep(static_cast<uint32_t>((sliceUs + 999) / 1000));
    }
  }
}

FeedEvent DirectRunLink::NextReading(uint32_t ms, Reading* out) {
  const int64_t until = NowUs() + static_cast<int64_t>(ms) * 1000;
  for (;;) {
    const FeedEvent e = Check(out, true);
    if (e != FeedEvent::None) return e;
    if (NowUs() >= until) return FeedEvent::None;
    if (PassDue()) {
      FullPass();
    } else {
      measureFailed_ = !core_.Measure();
    }
  }
}
