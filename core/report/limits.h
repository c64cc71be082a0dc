// A lab's own acceptance limits, read from a JSON limits file: rules judged
// on every run of a report (or of sweep and ripple) whose profile they
// select, and profiles the source must offer. Checked whole before any
// tester is touched: a malformed file, an unknown field or a rule that can
// never apply is refused with its line. The format is in docs/user-guide.md.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/link/pdo.h"

// Which profiles a rule applies to: a kind ("PD-FIX", "PD-APDO", ... as the
// profile list names them, or "PD" / "QC" for any of those), and the voltage
// requested of it, exactly or within a range. Empty: every run.
struct ProfileSelector {
  std::string kindText;  // as written, for messages; empty: any kind
  int kind = -1;         // -1: any
  int subKind = -1;      // -1: any of the kind
  uint16_t fromMv = 0;   // requested voltage within [fromMv, toMv]
  uint16_t toMv = 0xFFFF;

  bool MatchesKind(const PdoEntry& e) const {
    return (kind < 0 || e.Kind() == kind) && (subKind < 0 || e.SubKind() == subKind);
  }
  bool Matches(const PdoEntry& e, uint16_t requestedMv) const {
    return MatchesKind(e) && requestedMv >= fromMv && requestedMv <= toMv;
  }
};

enum class RuleField : uint8_t {
  MaxRipple,       // maxRippleMv: ripple of the capture, mV
  MinVbus,         // minVbusVolts: VBUS at atMa, or at the rated current
  MaxNoLoad,       // maxNoLoadVolts: highest VBUS at no load
  Tolerance,       // tolerancePercent: every VBUS up to upToMa within this much of the requested voltage
  MaxTemperature,  // maxTemperatureC: the tester's temperature during the run
};
const char* RuleFieldName(RuleField f);  // "maxRippleMv", ...

struct LimitRule {
  std::string name;
  int line = 0;  // where it starts in the file
  ProfileSelector profile;
  RuleField field = RuleField::MaxRipple;
  double limit = 0.0;    // mV for ripple and voltages, percent, degrees C
  uint16_t atMa = 0;     // MinVbus at this load
  bool atRated = false;  // MinVbus at the run's rated current instead
  uint16_t upToMa = 0;   // Tolerance: loads judged, 0 = no load only
};

// A profile the source must offer: an entry of the kind that supplies
// `volts` (a fixed one at that voltage, a range that holds it), reaches
// `reachesMv`, and gives at least `minMa`.
struct OfferRule {
  std::string name;
  int line = 0;
  ProfileSelector profile;  // kind only
  uint16_t mv = 0;          // 0: any
  uint16_t reachesMv = 0;   // 0: any
  uint16_t minMa = 0;       // 0: any
};

struct LimitsFile {
  std::string path;  // as given, for messages
  std::vector<LimitRule> rules;
  std::vector<OfferRule> offered;
};

// Reads a limits file's text. False with `error` as "<name>:<line>: ..."
// naming the field at fault.
bool ParseLimits(const std::string& text, const std::string& name, LimitsFile* out, std::string* error);
// Reads and parses the file at `path` (UTF-8).
bool LoadLimitsFile(const std::string& path, LimitsFile* out, std::string* error);
