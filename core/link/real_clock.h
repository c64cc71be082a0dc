// The wall clock for the monitor core: steady time, and sleeps that Stop ends
// at once (a window closing, a command line's Ctrl-C).
#pragma once

#include <condition_variable>
#include <mutex>

#include "core/link/tester_port.h"

class RealClock : public MonitorClock {
 public:
  int64_t NowUs() override;
  bool Sleep(uint32_t ms) override;
  void Stop() override;
  void Restart() override;
  bool Stopped() const override;

 private:
  mutable std::mutex lock_;
  std::condition_variable wake_;
  bool stopped_ = false;
};
