#include "core/base/stop_signal.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

struct StopSignal {
  std::mutex lock;
  std::condition_variable raised;
  bool stop = false;
};

StopSignal& Signal() {
  static StopSignal signal;
  return signal;
}

}  // namespace

void RequestStop() {
  StopSignal& s = Signal();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    s.stop = true;
  }
  s.raised.notify_all();
}

bool StopRequested() {
  StopSignal& s = Signal();
  std::lock_guard<std::mutex> guard(s.lock);
  return s.stop;
}

bool PauseUnlessStopped(uint32_t ms) {
  StopSignal& s = Signal();
  std::unique_lock<std::mutex> guard(s.lock);
  return !s.raised.wait_for(guard, std::chrono::milliseconds(ms), [&s] { return s.stop; });
}
