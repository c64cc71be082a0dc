// The monitor core against the simulated tester in simulated time, for the native tests: a scenario's first tester, its
// link (also the clock), the tester's own state, a view that remembers what it was told, and the event log.
#pragma once

#include <gtest/gtest.h>

#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "core/link/monitor_core.h"
#include "core/base/log_event.h"
#include "core/base/logger.h"
#include "core/base/tester_state.h"
#include "sim/sim_link.h"
#include "sim/sim_record.h"
#include "sim/sim_scenario.h"

namespace rig {

struct SeenView : MonitorView {
  void SourceControls(bool attached) override { controls.push_back(attached); }
  void NoSource() override { ++noSource; }
  std::vector<bool> controls;
  int noSource = 0;
};

inline sim::DeviceSetup Device(const std::string& scenario) {
  sim::Scenario s;
  std::string error;
  EXPECT_TRUE(sim::ParseScenario(scenario, "test", &s, &error)) << error;
  return s.devices.empty() ? sim::DeviceSetup{} : s.devices[0];
}

inline Logger& Log() {
  static Logger* log = new Logger();
  eventLog = log;
  return *log;
}

struct Monitor {
  // `record` (when given) keeps the frames the model receives and sends.
  explicit Monitor(const std::string& scenario, bool connect = true, sim::FrameRecorder* record = nullptr)
      : model(Device(scenario), record), link(model), core(state, link, link, view) {
    Log().Clear();
    if (connect) {
      EXPECT_TRUE(core.Connect().ok);
      EXPECT_TRUE(PassUntil([this] { return state.live.portReady != 0; }));
    }
  }
  // Passes until `done` holds; false when `ms` of simulated time ran out first.
  bool PassUntil(const std::function<bool()>& done, int64_t ms = 10000) {
    const int64_t until = link.NowUs() + ms * 1000;
    while (!done()) {
      if (link.NowUs() >= until) return false;
      core.Pass();
    }
    return true;
  }
  void PassFor(int64_t ms) { PassUntil([] { return false; }, ms); }
  void Fault(const std::string& line) {
    sim::ControlCommand c;
    std::string error;
    ASSERT_TRUE(sim::ParseControlCommand(line, {}, &c, &error)) << error;
    model.AddFault(c.fault);
  }
  // How many records of one category (-1: all) hold `part`.
  int Count(const std::wstring& part, int category = -1) const {
    int n = 0;
    wchar_t text[kLogTextChars];
    int32_t cat = 0;
    for (int32_t i = 0; i < Log().RecordCount(); ++i) {
      if (!Log().GetRecord(i, text, &cat, nullptr) || (category >= 0 && cat != category)) continue;
      n += std::wcsstr(text, part.c_str()) != nullptr ? 1 : 0;
    }
    return n;
  }
  // Measurement replies the model sent whole (end byte and checksum right), in the order it sent them.
  static std::vector<Reading> GoodReplies(const sim::FrameRecorder& record) {
    std::vector<Reading> out;
    for (const std::string& hex : record.FramesOf(sim::RecordKind::Sent)) {
      sim::Bytes f;
      if (!sim::ParseHexBytes(hex, &f) || f.size() != 15 || f[2] != kCmdGetMeasurements || f.back() != 0x03) continue;
      uint8_t x = 0;
      for (uint8_t b : f) x ^= b;
      if (x != 0) continue;
      Reading r;
      r.temperatureC = f[4];
      r.vbusMv = static_cast<uint16_t>(f[5] | f[6] << 8);
      r.setpointMa = static_cast<uint16_t>(f[7] | f[8] << 8);
      r.currentMa = static_cast<uint16_t>(f[9] | f[10] << 8);
      r.loopbackMa = static_cast<uint16_t>(f[11] | f[12] << 8);
      out.push_back(r);
    }
    return out;
  }

  sim::TesterModel model;
  sim::SimLink link;
  SeenView view;
  TesterState state;
  MonitorCore core;
};

inline bool SameValues(const Reading& a, const Reading& b) {
  return a.temperatureC == b.temperatureC && a.vbusMv == b.vbusMv && a.setpointMa == b.setpointMa &&
         a.currentMa == b.currentMa && a.loopbackMa == b.loopbackMa;
}

// Whether `readings` are the values of `replies` in order, each reply taken at most once, with sequence numbers and
// times rising; *missing counts the replies passed over.
inline bool RepliesInOrder(const std::vector<Reading>& readings, const std::vector<Reading>& replies,
                           int* missing = nullptr) {
  size_t at = 0;
  int skipped = 0;
  for (size_t i = 0; i < readings.size(); ++i) {
    if (i > 0 && (readings[i].seq <= readings[i - 1].seq || readings[i].timeUs < readings[i - 1].timeUs)) return false;
    while (at < replies.size() && !SameValues(readings[i], replies[at])) ++at, ++skipped;
    if (at == replies.size()) return false;
    ++at;
  }
  if (missing) *missing = skipped;
  return true;
}

constexpr const char* kPd65 = "tester VXPD0001 kt60\n  charger pd65\nend\n";

}  // namespace rig
