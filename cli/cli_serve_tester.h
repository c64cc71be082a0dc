// One tester of `serve`: the instrument's ServedTester over the command
// line's session with it (its own core, state and claim), run on the
// tester's own thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "cli/cli_core_session.h"
#include "server/served_tester.h"

class SessionTester : public ServedTester {
 public:
  // Opens and claims the tester at `place` and lets its core read the source
  // (if one is attached) and take the enforced limits. 0 when connected,
  // else the exit code (the reason printed).
  int Open(const CliOptions& options, const TesterPlace& place);
  std::string Name() { return session_.Tester().Name(); }

  // Lets the core follow the source and count capacity between commands:
  // a pass when one is due.
  void Idle();
  // Called again and again while a ripple capture or sweep runs.
  void SetRunTick(std::function<void()> tick) { runTick_ = std::move(tick); }
  // Ends a run under way (from the run tick).
  void StopRun();

  TesterIdentity Identity() override;
  uint8_t HardwareRevision() override;
  std::optional<Reading> Measure() override;
  bool SourceAttached() override;
  uint16_t RatedMa() override;
  std::string SetLoad(uint16_t ma) override;
  std::string SetLimits(uint32_t mode, uint16_t forcedIndex) override;
  PdoList Profiles() override;
  int ActiveRow() override;
  uint16_t ProfileMv() override;
  std::string SelectRow(int row) override;
  std::string SetVoltage(long long mv) override;
  double CapacityMah() override;
  double CapacityMwh() override;
  void ResetCapacity() override;
  RippleCapture Ripple(double seconds, std::string* problem) override;
  SweepRecord Sweep(uint16_t currentStepMa, uint16_t timeStepMs, std::string* problem) override;
  std::string SafeEnd() override;

 private:
  TesterState& S() { return session_.Tester().state; }
  // Between commands the core runs its quick passes, as during a real-time graph.
  void QuickPasses();

  CoreSession session_;
  std::function<void()> runTick_;
  int64_t lastPassUs_ = 0;
  bool limitsRelaxed_ = false;  // other limits than enforced were written since the last safe end
};
