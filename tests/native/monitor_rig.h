// The monitor core against the simulated tester in simulated time, for the
// native tests: a scenario's first tester, its link (also the clock), the
// tester's own state, a view that remembers what it was told, and the event log.
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
  explicit Monitor(const std::string& scenario, bool connect = true)
      : model(Device(scenario), nullptr), link(model), core(state, link, link, view) {
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

  sim::TesterModel model;
  sim::SimLink link;
  SeenView view;
  TesterState state;
  MonitorCore core;
};

constexpr const char* kPd65 = "tester VXPD0001 kt60\n  charger pd65\nend\n";

}  // namespace rig
