#include "sim/sim_link.h"

#include <chrono>
#include <string>
#include <vector>

#include "core/link/low_latency.h"
#include "core/base/log_event.h"
#include "core/base/logger.h"

namespace sim {

namespace {

int64_t WallUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

void SimLink::AskForLowLatency() {
  const int64_t t = link_.NowUs();
  std::vector<std::string> refusals;
  if (!tester_.SetLatencyTimer(kBridgeLatencyMs, t)) refusals.push_back("latency timer: refused by the bridge");
  if (!tester_.SetEventChar(kBridgeEventChar, true, t)) refusals.push_back("event character: refused by the bridge");
  const std::string text = LowLatencyRefusedText(refusals);
  if (text.empty()) return;
  const std::wstring wide(text.begin(), text.end());  // ASCII
  LogEvent(wide.c_str(), LogDiagnostics);
}

SimLink::SimLink(TesterModel& tester, Time time)
    : tester_(tester), time_(time), link_(Pipe(), [this](int n) {
        if (n >= 1 && n <= 4) notices_[n] = true;
      }, tester.Now()) {
  wallStartUs_ = WallUs() - tester.Now();
  channel_.exchange = [this](const uint8_t* frame, size_t length, uint8_t expected, ReplyBody& reply) {
    CatchUp();
    if (!IsOpen()) return ExchangeStatus::NotSent;
    return link_.Exchange(frame, length, expected, reply);
  };
  channel_.sleep = [this](uint32_t ms) { link_.Sleep(ms); };
  channel_.post = [this](const uint8_t* frame, size_t length) {
    CatchUp();
    return IsOpen() && link_.Post(frame, length);
  };
  channel_.collect = [this](uint8_t expected, ReplyBody& reply) {
    CatchUp();
    if (!IsOpen()) return ExchangeStatus::NotSent;
    return link_.Collect(expected, reply);
  };
  AskForLowLatency();
}

ClockedPipe SimLink::Pipe() {
  ClockedPipe p;
  p.write = [this](const uint8_t* b, size_t n, int64_t t) {
    if (loseCount_ != 0 && n > 3 && b[2] == loseCommand_) {
      if (loseCount_ > 0) --loseCount_;
      Bytes damaged(b, b + n);
      damaged[n - 2] ^= 0x5A;  // the checksum no longer fits
      return tester_.HostWrite(damaged, t);
    }
    return tester_.HostWrite(b, n, t);
  };
  p.read = [this](uint8_t* out, size_t max, int64_t t) { return tester_.HostRead(out, max, t); };
  p.nextChange = [this](int64_t t) {
    tester_.Advance(t);
    return tester_.NextEventTime();
  };
  if (time_ == Time::Real) p.waitUntil = [this](int64_t t) { WaitUntil(t); };
  return p;
}

void SimLink::WaitUntil(int64_t simUs) {
  std::unique_lock<std::mutex> hold(lock_);
  const int64_t left = wallStartUs_ + simUs - WallUs();
  if (left > 0) wake_.wait_for(hold, std::chrono::microseconds(left), [this] { return stopped_; });
}

void SimLink::CatchUp() {
  if (time_ == Time::Real) link_.AdvanceTo(WallUs() - wallStartUs_);
}

bool SimLink::IsOpen() const { return open_ && tester_.Plugged(); }

void SimLink::Close() {
  if (!open_) return;
  open_ = false;
  tester_.SetHostOpen(false, link_.NowUs());
}

void SimLink::Reopen() {
  open_ = true;
  tester_.SetHostOpen(true, link_.NowUs());
  AskForLowLatency();
  link_.receiver.Reset();
  link_.mailbox.Discard();
  link_.ForgetOwed();
  for (bool& n : notices_) n = false;
}

int SimLink::PendingNotice() {
  for (int n = 1; n <= 4; ++n) {
    if (notices_[n]) return n;
  }
  return 0;
}

void SimLink::ClearNotice(int n) {
  if (n >= 1 && n <= 4) notices_[n] = false;
}

int64_t SimLink::NowUs() {
  CatchUp();
  return link_.NowUs();
}

bool SimLink::Sleep(uint32_t ms) {
  if (Stopped()) return false;
  CatchUp();
  link_.Sleep(ms);
  return !Stopped();
}

void SimLink::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopped_ = true;
  }
  wake_.notify_all();
}

void SimLink::Restart() {
  std::lock_guard<std::mutex> hold(lock_);
  stopped_ = false;
}

bool SimLink::Stopped() const {
  std::lock_guard<std::mutex> hold(lock_);
  return stopped_;
}

}  // namespace sim
