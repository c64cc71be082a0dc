// The tester as an SCPI instrument: the command set over a ServedTester, for
// one client connection at a time. It holds what belongs to the connection
// (the error queue, the status registers, the risk acceptance, the watchdog)
// and the instrument's settings (load level, input state, limits, sweep steps).
// Every command is carried out before the next is read; a long one (a profile
// change, a ripple capture, a sweep) is done when *OPC? answers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "server/scpi_errors.h"
#include "server/scpi_parser.h"
#include "server/served_tester.h"

class Instrument {
 public:
  explicit Instrument(ServedTester& tester);

  // Carries out one program message (a line without its terminator). Returns
  // the response message, the replies of its queries joined by ';', or an
  // empty string when it holds no query that answered.
  std::string Execute(std::string_view message);
  // A message longer than the line cap was dropped.
  void Overrun();

  // Seconds without a message after which the watchdog ends a load; 0: off.
  double WatchdogSeconds() const { return watchdogS_; }
  // The client has said nothing for WatchdogSeconds: with the input on, the
  // safe end, the input off and an error entry. True when it ended a load.
  bool WatchdogExpired();
  // The client has gone: the safe end. Empty when done, else what failed.
  std::string End();

  bool InputOn() const { return inputOn_; }
  uint16_t LevelMa() const { return levelMa_; }

  // The table the parser reads (for tests and the fuzz target).
  static std::span<const scpi::Command> Commands();

 private:
  using Reply = std::string;
  struct Handler;
  static const Handler* Table(size_t* count);

  void Error(int code, std::string_view detail = {});
  bool ParamCount(const scpi::Unit& u, size_t least, size_t most);
  uint16_t CeilingMa();
  std::string CeilingText();
  void CheckSource();

  // The handlers, one per command of the table; a query's reply goes into *reply.
  void Identify(const scpi::Unit&, Reply*);
  void Reset(const scpi::Unit&, Reply*);
  void ClearStatus(const scpi::Unit&, Reply*);
  void OperationComplete(const scpi::Unit&, Reply*);
  void EventStatus(const scpi::Unit&, Reply*);
  void EventEnable(const scpi::Unit&, Reply*);
  void ServiceEnable(const scpi::Unit&, Reply*);
  void StatusByte(const scpi::Unit&, Reply*);
  void Wait(const scpi::Unit&, Reply*);
  void NextError(const scpi::Unit&, Reply*);
  void ErrorCount(const scpi::Unit&, Reply*);
  void Version(const scpi::Unit&, Reply*);
  void Watchdog(const scpi::Unit&, Reply*);
  void MeasureVoltage(const scpi::Unit&, Reply*);
  void MeasureCurrent(const scpi::Unit&, Reply*);
  void MeasurePower(const scpi::Unit&, Reply*);
  void MeasureTemperature(const scpi::Unit&, Reply*);
  void MeasureAll(const scpi::Unit&, Reply*);
  void Level(const scpi::Unit&, Reply*);
  void LimitMode(const scpi::Unit&, Reply*);
  void LimitLevel(const scpi::Unit&, Reply*);
  void AcceptRisk(const scpi::Unit&, Reply*);
  void Input(const scpi::Unit&, Reply*);
  void ProfileCount(const scpi::Unit&, Reply*);
  void Profile(const scpi::Unit&, Reply*);
  void SelectProfile(const scpi::Unit&, Reply*);
  void ProfileVoltage(const scpi::Unit&, Reply*);
  void Capacity(const scpi::Unit&, Reply*);
  void ResetCapacity(const scpi::Unit&, Reply*);
  void Ripple(const scpi::Unit&, Reply*);
  void RippleResult(const scpi::Unit&, Reply*);
  void Sweep(const scpi::Unit&, Reply*);
  void SweepResult(const scpi::Unit&, Reply*);
  void SweepCurrentStep(const scpi::Unit&, Reply*);
  void SweepTimeStep(const scpi::Unit&, Reply*);
  // A fresh reading, or an error entry (the reply then reads as not-a-number).
  std::optional<Reading> Fresh(Reply* reply);

  ServedTester& tester_;
  scpi::Parser parser_;
  scpi::ErrorQueue errors_;
  uint8_t eventStatus_ = 0;
  uint8_t eventEnable_ = 0;
  uint8_t serviceEnable_ = 0;
  double watchdogS_ = 0;

  bool inputOn_ = false;
  uint16_t levelMa_ = 0;
  uint32_t limitMode_ = 0;        // CurrentLimitMode
  uint16_t forcedIndex_ = 0;      // ForceLimit's ceiling: (index + 2) x 500 mA
  bool riskAccepted_ = false;     // CURRent:LIMit:ACCept on this connection
  uint16_t sweepStepMa_ = 25;     // the window's defaults
  uint16_t sweepStepMs_ = 500;
  std::optional<RippleCapture> ripple_;
  std::optional<SweepRecord> sweep_;
};
