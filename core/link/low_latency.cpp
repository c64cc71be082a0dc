#include "core/link/low_latency.h"

std::string LowLatencyRefusedText(const std::vector<std::string>& refusals) {
  if (refusals.empty()) return "";
  std::string text = "Low-latency setting refused (";
  for (size_t i = 0; i < refusals.size(); ++i) text += (i ? "; " : "") + refusals[i];
  return text + "): the link stays at the bridge's default latency";
}

std::string AskDriverForLowLatency(const DriverLatency& driver) {
  std::vector<std::string> refusals;
  const std::optional<int> timer = driver.readTimer();
  if (timer) {
    if (*timer <= kBridgeLatencyMs) return "";
    const std::string why = driver.writeTimer(kDriverLatencyMs);
    if (why.empty()) return "";
    refusals.push_back("latency_timer: " + why);
  }
  const std::optional<std::string> flag = driver.setLowLatencyFlag();
  if (!flag) return LowLatencyRefusedText(refusals);
  if (!flag->empty()) {
    refusals.push_back("low-latency flag: " + *flag);
    return LowLatencyRefusedText(refusals);
  }
  if (!timer) return "";
  // Some drivers take the flag and keep their timer.
  const std::optional<int> after = driver.readTimer();
  if (after && *after <= kBridgeLatencyMs) return "";
  refusals.push_back("low-latency flag: latency_timer stays at " + std::to_string(after.value_or(*timer)) + " ms");
  return LowLatencyRefusedText(refusals);
}
