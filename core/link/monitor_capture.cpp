// The monitor's captures: measurement requests one behind the other.
//
// While a capture runs, kCaptureDepth measurement requests stay on the wire, so
// the line never idles while a reply comes back. The tester answers in order:
// the oldest reply owed answers the oldest request, and a reading is stamped
// when that reply arrives. A damaged or wrong reply costs its own reading (the
// next one is already on its way); when no reply comes in time, whatever is
// still on its way could answer either request, so the link drops it. Any other
// command first collects the replies still owed. kCaptureLossRun lost readings
// in a row end the pipelining for this connection, said once in a Diagnostics
// record. The environment variable LOADPOST_ONE_REQUEST_AT_A_TIME (any value)
// keeps every capture one request at a time, for comparisons.
#include "core/link/monitor_core.h"

#include <cstdlib>

#include "core/base/log_event.h"
#include "core/base/logger.h"
#include "core/base/tester_state.h"

bool MonitorCore::CanPipeline() {
  const CommandChannel& c = port_.Channel();
  if (inFlight_ > 0) return true;  // owed replies are collected first, whatever else changed
  static const bool asked = std::getenv("LOADPOST_ONE_REQUEST_AT_A_TIME") != nullptr;
  return state_.graph.capturing && !captureOneAtATime_ && !asked && c.post && c.collect;
}

std::optional<Reading> MonitorCore::MeasurePipelined() {
  const CommandChannel& c = port_.Channel();
  uint8_t frame[kMaxRequestFrame];
  const size_t n = EncodeSimpleRequest(kCmdGetMeasurements, frame);
  // Capturing still: the line is kept full. Otherwise the owed replies run out.
  const bool capturing = state_.graph.capturing && !captureOneAtATime_;
  while (capturing && inFlight_ < kCaptureDepth && c.post(frame, n)) ++inFlight_;
  if (inFlight_ == 0) {
    CountExchange(ExchangeStatus::NotSent);
    return std::nullopt;
  }
  return CollectReading();
}

std::optional<Reading> MonitorCore::CollectReading() {
  ReplyBody reply;
  const ExchangeStatus s = port_.Channel().collect(kCmdGetMeasurements, reply);
  // A time-out or a closed port leaves nothing owed.
  inFlight_ = (s == ExchangeStatus::NoReply || s == ExchangeStatus::NotSent) ? 0 : inFlight_ - 1;
  CountExchange(s);
  Measurements m;
  if (s == ExchangeStatus::Ok && DecodeMeasurements(reply, &m)) {
    captureLosses_ = 0;
    return Publish(m);
  }
  if (s != ExchangeStatus::NotSent && !captureOneAtATime_ && ++captureLosses_ >= kCaptureLossRun) {
    captureOneAtATime_ = true;
    LogEvent(kCaptureOneAtATimeText, LogDiagnostics);
  }
  return std::nullopt;
}

void MonitorCore::DrainCapture() {
  while (inFlight_ > 0) CollectReading();
}
