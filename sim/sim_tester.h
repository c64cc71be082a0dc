// Model of one KT-40/KT-60 tester (or of another FTDI device that never answers)
// with the source behind it.
//
// Time is explicit: every call takes the simulated time in microseconds, and the
// model only moves forward. Bytes cross the serial line at 115200 baud 8N1
// (10 bits, 86.8 us per byte) in each direction: a request is handled when its
// last byte has arrived plus a small processing delay, and each byte of the
// answer has crossed the line into the FTDI bridge, which hands it to the host
// by its own rules (see sim_bridge.h).
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "sim/sim_bridge.h"
#include "sim/sim_frame.h"
#include "sim/sim_record.h"
#include "sim/sim_source.h"
#include "sim/sim_types.h"

namespace sim {

constexpr int kBaudRate = 115200;
// Time at which the n-th byte (1-based) of a burst that starts at `start` has
// crossed the line: start + ceil(n x 10 bits / 115200 baud).
SimTime ByteDoneAt(SimTime start, size_t n);
// What a measurement reading would be, for tests and the DLL's diagnostics.
struct Measurement {
  uint8_t temperatureC = 0;
  uint16_t vbusMv = 0;
  uint16_t setpointMa = 0;
  uint16_t currentMa = 0;
  uint16_t loopbackMa = 0;
};

class TesterModel {
 public:
  // `recorder` may be null. `seed` drives the deterministic noise.
  TesterModel(const DeviceSetup& setup, FrameRecorder* recorder, uint64_t seed = 1);

  const DeviceSetup& Setup() const { return setup_; }
  const std::string& Serial() const { return setup_.serial; }
  bool IsTester() const { return setup_.isTester; }

  // --- host side of the serial line -----------------------------------------
  // Puts bytes on the line at time t (after any bytes still being sent); returns
  // the time at which the last of them has crossed. Bytes written while the
  // device is unplugged are lost.
  SimTime HostWrite(const uint8_t* bytes, size_t count, SimTime t);
  SimTime HostWrite(const Bytes& bytes, SimTime t) { return HostWrite(bytes.data(), bytes.size(), t); }
  // Reads up to `max` bytes that the bridge has handed to the host by time t.
  size_t HostRead(uint8_t* out, size_t max, SimTime t);
  Bytes HostReadAll(SimTime t);
  // Bytes readable at time t.
  size_t HostAvailable(SimTime t);
  // While the host has the device closed, what the tester sends is lost (it is
  // still recorded). Opening also clears the host's receive buffer and starts
  // the bridge afresh: latency timer at the setup's value, no event character.
  void SetHostOpen(bool open, SimTime t);
  bool HostOpen() const { return hostOpen_; }
  // The host's line settings; bytes sent with other settings than 115200 8N1
  // arrive garbled and the tester rejects them.
  void SetHostLine(uint32_t baud, int dataBits, int stopBits, int parity);
  // The bridge's latency timer (1..255 ms) and event character, as the host
  // sets them. False when the value is out of range or a `nolatency` /
  // `nochars` fault makes the bridge refuse; the setting then stays as it was.
  bool SetLatencyTimer(int ms, SimTime t);
  int LatencyTimer() const { return bridge_.Latency(); }
  // The latency timer the bridge starts with whenever the device is opened
  // (1..255 ms; the setup's `latencyMs`).
  void SetOpenLatency(int ms) { setup_.latencyMs = ms; }
  bool SetEventChar(uint8_t c, bool enabled, SimTime t);
  const UsbBridge& Bridge() const { return bridge_; }

  // --- time -----------------------------------------------------------------
  void Advance(SimTime t);
  SimTime Now() const { return now_; }
  // The next moment after Now() at which something happens on its own: a byte
  // arrives at either end, a reply is due, a profile switch completes, ...
  SimTime NextEventTime() const;

  // --- the USB side -----------------------------------------------------------
  void Unplug(SimTime t);
  void Plug(SimTime t);
  bool Plugged() const { return plugged_; }
  // An unplug fault fired: the world should unplug the device at this time.
  std::optional<SimTime> TakeUnplugRequest();
  // A failopen fault: true (and one count used) when this open must fail.
  bool ConsumeFailOpen();

  // --- the source -------------------------------------------------------------
  // Connects the charger (the one given, or the one the tester had) and sends
  // 0x20. False when there is no charger at all. Given another charger while
  // one is attached, it works as SwapCharger.
  bool Attach(SimTime t, const ChargerSetup* charger = nullptr);
  // Disconnects the source and sends 0x21.
  void Detach(SimTime t);
  // Another charger is plugged in instead: 0x21 (when one was attached), then
  // after `replugMs` the new one attaches with 0x20.
  void SwapCharger(const ChargerSetup& charger, SimTime t, int replugMs = 300);
  // The attached source advertises new capabilities (its own again, or those of
  // `charger`) and restarts at its start profile; sends 0x23.
  bool ChangeCapabilities(SimTime t, const ChargerSetup* charger = nullptr);
  // The source moves on its own to object position `position` (0: the next one)
  // at `mv` (0: 5 V or the entry's voltage); sends 0x22.
  bool SourceNewProfile(SimTime t, int position = 0, uint16_t mv = 0);

  // --- scenario knobs -----------------------------------------------------------
  void AddFault(const FaultRule& rule) { faults_.push_back(rule); }
  void ClearFaults() { faults_.clear(); }
  void SetRipple(double mv, double hz) { setup_.rippleMv = mv; setup_.rippleHz = hz; }
  void SetNoise(double mv, double ma) { setup_.noiseMv = mv; setup_.noiseMa = ma; }
  void SetCable(SimTime t, int mohm);
  void SetLoopbackLoad(SimTime t, uint16_t ma);
  void SetAmbient(SimTime t, double c);

  // --- state, for tests -----------------------------------------------------------
  bool Attached() const { return attached_; }
  bool SourceTripped() const { return tripped_; }
  bool HasCharger() const { return source_ != nullptr; }
  const PowerSource* Source() const { return source_.get(); }
  uint16_t AppliedLoadMa() const { return appliedLoadMa_; }
  const StoredSettings& Settings() const { return settings_; }
  const CalibrationRecord& Calibration(int channel) const { return calibration_[channel & 1]; }
  // The reading a GetMeasurements would give at time t (advances the model).
  Measurement Measure(SimTime t);
  // The limit that SetLoadCurrent is clamped to with the present settings.
  uint16_t LoadLimitMa() const;

 private:
  enum class EventType { Command, Send, ProfileDone, Trip, Restart, Reattach, SelfUnplug };
  struct Event {
    SimTime at;
    uint64_t seq;
    EventType type;
    Bytes bytes;
    int a = 0;
    int b = 0;
    std::shared_ptr<ChargerSetup> charger;
  };
  struct Timed {
    uint8_t byte;
    SimTime at;
  };
  bool ConsumeFault(FaultKind kind);

  void Schedule(Event e);
  void HandleEvent(const Event& e);
  void ReceiveByte(uint8_t byte, SimTime t);
  void HandleCommand(const Bytes& frame, SimTime t);
  void Reply(uint8_t command, const Bytes& body, SimTime t);
  void SendBytes(const Bytes& bytes, SimTime t);
  void SendNotice(uint8_t code, SimTime t);
  void Note(SimTime t, const std::string& text);

  void DoUnplug(SimTime t);
  bool DoAttach(SimTime t);
  Measurement ReadMeasurement(SimTime t);
  Bytes PortStatusBody() const;
  Bytes MeasurementBody(SimTime t);
  bool ApplyProfileRequest(int position, uint16_t mv, SimTime t, bool fromSource);
  void ApplyLoad(uint16_t requestedMa, SimTime t);
  void LoadChanged(SimTime t);
  void DisconnectSource(SimTime t, const char* why);
  double ContractMvAt(SimTime t) const;
  double SourceLoadMa() const;
  double TesterVbusMv(SimTime t) const;
  void UpdateThermal(SimTime t);
  double Noise(double amplitude);
  uint16_t ReportedRatedMa() const;

  DeviceSetup setup_;
  FrameRecorder* recorder_;
  uint64_t noiseState_;
  SimTime now_ = 0;
  uint64_t nextSeq_ = 0;

  // line
  bool plugged_ = true;
  bool hostOpen_ = true;
  bool lineOk_ = true;
  SimTime hostLineFreeAt_ = 0;    // host to tester
  SimTime testerLineFreeAt_ = 0;  // tester to host
  std::deque<Timed> inbound_;     // bytes on their way to the tester
  UsbBridge bridge_;               // bytes on their way to (or waiting for) the host
  FrameReceiver receiver_;
  std::deque<Event> events_;      // sorted by (at, seq)
  SimTime answersFrom_ = 0;       // a reply held back (late, in halves): later requests wait until then
  std::optional<SimTime> unplugRequest_;

  // tester
  StoredSettings settings_;
  CalibrationRecord calibration_[2];
  std::vector<FaultRule> faults_;
  uint16_t appliedLoadMa_ = 0;
  bool overTemperature_ = false;

  // source
  std::unique_ptr<PowerSource> source_;
  bool attached_ = false;
  bool tripped_ = false;
  int tripToken_ = 0;
  bool tripPending_ = false;
  int switchToken_ = 0;
  bool switching_ = false;      // a profile request was accepted, not yet done
  uint16_t switchFromMv_ = 0;   // contract voltage before the switch
  SimTime switchStart_ = 0;
  SimTime switchEnd_ = 0;

  // thermal
  double temperatureC_ = 25.0;
  SimTime thermalAt_ = 0;
};

}  // namespace sim
