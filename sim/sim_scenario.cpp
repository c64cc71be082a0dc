#include "sim/sim_scenario.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sim/sim_frame.h"
#include "sim/sim_source.h"

namespace sim {

namespace {

const char kFaultKinds[] = "drop, late, wrongcmd, noise, badetx, badlen, badsum, gap, duplicate, unplug, failopen, nolatency, nochars";

const char kBuiltInChargers[] = R"(
charger pd65
  fixed 5V 3A
  fixed 9V 3A
  fixed 15V 3A
  fixed 20V 3.25A
  pps 3.3-21V 3A
end
charger pd20
  fixed 5V 3A
  fixed 9V 2.22A
  fixed 12V 1.67A
  resistance 50
end
charger pd100
  fixed 5V 3A
  fixed 9V 3A
  fixed 15V 3A
  fixed 20V 5A
  pps 3.3-21V 5A
end
charger pdall
  fixed 5V 3A
  fixed 9V 3A
  fixed 20V 3.25A
  battery 5-20V 2A
  variable 5-15V 2A
  pps 3.3-11V 5A
  pps 3.3-21V 3A
end
charger qc2
  qc2 5-12V 2A
  resistance 60
end
charger qc3
  qc2 5-12V 3A
  qc3 3.6-12V 3A
  active 2
  resistance 60
end
charger sdp
  sdp 5V 500mA
  resistance 250
end
charger cdp
  cdp 5V 1.5A
  resistance 150
end
charger dcp
  dcp 5V 1.5A
  resistance 150
end
charger typec1.5
  typec1.5 5V 1.5A
end
charger typec3
  typec3 5V 3A
end
charger legacy
  legacy 5V 500mA
  resistance 300
end
charger pty
  pty 5V 2.4A
  resistance 100
end
)";

const char kDefaultScenario[] = R"(# One KT-60 tester with a 65 W USB Power Delivery charger attached at start.
charger usbpd65w
  fixed 5V 3A
  fixed 9V 3A
  fixed 15V 3A
  fixed 20V 3.25A
  pps 3.3-21V 3A
end

tester VXPD0001 kt60
  charger usbpd65w
end
)";

using Tokens = std::vector<std::string>;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

Tokens Tokenize(const std::string& rawLine) {
  std::string line = rawLine.substr(0, rawLine.find('#'));
  Tokens tokens;
  std::string current;
  for (char c : line) {
    if (c == ';') {
      if (!current.empty()) tokens.push_back(current);
      current.clear();
      tokens.push_back(";");
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      if (!current.empty()) tokens.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) tokens.push_back(current);
  return tokens;
}

// A plain decimal number: digits with at most one '.', optional sign.
bool ParseNumber(const std::string& text, double* value) {
  if (text.empty()) return false;
  size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  bool digits = false;
  bool dot = false;
  for (; i < text.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(text[i]))) {
      digits = true;
    } else if (text[i] == '.' && !dot) {
      dot = true;
    } else {
      return false;
    }
  }
  if (!digits) return false;
  *value = std::strtod(text.c_str(), nullptr);
  return true;
}

bool ParseInteger(const std::string& text, long* value) {
  double d = 0;
  if (text.find('.') != std::string::npos || !ParseNumber(text, &d)) return false;
  if (std::fabs(d) > 1e12) return false;
  *value = static_cast<long>(d);
  return true;
}

// Splits "3.25A" into 3.25 and "a" (lower case unit).
bool SplitUnit(const std::string& text, double* value, std::string* unit) {
  size_t end = text.size();
  while (end > 0 && std::isalpha(static_cast<unsigned char>(text[end - 1]))) --end;
  *unit = Lower(text.substr(end));
  return ParseNumber(text.substr(0, end), value);
}

// Parser state for one text; every helper returns false after setting error_.
class Parser {
 public:
  Parser(const std::string& origin, const std::vector<ChargerSetup>* extraChargers)
      : origin_(origin), extra_(extraChargers) {}

  bool Fail(int line, const std::string& message) {
    if (error_.empty()) error_ = origin_ + ":" + std::to_string(line) + ": " + message;
    return false;
  }
  bool Fail(const std::string& message) { return Fail(line_, message); }
  const std::string& Error() const { return error_; }
  void SetLine(int line) { line_ = line; }

  bool Voltage(const std::string& token, uint16_t* mv) {
    double v = 0;
    std::string unit;
    if (!SplitUnit(token, &v, &unit)) return Fail("'" + token + "' is not a voltage (write e.g. 5V or 5000mV)");
    if (unit == "v") {
      v *= 1000.0;
    } else if (unit == "mv" || (unit.empty() && token.find('.') == std::string::npos)) {
      // plain integers are mV
    } else {
      return Fail("'" + token + "' is not a voltage (write e.g. 5V or 5000mV)");
    }
    if (v < 3000.0 || v > 48000.0) return Fail("voltage " + token + " is outside 3 V..48 V (a current needs A or mA)");
    *mv = static_cast<uint16_t>(std::lround(v));
    return true;
  }

  bool VoltageRange(const std::string& token, uint16_t* minMv, uint16_t* maxMv) {
    const size_t dash = token.find('-', 1);
    if (dash == std::string::npos) {
      if (!Voltage(token, minMv)) return false;
      *maxMv = *minMv;
      return true;
    }
    std::string low = token.substr(0, dash);
    const std::string high = token.substr(dash + 1);
    // "3.3-21V": the unit of the upper bound also applies to the lower one.
    double dummy = 0;
    std::string unit;
    if (SplitUnit(high, &dummy, &unit) && !unit.empty() && ParseNumber(low, &dummy)) low += unit;
    if (!Voltage(low, minMv) || !Voltage(high, maxMv)) return false;
    if (*minMv > *maxMv) return Fail("voltage range " + token + " runs backwards");
    return true;
  }

  bool Current(const std::string& token, uint16_t* ma) {
    double v = 0;
    std::string unit;
    if (!SplitUnit(token, &v, &unit)) return Fail("'" + token + "' is not a current (write e.g. 3A or 3000mA)");
    if (unit == "a") {
      v *= 1000.0;
    } else if (!(unit == "ma" || (unit.empty() && token.find('.') == std::string::npos))) {
      return Fail("'" + token + "' is not a current (write e.g. 3A or 3000mA)");
    }
    if (v < 0.0 || v > 65535.0) return Fail("current " + token + " is outside 0..65535 mA");
    *ma = static_cast<uint16_t>(std::lround(v));
    return true;
  }

  // Durations in microseconds; a plain number is in `plainUnit` ("ms" or "us").
  bool Duration(const std::string& token, const std::string& plainUnit, SimTime* us) {
    double v = 0;
    std::string unit;
    if (!SplitUnit(token, &v, &unit) || v < 0) return Fail("'" + token + "' is not a time (write e.g. 500ms or 1.5s)");
    if (unit.empty()) unit = plainUnit;
    double factor = 0;
    if (unit == "us") factor = 1;
    else if (unit == "ms") factor = 1000;
    else if (unit == "s") factor = 1000000;
    else return Fail("'" + token + "' has an unknown time unit (use us, ms or s)");
    if (v * factor > 1e15) return Fail("time " + token + " is too long");
    *us = static_cast<SimTime>(std::llround(v * factor));
    return true;
  }

  bool Integer(const std::string& token, long low, long high, const std::string& what, long* value) {
    if (!ParseInteger(token, value)) return Fail("'" + token + "' is not a whole number (" + what + ")");
    if (*value < low || *value > high) {
      return Fail(what + " " + token + " is outside " + std::to_string(low) + ".." + std::to_string(high));
    }
    return true;
  }

  bool Real(const std::string& token, double low, double high, const std::string& what, double* value) {
    std::string unit;
    if (!SplitUnit(token, value, &unit)) return Fail("'" + token + "' is not a number (" + what + ")");
    if (*value < low || *value > high) return Fail(what + " " + token + " is out of range");
    return true;
  }

  bool Resistance(const std::string& token, int* mohm) {
    double v = 0;
    std::string unit;
    if (!SplitUnit(token, &v, &unit)) return Fail("'" + token + "' is not a resistance (write e.g. 80 or 80mohm)");
    if (unit == "ohm") v *= 1000.0;
    else if (!(unit.empty() || unit == "mohm")) return Fail("'" + token + "' is not a resistance (write e.g. 80mohm)");
    if (v < 0 || v > 100000) return Fail("resistance " + token + " is outside 0..100000 mohm");
    *mohm = static_cast<int>(std::lround(v));
    return true;
  }

  // Version bytes: "20" is the byte itself, "2.0" is a version number (x10).
  bool VersionByte(const std::string& token, uint8_t* value) {
    double v = 0;
    if (!ParseNumber(token, &v) || v < 0) return Fail("'" + token + "' is not a version (write e.g. 30 or 3.0)");
    if (token.find('.') != std::string::npos) v *= 10.0;
    if (v > 255.0) return Fail("version " + token + " does not fit one byte");
    *value = static_cast<uint8_t>(std::lround(v));
    return true;
  }

  bool Serial(const std::string& token) {
    if (token.empty() || token.size() > 63) return Fail("serial '" + token + "' must have 1 to 63 characters");
    for (char c : token) {
      if (c <= ' ' || c > '~' || c == '@' || c == ';') return Fail("serial '" + token + "' has a character that is not allowed");
    }
    return true;
  }

  // One line of a charger description: a profile or an option.
  bool ChargerLine(const Tokens& t, ChargerSetup* charger) {
    const std::string key = Lower(t[0]);
    if (const ProfileTypeInfo* type = FindProfileType(key)) {
      if (charger->profiles.size() >= 7) return Fail("a charger advertises at most 7 profiles");
      SourceProfile p;
      p.kind = type->kind;
      p.subKind = type->subKind;
      p.minMv = p.maxMv = 5000;
      p.maxMa = type->defaultMa;
      bool haveVoltage = false;
      bool haveCurrent = false;
      for (size_t i = 1; i < t.size(); ++i) {
        const std::string word = Lower(t[i]);
        if (word == "resistance") {
          if (i + 1 >= t.size()) return Fail("'resistance' of profile '" + t[0] + "' takes one resistance");
          if (!Resistance(t[++i], &p.resistanceMohm)) return false;
          continue;
        }
        if (word == "ripple") {
          if (i + 2 >= t.size()) return Fail("'ripple' of profile '" + t[0] + "' takes <mV> <Hz>");
          if (!Real(t[i + 1], 0, 5000, "ripple amplitude", &p.rippleMv) ||
              !Real(t[i + 2], 0, 1e6, "ripple frequency", &p.rippleHz)) {
            return false;
          }
          i += 2;
          continue;
        }
        double dummy = 0;
        std::string unit;
        SplitUnit(t[i].substr(t[i].find('-', 1) == std::string::npos ? 0 : t[i].find('-', 1) + 1), &dummy, &unit);
        const bool isCurrent = unit == "a" || unit == "ma" || (unit.empty() && haveVoltage);
        if (isCurrent) {
          if (haveCurrent) return Fail("profile '" + t[0] + "' has more than one current");
          if (!Current(t[i], &p.maxMa)) return false;
          haveCurrent = true;
        } else {
          if (haveVoltage) return Fail("profile '" + t[0] + "' has more than one voltage");
          if (!VoltageRange(t[i], &p.minMv, &p.maxMv)) return false;
          haveVoltage = true;
        }
      }
      if (!type->hasRange && p.minMv != p.maxMv) return Fail("profile '" + t[0] + "' takes one voltage, not a range");
      if (type->hasRange && !haveVoltage) return Fail("profile '" + t[0] + "' needs a voltage range, e.g. 3.3-21V");
      charger->profiles.push_back(p);
      return true;
    }
    if (key == "resistance" || key == "foldback") {
      if (t.size() != 2) return Fail("'" + key + "' takes one resistance");
      return Resistance(t[1], key == "resistance" ? &charger->resistanceMohm : &charger->foldbackMohm);
    }
    if (key == "trip") {
      if (t.size() == 2 && Lower(t[1]) == "off") {
        charger->tripPercent = 0;
        return true;
      }
      if (t.size() != 3) return Fail("'trip' takes a percentage and a time, or 'off'");
      long percent = 0;
      SimTime us = 0;
      if (!Integer(EndsWith(t[1], "%") ? t[1].substr(0, t[1].size() - 1) : t[1], 101, 1000, "trip percentage", &percent) ||
          !Duration(t[2], "ms", &us)) {
        return false;
      }
      charger->tripPercent = static_cast<int>(percent);
      charger->tripMs = static_cast<int>(us / 1000);
      return true;
    }
    if (key == "restart") {
      if (t.size() != 2) return Fail("'restart' takes a time or 'off'");
      if (Lower(t[1]) == "off") {
        charger->restartMs = 0;
        return true;
      }
      SimTime us = 0;
      if (!Duration(t[1], "ms", &us)) return false;
      charger->restartMs = static_cast<int>(std::max<SimTime>(1, us / 1000));
      return true;
    }
    if (key == "active") {
      long position = 0;
      if (t.size() != 2 || !Integer(t[1], 1, 7, "active position", &position)) {
        return Fail("'active' takes the object position (1..7) of the profile supplied after attach");
      }
      charger->activeIndex = static_cast<int>(position - 1);
      return true;
    }
    if (key == "start") {
      if (t.size() != 2) return Fail("'start' takes a voltage");
      return Voltage(t[1], &charger->startMv);
    }
    return Fail("unknown charger line '" + t[0] +
                "' (expected a profile type: fixed, battery, variable, pps, qc1, qc2, qc3, sdp, cdp, dcp, typec1.5, "
                "typec3, legacy, pty; or resistance, foldback, trip, restart, active, start)");
  }

  bool FinishCharger(ChargerSetup* charger, int line) {
    if (charger->profiles.empty()) return Fail(line, "charger '" + charger->name + "' has no profiles");
    if (charger->activeIndex >= static_cast<int>(charger->profiles.size())) {
      return Fail(line, "charger '" + charger->name + "': active position " + std::to_string(charger->activeIndex + 1) +
                            " is beyond its " + std::to_string(charger->profiles.size()) + " profiles");
    }
    return true;
  }

  const ChargerSetup* FindCharger(const std::string& name) const {
    if (extra_) {
      for (const ChargerSetup& c : *extra_) {
        if (c.name == name) return &c;
      }
    }
    for (const ChargerSetup& c : BuiltInChargers()) {
      if (c.name == name) return &c;
    }
    return nullptr;
  }

  // "name" or an inline description "fixed 5V 3A; pps 3.3-11V 3A; resistance 40".
  bool ChargerRef(const Tokens& t, size_t from, ChargerSetup* out) {
    if (from >= t.size()) return Fail("a charger name or description is missing");
    // A single word names a charger (several built-in chargers share their
    // names with profile types); failing that, it is a one-profile description.
    if (from + 1 == t.size()) {
      if (const ChargerSetup* c = FindCharger(t[from])) {
        *out = *c;
        return true;
      }
      if (!FindProfileType(Lower(t[from]))) {
        return Fail("unknown charger '" + t[from] + "' (built in: " + BuiltInNames() + ")");
      }
    }
    ChargerSetup c;
    c.name = "inline";
    Tokens part;
    for (size_t i = from; i <= t.size(); ++i) {
      if (i == t.size() || t[i] == ";") {
        if (!part.empty() && !ChargerLine(part, &c)) return false;
        part.clear();
      } else {
        part.push_back(t[i]);
      }
    }
    if (!FinishCharger(&c, line_)) return false;
    *out = c;
    return true;
  }

  static std::string BuiltInNames() {
    std::string names;
    for (const ChargerSetup& c : BuiltInChargers()) names += (names.empty() ? "" : ", ") + c.name;
    return names;
  }

  bool Fault(const Tokens& t, size_t from, FaultRule* rule) {
    static const struct {
      const char* name;
      FaultKind kind;
    } kKinds[] = {{"drop", FaultKind::Drop},       {"late", FaultKind::Late},     {"wrongcmd", FaultKind::WrongCmd},
                  {"noise", FaultKind::Noise},     {"badetx", FaultKind::BadEtx}, {"badlen", FaultKind::BadLen},
                  {"badsum", FaultKind::BadSum},   {"gap", FaultKind::Gap},       {"duplicate", FaultKind::Duplicate},
                  {"unplug", FaultKind::Unplug},   {"failopen", FaultKind::FailOpen},
                  {"nolatency", FaultKind::RefuseLatency}, {"nochars", FaultKind::RefuseChars}};
    if (from >= t.size()) return Fail("'fault' needs a kind: " + std::string(kFaultKinds));
    const std::string name = Lower(t[from]);
    bool found = false;
    for (const auto& k : kKinds) {
      if (name == k.name) {
        rule->kind = k.kind;
        found = true;
      }
    }
    if (!found) return Fail("unknown fault '" + t[from] + "' (" + kFaultKinds + ")");
    size_t i = from + 1;
    // Opening and the bridge's settings are not replies to a command.
    const bool perCommand = rule->kind != FaultKind::FailOpen && rule->kind != FaultKind::RefuseLatency &&
                            rule->kind != FaultKind::RefuseChars;
    if (perCommand) {
      if (i >= t.size()) return Fail("fault '" + name + "' needs a command code (e.g. 0C) or 'any'");
      if (Lower(t[i]) == "any") {
        rule->command = kAnyCommand;
      } else {
        Bytes code;
        if (!ParseHexBytes(t[i], &code) || code.size() != 1) return Fail("'" + t[i] + "' is not a command code (hex, e.g. 0C)");
        rule->command = code[0];
      }
      ++i;
    }
    rule->remaining = 1;
    if (i < t.size()) {
      long count = 0;
      if (Lower(t[i]) == "always") {
        rule->remaining = kAlways;
      } else if (!Integer(t[i], 1, 1000000, "fault count", &count)) {
        return false;
      } else {
        rule->remaining = static_cast<int>(count);
      }
      ++i;
    }
    const size_t params = t.size() - i;
    switch (rule->kind) {
      case FaultKind::Late:
      case FaultKind::Gap: {
        if (params > 1) return Fail("fault '" + name + "' takes one time after the count");
        if (params == 1) {
          SimTime us = 0;
          if (!Duration(t[i], "ms", &us)) return false;
          rule->param = static_cast<int>(std::min<SimTime>(us / 1000, 3600000));
        }
        return true;
      }
      case FaultKind::WrongCmd:
      case FaultKind::BadEtx:
      case FaultKind::BadLen: {
        if (params > 1) return Fail("fault '" + name + "' takes one byte (hex) after the count");
        if (params == 1) {
          Bytes b;
          if (!ParseHexBytes(t[i], &b) || b.size() != 1) return Fail("'" + t[i] + "' is not a byte (hex, e.g. 85)");
          rule->param = b[0];
        }
        return true;
      }
      case FaultKind::Noise: {
        std::string joined;
        for (size_t k = i; k < t.size(); ++k) joined += t[k] + " ";
        if (!ParseHexBytes(joined, &rule->bytes)) return Fail("noise bytes must be hex bytes, e.g. FF 55 AA");
        if (rule->bytes.size() > 64) return Fail("at most 64 noise bytes");
        return true;
      }
      default:
        if (params) return Fail("fault '" + name + "' takes nothing after the count");
        return true;
    }
  }

  bool Command(const Tokens& all, ControlCommand* out) {
    Tokens t = all;
    ControlCommand c;
    if (!t.empty() && t[0].size() > 1 && t[0][0] == '@') {
      c.target = t[0].substr(1);
      if (!Serial(c.target)) return false;
      t.erase(t.begin());
    }
    if (t.empty()) return Fail("empty command");
    const std::string key = Lower(t[0]);
    auto numbers = [&](size_t n, const char* usage) -> bool {
      if (t.size() != n + 1) return Fail(std::string("usage: ") + usage);
      return true;
    };
    if (key == "attach") {
      c.kind = ControlCommand::Kind::Attach;
      if (t.size() > 1) {
        if (!ChargerRef(t, 1, &c.charger)) return false;
        c.hasCharger = true;
      }
    } else if (key == "detach") {
      c.kind = ControlCommand::Kind::Detach;
      if (!numbers(0, "detach")) return false;
    } else if (key == "charger") {
      c.kind = ControlCommand::Kind::Charger;
      if (!ChargerRef(t, 1, &c.charger)) return false;
      c.hasCharger = true;
    } else if (key == "capchange") {
      c.kind = ControlCommand::Kind::CapChange;
      if (t.size() > 1) {
        if (!ChargerRef(t, 1, &c.charger)) return false;
        c.hasCharger = true;
      }
    } else if (key == "newprofile") {
      c.kind = ControlCommand::Kind::NewProfile;
      if (t.size() > 3) return Fail("usage: newprofile [position [voltage]]");
      long position = 0;
      if (t.size() > 1 && !Integer(t[1], 1, 7, "object position", &position)) return false;
      c.position = static_cast<int>(position);
      if (t.size() > 2 && !Voltage(t[2], &c.mv)) return false;
    } else if (key == "plug") {
      c.kind = ControlCommand::Kind::Plug;
      if (t.size() < 2) return Fail("usage: plug <serial> [kt40 | kt60 | ftdi | hw <n> fw <n>]");
      if (!Serial(t[1])) return false;
      c.device.serial = t[1];
      c.device.hasCharger = true;
      c.device.charger = *FindCharger("pd65");
      if (t.size() > 2) {
        c.deviceModelGiven = true;
        if (!DeviceModel(t, 2, &c.device)) return false;
      }
    } else if (key == "unplug") {
      c.kind = ControlCommand::Kind::Unplug;
      if (!numbers(1, "unplug <serial>") || !Serial(t[1])) return false;
      c.text = t[1];
    } else if (key == "fault") {
      c.kind = ControlCommand::Kind::Fault;
      if (!Fault(t, 1, &c.fault)) return false;
    } else if (key == "nofaults") {
      c.kind = ControlCommand::Kind::ClearFaults;
      if (!numbers(0, "nofaults")) return false;
    } else if (key == "ripple" || key == "noise") {
      c.kind = key == "ripple" ? ControlCommand::Kind::Ripple : ControlCommand::Kind::Noise;
      if (!numbers(2, key == "ripple" ? "ripple <mV> <Hz>" : "noise <mV> <mA>")) return false;
      if (!Real(t[1], 0, 5000, key == "ripple" ? "ripple amplitude" : "noise amplitude", &c.a) ||
          !Real(t[2], 0, key == "ripple" ? 1e6 : 5000, key == "ripple" ? "ripple frequency" : "current noise", &c.b)) {
        return false;
      }
    } else if (key == "cable") {
      c.kind = ControlCommand::Kind::Cable;
      int mohm = 0;
      if (!numbers(1, "cable <mOhm>") || !Resistance(t[1], &mohm)) return false;
      c.a = mohm;
    } else if (key == "loopback") {
      c.kind = ControlCommand::Kind::Loopback;
      uint16_t ma = 0;
      if (!numbers(1, "loopback <mA>") || !Current(t[1], &ma)) return false;
      c.a = ma;
    } else if (key == "ambient") {
      c.kind = ControlCommand::Kind::Ambient;
      if (!numbers(1, "ambient <C>") || !Real(t[1], -40, 150, "ambient temperature", &c.a)) return false;
    } else if (key == "note") {
      c.kind = ControlCommand::Kind::Note;
      for (size_t i = 1; i < t.size(); ++i) c.text += (i > 1 ? " " : "") + t[i];
    } else {
      return Fail("unknown command '" + t[0] +
                  "' (attach, detach, charger, capchange, newprofile, plug, unplug, fault, nofaults, ripple, noise, "
                  "cable, loopback, ambient, note)");
    }
    *out = c;
    return true;
  }

  // "kt40", "kt60", "ftdi", "hw <n>", "fw <n>" in any order.
  bool DeviceModel(const Tokens& t, size_t from, DeviceSetup* d) {
    for (size_t i = from; i < t.size(); ++i) {
      const std::string key = Lower(t[i]);
      if (key == "kt40" || key == "kt-40") {
        d->hardwareRevision = 10;
        d->firmwareVersion = 27;
      } else if (key == "kt60" || key == "kt-60") {
        d->hardwareRevision = 20;
        d->firmwareVersion = 30;
      } else if (key == "ftdi") {
        d->isTester = false;
        d->hasCharger = false;
      } else if ((key == "hw" || key == "fw") && i + 1 < t.size()) {
        if (!VersionByte(t[i + 1], key == "hw" ? &d->hardwareRevision : &d->firmwareVersion)) return false;
        ++i;
      } else {
        return Fail("unknown model word '" + t[i] + "' (kt40, kt60, ftdi, hw <n>, fw <n>)");
      }
    }
    return true;
  }

 private:
  std::string origin_;
  const std::vector<ChargerSetup>* extra_;
  std::string error_;
  int line_ = 0;
};

struct Line {
  int number;
  Tokens tokens;
};

std::vector<Line> SplitLines(const std::string& text) {
  std::vector<Line> lines;
  std::istringstream in(text);
  std::string raw;
  int number = 0;
  while (std::getline(in, raw)) {
    ++number;
    if (number == 1 && raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    Tokens t = Tokenize(raw);
    if (!t.empty()) lines.push_back({number, t});
  }
  return lines;
}

bool ParseChargerBlocks(const std::vector<Line>& lines, Parser& p, std::vector<ChargerSetup>* chargers) {
  for (size_t i = 0; i < lines.size(); ++i) {
    const Tokens& t = lines[i].tokens;
    const std::string key = Lower(t[0]);
    if (key == "tester") {
      // Skip the tester block (its "charger" lines included); the second pass reads it.
      while (i + 1 < lines.size()) {
        const std::string next = Lower(lines[i + 1].tokens[0]);
        if (next == "end" || next == "tester" || next == "ftdi" || next == "at" || next == "option") break;
        ++i;
      }
      continue;
    }
    if (key != "charger") continue;
    p.SetLine(lines[i].number);
    if (t.size() != 2) return p.Fail("usage: charger <name>, then its profiles, then 'end'");
    for (const ChargerSetup& c : *chargers) {
      if (c.name == t[1]) return p.Fail("charger '" + t[1] + "' is defined twice");
    }
    ChargerSetup charger;
    charger.name = t[1];
    const int start = lines[i].number;
    bool closed = false;
    for (++i; i < lines.size(); ++i) {
      p.SetLine(lines[i].number);
      const std::string k = Lower(lines[i].tokens[0]);
      if (k == "end") {
        if (lines[i].tokens.size() != 1) return p.Fail("'end' stands alone");
        closed = true;
        break;
      }
      if (k == "charger" || k == "tester" || k == "ftdi" || k == "at" || k == "option") {
        return p.Fail(start, "charger '" + charger.name + "' is not closed with 'end' before line " +
                                 std::to_string(lines[i].number));
      }
      if (!p.ChargerLine(lines[i].tokens, &charger)) return false;
    }
    if (!closed) return p.Fail(start, "charger '" + charger.name + "' is not closed with 'end'");
    if (!p.FinishCharger(&charger, start)) return false;
    chargers->push_back(charger);
  }
  return true;
}

bool TesterLine(const Tokens& t, Parser& p, DeviceSetup* d) {
  const std::string key = Lower(t[0]);
  auto expect = [&](size_t n, const char* usage) -> bool {
    if (t.size() != n + 1) return p.Fail(std::string("usage: ") + usage);
    return true;
  };
  if (key == "charger") {
    if (!p.ChargerRef(t, 1, &d->charger)) return false;
    d->hasCharger = true;
    return true;
  }
  if (key == "detached" || key == "attached") {
    if (!expect(0, key.c_str())) return false;
    d->attached = key == "attached";
    return true;
  }
  if (key == "unplugged") {
    if (!expect(0, "unplugged")) return false;
    d->plugged = false;
    return true;
  }
  if (key == "cable") return expect(1, "cable <mOhm>") && p.Resistance(t[1], &d->cableMohm);
  if (key == "ripple") {
    return expect(2, "ripple <mV> <Hz>") && p.Real(t[1], 0, 5000, "ripple amplitude", &d->rippleMv) &&
           p.Real(t[2], 0, 1e6, "ripple frequency", &d->rippleHz);
  }
  if (key == "noise") {
    return expect(2, "noise <mV> <mA>") && p.Real(t[1], 0, 5000, "voltage noise", &d->noiseMv) &&
           p.Real(t[2], 0, 5000, "current noise", &d->noiseMa);
  }
  if (key == "ambient") return expect(1, "ambient <C>") && p.Real(t[1], -40, 150, "ambient temperature", &d->ambientC);
  if (key == "loopback") return expect(1, "loopback <mA>") && p.Current(t[1], &d->loopbackMa);
  if (key == "failopen") {
    FaultRule rule;
    if (!p.Fault(t, 0, &rule)) return false;
    d->faults.push_back(rule);
    return true;
  }
  if (key == "fault") {
    FaultRule rule;
    if (!p.Fault(t, 1, &rule)) return false;
    d->faults.push_back(rule);
    return true;
  }
  if (key == "latency") {
    SimTime us = 0;
    if (!expect(1, "latency <time>") || !p.Duration(t[1], "ms", &us)) return false;
    if (us % 1000 != 0 || us < 1000 || us > 255000) return p.Fail("latency is 1 to 255 ms in whole ms");
    d->latencyMs = static_cast<int>(us / 1000);
    return true;
  }
  if (key == "profile-delay" || key == "reply-delay") {
    SimTime us = 0;
    if (!expect(1, key == "profile-delay" ? "profile-delay <time>" : "reply-delay <time>") ||
        !p.Duration(t[1], key == "profile-delay" ? "ms" : "us", &us)) {
      return false;
    }
    if (us > 10000000) return p.Fail(key + " is at most 10 s");
    if (key == "profile-delay") d->profileDelayMs = static_cast<int>(us / 1000);
    else d->replyDelayUs = static_cast<int>(us);
    return true;
  }
  if (key == "description") {
    if (t.size() < 2) return p.Fail("usage: description <text>");
    d->description.clear();
    for (size_t i = 1; i < t.size(); ++i) d->description += (i > 1 ? " " : "") + t[i];
    return true;
  }
  if (key == "skew") {
    if (t.size() != 3 && t.size() != 4) return p.Fail("usage: skew <vbus|current> <gain> [offset]");
    const std::string ch = Lower(t[1]);
    if (ch != "vbus" && ch != "current") return p.Fail("skew channel is 'vbus' or 'current'");
    const int c = ch == "vbus" ? 0 : 1;
    if (!p.Real(t[2], 0.5, 1.5, "gain", &d->gain[c])) return false;
    return t.size() == 3 || p.Real(t[3], -5000, 5000, "offset", &d->offset[c]);
  }
  if (key == "calibration") {
    if (t.size() != 8) return p.Fail("usage: calibration <vbus|current> <year> <month> <ref1> <tester1> <ref2> <tester2>");
    const std::string ch = Lower(t[1]);
    if (ch != "vbus" && ch != "current") return p.Fail("calibration channel is 'vbus' or 'current'");
    CalibrationRecord& r = d->calibration[ch == "vbus" ? 0 : 1];
    long year = 0, month = 0, v[4] = {};
    if (!p.Integer(t[2], 2000, 2275, "year", &year) || !p.Integer(t[3], 1, 12, "month", &month)) return false;
    for (int i = 0; i < 4; ++i) {
      if (!p.Integer(t[4 + i], -32768, 32767, "calibration value", &v[i])) return false;
    }
    r.isCalibrated = 1;
    r.yearByte = static_cast<uint8_t>((year - 2020) & 0xFF);
    r.month = static_cast<uint8_t>(month);
    r.refPoint1 = static_cast<int16_t>(v[0]);
    r.testerPoint1 = static_cast<int16_t>(v[1]);
    r.refPoint2 = static_cast<int16_t>(v[2]);
    r.testerPoint2 = static_cast<int16_t>(v[3]);
    return true;
  }
  if (key == "settings") {
    if (t.size() < 3 || t.size() % 2 == 0) return p.Fail("usage: settings <key> <value> [<key> <value> ...]");
    StoredSettings& s = d->settings;
    for (size_t i = 1; i + 1 < t.size(); i += 2) {
      const std::string k = Lower(t[i]);
      const std::string v = Lower(t[i + 1]);
      long n = 0;
      uint16_t ma = 0;
      int mohm = 0;
      if (k == "loopback" || k == "upstream") {
        if (!p.Integer(v, 0, 1, k, &n)) return false;
        (k == "loopback" ? s.loopbackEnabled : s.estimateUpstream) = static_cast<uint8_t>(n);
      } else if (k == "mode") {
        if (v == "enforce") n = 0;
        else if (v == "allow") n = 1;
        else if (v == "force") n = 2;
        else if (!p.Integer(v, 0, 2, "limit mode", &n)) return false;
        s.limitMode = static_cast<uint8_t>(n);
      } else if (k == "ceiling" || k == "standard") {
        if (!p.Current(t[i + 1], &ma)) return false;
        (k == "ceiling" ? s.maxLoadCurrentMa : s.standardPortLimitMa) = ma;
      } else if (k == "cable") {
        if (!p.Resistance(v, &mohm)) return false;
        if (mohm > 65535) return p.Fail("stored cable resistance does not fit 16 bits");
        s.cableResistanceMohm = static_cast<uint16_t>(mohm);
      } else {
        return p.Fail("unknown setting '" + t[i] + "' (loopback, mode, ceiling, standard, upstream, cable)");
      }
    }
    return true;
  }
  return p.Fail("unknown tester line '" + t[0] +
                "' (charger, attached, detached, unplugged, cable, ripple, noise, ambient, loopback, settings, "
                "calibration, skew, fault, failopen, profile-delay, reply-delay, latency, description)");
}

}  // namespace

const std::vector<ChargerSetup>& BuiltInChargers() {
  static const std::vector<ChargerSetup> chargers = [] {
    std::vector<ChargerSetup> list;
    Parser p("built-in chargers", nullptr);
    ParseChargerBlocks(SplitLines(kBuiltInChargers), p, &list);
    return list;
  }();
  return chargers;
}

const char* DefaultScenarioText() { return kDefaultScenario; }

bool ParseControlCommand(const std::string& line, const std::vector<ChargerSetup>& chargers, ControlCommand* out,
                         std::string* error) {
  Parser p("control", &chargers);
  p.SetLine(1);
  if (!p.Command(Tokenize(line), out)) {
    // Control lines have no file: drop the "control:1: " prefix.
    *error = p.Error().substr(std::string("control:1: ").size());
    return false;
  }
  return true;
}

bool ParseScenario(const std::string& text, const std::string& origin, Scenario* out, std::string* error) {
  Scenario s;
  s.origin = origin;
  const std::vector<Line> lines = SplitLines(text);
  Parser p(origin, &s.chargers);
  auto failed = [&]() {
    *error = p.Error();
    return false;
  };
  if (!ParseChargerBlocks(lines, p, &s.chargers)) return failed();

  DeviceSetup defaults;  // option lines change the defaults of later testers
  std::vector<int> deviceLines;
  auto addDevice = [&](const DeviceSetup& d, int line) -> bool {
    for (size_t k = 0; k < s.devices.size(); ++k) {
      if (s.devices[k].serial == d.serial) {
        return p.Fail(line, "serial '" + d.serial + "' is already used on line " + std::to_string(deviceLines[k]));
      }
    }
    s.devices.push_back(d);
    deviceLines.push_back(line);
    return true;
  };

  for (size_t i = 0; i < lines.size(); ++i) {
    const Tokens& t = lines[i].tokens;
    const std::string key = Lower(t[0]);
    p.SetLine(lines[i].number);
    if (key == "charger") {
      while (i < lines.size() && Lower(lines[i].tokens[0]) != "end") ++i;  // read in the first pass
      continue;
    }
    if (key == "tester") {
      if (t.size() < 2) return p.Fail("usage: tester <serial> [kt40 | kt60 | hw <n> fw <n>], then its lines, then 'end'"), failed();
      DeviceSetup d = defaults;
      d.serial = t[1];
      if (!p.Serial(d.serial) || !p.DeviceModel(t, 2, &d)) return failed();
      if (!d.isTester) return p.Fail("'ftdi' devices are declared with their own line: ftdi <serial>"), failed();
      const int start = lines[i].number;
      bool closed = false;
      for (++i; i < lines.size(); ++i) {
        p.SetLine(lines[i].number);
        const std::string k = Lower(lines[i].tokens[0]);
        if (k == "end") {
          if (lines[i].tokens.size() != 1) return p.Fail("'end' stands alone"), failed();
          closed = true;
          break;
        }
        if (k == "tester" || k == "ftdi" || k == "at" || k == "option") {
          return p.Fail(start, "tester '" + d.serial + "' is not closed with 'end' before line " +
                                   std::to_string(lines[i].number)),
                 failed();
        }
        if (!TesterLine(lines[i].tokens, p, &d)) return failed();
      }
      if (!closed) return p.Fail(start, "tester '" + d.serial + "' is not closed with 'end'"), failed();
      if (d.description.empty()) d.description = d.hardwareRevision >= 20 ? "KT-60 Load Tester" : "KT-40 Load Tester";
      if (!addDevice(d, start)) return failed();
      continue;
    }
    if (key == "ftdi") {
      if (t.size() < 2) return p.Fail("usage: ftdi <serial> [unplugged] [failopen [count]] [description <text>]"), failed();
      DeviceSetup d;
      d.serial = t[1];
      d.isTester = false;
      d.description = "USB Serial Converter";
      if (!p.Serial(d.serial)) return failed();
      for (size_t k = 2; k < t.size(); ++k) {
        const std::string w = Lower(t[k]);
        if (w == "unplugged") {
          d.plugged = false;
        } else if (w == "failopen") {
          FaultRule rule;
          rule.kind = FaultKind::FailOpen;
          long count = 1;
          if (k + 1 < t.size() && Lower(t[k + 1]) == "always") {
            rule.remaining = kAlways;
            ++k;
          } else if (k + 1 < t.size() && ParseInteger(t[k + 1], &count)) {
            if (!p.Integer(t[k + 1], 1, 1000000, "fault count", &count)) return failed();
            rule.remaining = static_cast<int>(count);
            ++k;
          }
          d.faults.push_back(rule);
        } else if (w == "description" && k + 1 < t.size()) {
          d.description.clear();
          for (++k; k < t.size(); ++k) d.description += (d.description.empty() ? "" : " ") + t[k];
        } else {
          return p.Fail("unknown word '" + t[k] + "' on an ftdi line (unplugged, failopen, description)"), failed();
        }
      }
      if (!addDevice(d, lines[i].number)) return failed();
      continue;
    }
    if (key == "at") {
      if (t.size() < 3) return p.Fail("usage: at <time> [@serial] <command>"), failed();
      TimelineEvent e;
      e.line = lines[i].number;
      if (!p.Duration(t[1], "ms", &e.at) || !p.Command(Tokens(t.begin() + 2, t.end()), &e.command)) return failed();
      s.timeline.push_back(e);
      continue;
    }
    if (key == "option") {
      if (t.size() != 3) {
        return p.Fail("usage: option <seed | reply-delay | profile-delay | latency | clock> <value>"), failed();
      }
      const std::string k = Lower(t[1]);
      if (k == "seed") {
        long seed = 0;
        if (!p.Integer(t[2], 0, 2147483647, "seed", &seed)) return failed();
        s.seed = static_cast<uint64_t>(seed);
      } else if (k == "reply-delay" || k == "profile-delay" || k == "latency") {
        if (!TesterLine(Tokens{k, t[2]}, p, &defaults)) return failed();
      } else if (k == "clock") {
        const std::string v = Lower(t[2]);
        if (v != "real" && v != "simulated") {
          return p.Fail("option clock is 'real' or 'simulated', not '" + t[2] + "'"), failed();
        }
        s.clock = v == "real" ? Clock::Real : Clock::Simulated;
      } else {
        return p.Fail("unknown option '" + t[1] + "' (seed, reply-delay, profile-delay, latency, clock)"), failed();
      }
      continue;
    }
    if (key == "end") return p.Fail("'end' without a charger or tester block"), failed();
    return p.Fail("unknown keyword '" + t[0] + "' (expected charger, tester, ftdi, at, option)"), failed();
  }

  // Check the timeline's targets in the order the events happen.
  std::stable_sort(s.timeline.begin(), s.timeline.end(),
                   [](const TimelineEvent& a, const TimelineEvent& b) { return a.at < b.at; });
  std::vector<std::string> known;
  bool anyTester = false;
  for (const DeviceSetup& d : s.devices) {
    known.push_back(d.serial);
    anyTester = anyTester || d.isTester;
  }
  auto isKnown = [&](const std::string& serial) { return std::find(known.begin(), known.end(), serial) != known.end(); };
  for (const TimelineEvent& e : s.timeline) {
    const ControlCommand& c = e.command;
    if (c.kind == ControlCommand::Kind::Plug) {
      if (!isKnown(c.device.serial)) known.push_back(c.device.serial);
      anyTester = anyTester || c.device.isTester;
      continue;
    }
    if (c.kind == ControlCommand::Kind::Unplug) {
      if (!isKnown(c.text)) return p.Fail(e.line, "unplug of unknown device '" + c.text + "'"), failed();
      continue;
    }
    if (c.kind == ControlCommand::Kind::Note) continue;
    if (!c.target.empty() && !isKnown(c.target)) {
      return p.Fail(e.line, "no device '" + c.target + "' at that time"), failed();
    }
    if (c.target.empty() && !anyTester) return p.Fail(e.line, "there is no tester for this command"), failed();
  }
  *out = std::move(s);
  return true;
}

bool LoadScenarioFile(const std::string& path, Scenario* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot be read";
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string origin = path;
  const size_t slash = origin.find_last_of("/\\");
  if (slash != std::string::npos) origin = origin.substr(slash + 1);
  return ParseScenario(text.str(), origin, out, error);
}

}  // namespace sim
