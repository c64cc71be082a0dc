// What the instrument needs of the tester it serves: the per-tester core's
// readings, load, limits, profiles, capacity and the graph window's ripple and
// sweep runs, and the safe end. The command line's server implements it over
// its session with the tester; tests give a fake.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/link/pdo.h"
#include "core/link/reading_feed.h"
#include "core/report/report_model.h"

struct TesterIdentity {
  std::string maker = "Trevane";
  std::string model;     // "KT-60"
  std::string serial;    // "VXPD0001"; empty when not known
  std::string firmware;  // "3.0"
};

// Every call returning a string returns an empty one on success, else why not
// in the program's own words.
class ServedTester {
 public:
  virtual ~ServedTester() = default;

  virtual TesterIdentity Identity() = 0;
  virtual uint8_t HardwareRevision() = 0;

  // A reading taken now; nothing when the tester did not answer.
  virtual std::optional<Reading> Measure() = 0;
  virtual bool SourceAttached() = 0;
  virtual uint16_t RatedMa() = 0;

  // The load, sent now. 0 mA is sent with or without a source.
  virtual std::string SetLoad(uint16_t ma) = 0;
  // Limit mode (CurrentLimitMode) and, for ForceLimit, the ceiling's index
  // ((index + 2) x 500 mA), written to the tester and confirmed.
  virtual std::string SetLimits(uint32_t mode, uint16_t forcedIndex) = 0;

  virtual PdoList Profiles() = 0;
  virtual int ActiveRow() = 0;
  virtual uint16_t ProfileMv() = 0;
  // Asks for a row (the window's rules) and waits until the source supplies it.
  virtual std::string SelectRow(int row) = 0;
  // Asks for a voltage on the active programmable profile and waits for it.
  virtual std::string SetVoltage(long long mv) = 0;

  virtual double CapacityMah() = 0;
  virtual double CapacityMwh() = 0;
  virtual void ResetCapacity() = 0;

  // The graph window's runs on the tester's core, the load left as it is
  // (ripple) or stepped from 0 mA to the ceiling of the limits set and back
  // to 0 mA (sweep). `problem` gets why a run ended early.
  virtual RippleCapture Ripple(double seconds, std::string* problem) = 0;
  virtual SweepRecord Sweep(uint16_t currentStepMa, uint16_t timeStepMs, std::string* problem) = 0;

  // Load 0 mA and enforced limits, sent directly and confirmed.
  virtual std::string SafeEnd() = 0;
};
