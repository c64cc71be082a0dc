// Plain descriptions shared by the parts of the simulated tester: chargers and
// their profiles, the devices on the USB bus, the faults that can be injected and
// the tester's stored settings. The scenario parser fills them; the models are
// built from them.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace sim {

// Simulated time in microseconds since the start of the simulated world.
using SimTime = int64_t;
constexpr SimTime kNever = std::numeric_limits<SimTime>::max();

using Bytes = std::vector<uint8_t>;

// The tester's own ceiling for the load it draws.
constexpr uint16_t kTesterMaxLoadMa = 5100;

// One profile (capability entry) that a source offers.
struct SourceProfile {
  int kind = 5;     // 0 legacy, 1 proprietary, 2 Battery Charging, 3 Quick Charge, 4 Type-C, 5 USB PD
  int subKind = 0;  // e.g. kind 5: 0 fixed, 1 battery, 2 variable, 3 programmable
  uint16_t minMv = 5000;
  uint16_t maxMv = 5000;
  uint16_t maxMa = 3000;
  // Faults of this profile alone (a charger whose one output stage is weak):
  int resistanceMohm = 0;  // added to the charger's output resistance while supplied
  double rippleMv = 0.0;   // amplitude of a sine on VBUS while supplied
  double rippleHz = 0.0;
};

// A charger (or any USB port) that can sit behind the tester.
struct ChargerSetup {
  std::string name;
  std::vector<SourceProfile> profiles;  // at most 7
  int resistanceMohm = 30;              // output resistance of the source itself
  int foldbackMohm = 1000;              // extra droop per mA above the rating
  int tripPercent = 130;                // 0: never shuts down
  int tripMs = 500;                     // how long the overload must last
  int restartMs = 0;                    // 0: stays off until attached again
  int activeIndex = 0;                  // entry active after attach (0-based)
  uint16_t startMv = 5000;              // voltage of a programmable entry after attach
};

enum class FaultKind {
  Drop,       // the reply is not sent
  Late,       // the reply is sent param ms late (default 600)
  WrongCmd,   // the reply carries another command byte (param, default cmd ^ 1)
  Noise,      // bytes (default FF 55 AA) are sent before the reply
  BadEtx,     // the reply's last byte is param (default 0x04) instead of 0x03
  BadLen,     // the reply's LEN byte is param (default 0x85)
  BadSum,     // the reply's checksum byte is wrong
  Gap,        // the reply is sent in two halves param ms apart (default 20)
  Duplicate,  // the reply is sent twice
  Unplug,     // half the reply is sent, then the tester is unplugged
  FailOpen,   // opening the device fails (not tied to a command)
  RefuseLatency,  // the bridge refuses a latency timer setting (not tied to a command)
  RefuseChars,    // the bridge refuses an event character setting (not tied to a command)
};

constexpr int kAnyCommand = -1;
constexpr int kAlways = -1;

struct FaultRule {
  FaultKind kind = FaultKind::Drop;
  int command = kAnyCommand;  // command code the rule applies to, or kAnyCommand
  int remaining = 1;          // replies (or opens) still to spoil; kAlways = no end
  int param = -1;             // depends on the kind; -1 = the kind's default
  Bytes bytes;                // Noise: the bytes to send
};

// The load-limit settings that the tester keeps in its own memory.
struct StoredSettings {
  uint8_t loopbackEnabled = 0;        // sub-index 0
  uint8_t limitMode = 0;              // sub-index 1: 0 enforce, 1 allow over limit, 2 forced ceiling
  uint16_t maxLoadCurrentMa = 0;      // sub-index 1 with mode 2
  uint16_t standardPortLimitMa = 500; // sub-index 2
  uint8_t estimateUpstream = 0;       // sub-index 3
  uint16_t cableResistanceMohm = 80;  // sub-index 4
};

// One calibration channel as the tester stores it (0 VBUS in mV, 1 current in mA).
struct CalibrationRecord {
  uint8_t isCalibrated = 0;
  uint8_t yearByte = 0;  // year - 2020, as sent by the host
  uint8_t month = 0;
  int16_t refPoint1 = 0;
  int16_t testerPoint1 = 0;
  int16_t refPoint2 = 0;
  int16_t testerPoint2 = 0;
};

// A device on the USB bus behind an FTDI bridge: a tester, or some other FTDI
// device that never answers.
struct DeviceSetup {
  std::string serial;
  std::string description;
  bool isTester = true;
  uint8_t hardwareRevision = 20;  // x10: 10 = KT-40, 20 = KT-60
  uint8_t firmwareVersion = 30;   // x10
  bool plugged = true;
  bool hasCharger = false;
  ChargerSetup charger;
  bool attached = true;  // the charger is connected at start
  int cableMohm = 80;    // cable between source and tester
  double rippleMv = 0.0; // amplitude of a sine on VBUS
  double rippleHz = 0.0;
  double noiseMv = 0.0;  // amplitude of deterministic noise on the readings
  double noiseMa = 0.0;
  double ambientC = 25.0;
  uint16_t loopbackMa = 0;  // drawn through the loopback port while it is enabled
  double gain[2] = {1.0, 1.0};  // raw reading = true value x gain + offset
  double offset[2] = {0.0, 0.0};
  StoredSettings settings;
  CalibrationRecord calibration[2];
  std::vector<FaultRule> faults;
  int replyDelayUs = 200;   // processing time between a request's last byte and its reply
  int profileDelayMs = 200; // from an accepted profile request to the new-profile notice
  int latencyMs = 16;       // the bridge's latency timer whenever the device is opened (1..255)
};

}  // namespace sim
