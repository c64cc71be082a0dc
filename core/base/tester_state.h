// The state of one tester: what it reports (`live`), what the program asks of
// it (`requests`), the settings it runs with (`config`), the flags of its graph
// test (`graph`) and its capability list. The monitor core, the graph runs and
// every other portable step take the state they work on; each tester has its
// own, so two testers in one process never share a value.
//
// The threads working on one tester (the window's user interface, its monitor
// loop, its graph test and the link's notice callback) share its state without
// a lock: every value is a single aligned value of at most 8 bytes, written in
// one store and read without a lock. A request stores its value first and
// raises its flag after it; only the monitor loop clears a flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/link/pdo.h"

enum CurrentLimitMode : uint32_t {
  EnforceLimits = 0,
  AllowOverLimit = 1,
  ForceLimit = 2,
};

enum GraphMode : uint32_t {
  Sweep = 0,
  RealTime = 1,
};

// Plain relaxed atomics: the program relies only on single stores and loads
// being whole; the atomics keep the compiler from caching or tearing them.
template <typename T>
using Shared = std::atomic<T>;

struct LiveState {
  Shared<uint8_t> testerConnected{0};
  Shared<uint8_t> portReady{0};
  Shared<uint32_t> capabilitiesLogged{0};
  Shared<uint8_t> activePdoIndex{0};
  Shared<uint32_t> profileKind{0};
  Shared<uint8_t> profileSubKind{0};
  Shared<uint16_t> profileVoltageMv{0};
  Shared<uint16_t> ratedCurrentMa{0};
  Shared<float> vbusVolts{0.0f};
  Shared<uint16_t> measuredCurrentMa{0};
  Shared<uint16_t> loopbackCurrentMa{0};
  Shared<uint8_t> temperatureC{0};
  // The load set-point the tester last reported applying.
  Shared<uint16_t> loadSetpointMa{0};
  Shared<double> capacityMah{0.0};
  Shared<double> capacityMwh{0.0};
  // Raised each time a tester is connected, so the monitor loop can tell a new
  // connection (and write the program's settings to it once).
  Shared<uint32_t> connectionCount{0};
};

// Requests kept apart from the values the tester reports, so that a poll never
// overwrites a user's request before the monitor loop has sent it.
struct Requests {
  Shared<uint32_t> configPending{0};
  Shared<uint32_t> loadRequestPending{1};  // the first ready pass sends 0 mA
  Shared<uint32_t> profileRequestPending{0};
  Shared<uint32_t> voltageRequestPending{0};
  Shared<uint16_t> requestedLoadMa{0};
  Shared<uint16_t> requestedVoltageMv{0};
  Shared<uint8_t> requestedProfileRow{0};
};

struct TestConfiguration {
  Shared<uint16_t> currentStepMa{25};
  Shared<uint16_t> timeStepMs{500};
  Shared<uint32_t> limitMode{EnforceLimits};
  Shared<uint16_t> forcedLimitIndex{0};
  Shared<uint16_t> maxLoadCurrentMa{0};
  Shared<uint16_t> standardPortLimitMa{500};
  Shared<uint32_t> loopbackEnabled{0};
  Shared<uint32_t> estimateUpstream{0};
  Shared<uint16_t> cableResistanceMohm{80};
  Shared<uint8_t> logIntervalSec{0};
};

struct GraphFlags {
  Shared<uint32_t> graphMode{RealTime};
  Shared<uint8_t> testStopped{1};
  Shared<uint8_t> testFinished{0};
  // A capture runs (the real-time graph, a ripple capture, a watch at full
  // pace): the monitor keeps a second measurement request on the wire.
  Shared<uint8_t> capturing{0};
};

class TesterState {
 public:
  LiveState live;
  Requests requests;
  TestConfiguration config;
  GraphFlags graph;

  // The capability list is 58 bytes and is read by several threads; it is
  // guarded by a small lock so a reader never sees half of a new list.
  PdoList GetPdoList() const;
  void SetPdoList(const PdoList& list);

  // Sets config.maxLoadCurrentMa from limitMode, live.ratedCurrentMa and
  // forcedLimitIndex: the rated current, 1.2 times it, or (index + 2) x 500 mA,
  // never above 5100 mA.
  void RecomputeMaxLoadCurrent();

 private:
  mutable std::mutex pdoLock_;
  PdoList pdoList_;
};

// Pure form of the rule of RecomputeMaxLoadCurrent, for callers that hold their
// own values.
uint16_t ComputeMaxLoadCurrent(uint32_t limitMode, uint16_t ratedCurrentMa,
                               uint16_t forcedLimitIndex, uint16_t previous);
