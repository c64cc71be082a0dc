#include "core/link/real_clock.h"

#include <chrono>

int64_t RealClock::NowUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool RealClock::Sleep(uint32_t ms) {
  std::unique_lock<std::mutex> hold(lock_);
  return !wake_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return stopped_; });
}

void RealClock::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopped_ = true;
  }
  wake_.notify_all();
}

void RealClock::Restart() {
  std::lock_guard<std::mutex> hold(lock_);
  stopped_ = false;
}

bool RealClock::Stopped() const {
  std::lock_guard<std::mutex> hold(lock_);
  return stopped_;
}
