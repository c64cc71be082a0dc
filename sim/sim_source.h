// The source behind the tester: a charger or USB port with its profiles, the
// profile it currently supplies, and how its output voltage sags under load.
#pragma once

#include <string>

#include "core/link/pdo.h"
#include "sim/sim_types.h"

namespace sim {

// Profile type names used in scenarios ("fixed", "pps", "qc3", "dcp", ...), with
// their kind and sub-kind.
struct ProfileTypeInfo {
  const char* name;
  int kind;
  int subKind;
  bool hasRange;         // written as min-max
  uint16_t defaultMa;    // rating when none is given
};
const ProfileTypeInfo* FindProfileType(const std::string& name);
const ProfileTypeInfo* ProfileTypeOf(int kind, int subKind);
// Quick Charge entries and PD programmable entries take a voltage request.
bool IsProgrammable(const SourceProfile& p);

class PowerSource {
 public:
  explicit PowerSource(const ChargerSetup& setup);

  const ChargerSetup& Setup() const { return setup_; }
  int ProfileCount() const { return static_cast<int>(setup_.profiles.size()); }
  const SourceProfile& Profile(int index) const { return setup_.profiles[index]; }

  int ActiveIndex() const { return activeIndex_; }
  uint16_t ActiveMv() const { return activeMv_; }
  const SourceProfile& Active() const { return setup_.profiles[activeIndex_]; }

  // Works out what a request for object position `position` (1-based) at
  // `requestMv` would give. Fixed entries ignore the voltage; programmable ones
  // clamp it into their range and round it to their step (PPS 20 mV, QC3
  // 200 mV, QC2 the nearest of 5/9/12/20 V). False for an unknown position.
  bool Resolve(int position, uint16_t requestMv, int* index, uint16_t* mv) const;
  void SetActive(int index, uint16_t mv);
  // Back to the profile the charger starts with after an attach.
  void ResetToStart();

  // The capability list as the tester reports it; object positions are 1..n.
  PdoList Capabilities() const;

  // Voltage at the source's own output (mV) while `loadMa` flows, supplying
  // `contractMv`: the output resistance (the charger's and the active
  // profile's), and a steeper droop above the rating.
  double OutputMv(double contractMv, double loadMa) const;
  // The load above which the source shuts down (after Setup().tripMs); 0 = never.
  double TripThresholdMa() const;

 private:
  ChargerSetup setup_;
  int activeIndex_ = 0;
  uint16_t activeMv_ = 5000;
};

}  // namespace sim
