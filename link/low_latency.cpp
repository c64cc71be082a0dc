#include "link/low_latency.h"

std::string LowLatencyRefusedText(const std::vector<std::string>& refusals) {
  if (refusals.empty()) return "";
  std::string text = "Low-latency setting refused (";
  for (size_t i = 0; i < refusals.size(); ++i) text += (i ? "; " : "") + refusals[i];
  return text + "): the link stays at the bridge's default latency";
}
