#include "core/report/limits.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>

#include "core/report/json_lines.h"

namespace {

using nlohmann::json;

struct KindName {
  const char* name;
  int kind;
  int subKind;
  uint16_t lowMv;  // what such a profile can supply
  uint16_t highMv;
};
// The profile list's names, and "PD" / "QC" for all of a kind.
constexpr KindName kKinds[] = {
    {"PD", 5, -1, 3000, 48000},    {"PD-FIX", 5, 0, 3000, 48000},  {"PD-BAT", 5, 1, 3000, 48000},
    {"PD-VAR", 5, 2, 3000, 48000}, {"PD-APDO", 5, 3, 3000, 48000}, {"QC", 3, -1, 3600, 20000},
    {"QC1", 3, 0, 5000, 5000},     {"QC2", 3, 1, 5000, 20000},     {"QC3", 3, 2, 3600, 20000},
    {"LEGACY", 0, 0, 5000, 5000},  {"PTY", 1, 0, 3000, 48000},     {"BC-SDP", 2, 0, 5000, 5000},
    {"BC-CDP", 2, 1, 5000, 5000},  {"BC-DCP", 2, 2, 5000, 5000},   {"USBC-1.5A", 4, 0, 5000, 5000},
    {"USBC-3A", 4, 1, 5000, 5000},
};
constexpr uint16_t kQc2LevelsMv[] = {5000, 9000, 12000, 20000};
constexpr uint16_t kLowestMv = 3000;  // the tester's range
constexpr uint16_t kHighestMv = 48000;
constexpr double kMostMa = 5100;  // the most any tester draws

const char* const kLimitFields[] = {"maxRippleMv", "minVbusVolts", "maxNoLoadVolts", "tolerancePercent",
                                    "maxTemperatureC"};
const char* const kRuleFields[] = {"name",           "note",    "profile",        "maxRippleMv",      "minVbusVolts",
                                   "atMa",           "atRated", "maxNoLoadVolts", "tolerancePercent", "upToMa",
                                   "maxTemperatureC"};
const char* const kProfileFields[] = {"kind", "volts", "fromVolts", "toVolts"};
const char* const kOfferFields[] = {"name", "note", "kind", "volts", "reachesVolts", "minAmps"};
const char* const kTopFields[] = {"note", "rules", "offered"};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

template <size_t N>
std::string List(const char* const (&names)[N]) {
  std::string s;
  for (const char* n : names) s += (s.empty() ? "" : ", ") + std::string(n);
  return s;
}

std::string Number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

class Reader {
 public:
  Reader(const std::string& name, const JsonLines& lines) : name_(name), lines_(lines) {}

  // Records the first error; false from then on.
  bool Error(const std::string& pointer, const std::string& message) {
    if (error.empty()) error = name_ + ":" + std::to_string(lines_.LineOf(pointer)) + ": " + message;
    return false;
  }

  template <size_t N>
  bool OnlyFields(const json& object, const std::string& pointer, const char* const (&known)[N], const char* what) {
    for (const auto& [key, value] : object.items()) {
      bool found = false;
      for (const char* k : known) found = found || key == k;
      if (!found) {
        return Error(pointer + "/" + JsonPointerToken(key),
                     "\"" + key + "\" is not a field of " + what + " (" + what + " takes " + List(known) + ")");
      }
    }
    return true;
  }

  // A number in [low, high] (above low when `aboveLow`), in `unit`.
  bool ReadNumber(const json& object, const std::string& pointer, const char* field, double low, double high,
                  bool aboveLow, const char* unit, double* out, bool whole = false) {
    const json& v = object.at(field);
    const bool ok = v.is_number() && std::isfinite(v.get<double>()) &&
                    (aboveLow ? v.get<double>() > low : v.get<double>() >= low) && v.get<double>() <= high &&
                    (!whole || v.is_number_integer());
    if (ok) {
      *out = v.get<double>();
      return true;
    }
    return Error(pointer + "/" + field,
                 std::string("\"") + field + "\" must be " + (whole ? "a whole number" : "a number") +
                     (aboveLow ? " above " : " from ") + Number(low) + (aboveLow ? " up to " : " to ") + Number(high) +
                     " " + unit + ", not " + v.dump());
  }

  bool ReadVolts(const json& object, const std::string& pointer, const char* field, uint16_t* mv) {
    double v = 0;
    if (!ReadNumber(object, pointer, field, kLowestMv / 1000.0, kHighestMv / 1000.0, false, "V", &v)) return false;
    *mv = static_cast<uint16_t>(std::lround(v * 1000));
    return true;
  }

  bool ReadKind(const json& object, const std::string& pointer, ProfileSelector* p) {
    const json& v = object.at("kind");
    const std::string given = v.is_string() ? Upper(v.get<std::string>()) : "";
    for (const KindName& k : kKinds) {
      if (given == k.name) {
        p->kindText = k.name;
        p->kind = k.kind;
        p->subKind = k.subKind;
        return true;
      }
    }
    std::string names;
    for (const KindName& k : kKinds) names += (names.empty() ? "" : ", ") + std::string(k.name);
    return Error(pointer + "/kind", "\"kind\" must be one of " + names + ", not " + v.dump());
  }

  // Whether a profile of the selector's kind can supply a voltage in [fromMv, toMv].
  bool CanApply(const ProfileSelector& p, const std::string& pointer, const char* field) {
    const KindName* kind = nullptr;
    for (const KindName& k : kKinds) {
      if (p.kindText == k.name) kind = &k;
    }
    if (p.fromMv > p.toMv) {
      return Error(pointer + "/" + field, "\"fromVolts\" lies above \"toVolts\": the rule can never apply");
    }
    if (!kind) return true;
    const auto range = [](uint16_t lo, uint16_t hi) {
      return Number(lo / 1000.0) + (lo == hi ? "" : " to " + Number(hi / 1000.0)) + " V";
    };
    if (p.toMv < kind->lowMv || p.fromMv > kind->highMv) {
      return Error(pointer + "/" + field, "a " + p.kindText + " profile supplies " + range(kind->lowMv, kind->highMv) +
                                              ", never " + range(p.fromMv, p.toMv) + ": the rule can never apply");
    }
    if (p.kindText == "QC2") {
      for (uint16_t mv : kQc2LevelsMv) {
        if (mv >= p.fromMv && mv <= p.toMv) return true;
      }
      return Error(pointer + "/" + field, "a QC2 profile supplies 5, 9, 12 or 20 V, never " + range(p.fromMv, p.toMv) +
                                              ": the rule can never apply");
    }
    return true;
  }

  bool ReadProfile(const json& object, const std::string& pointer, ProfileSelector* p) {
    if (!object.is_object()) return Error(pointer, "\"profile\" must be an object with " + List(kProfileFields));
    if (!OnlyFields(object, pointer, kProfileFields, "a profile")) return false;
    if (object.contains("kind") && !ReadKind(object, pointer, p)) return false;
    if (object.contains("volts")) {
      for (const char* other : {"fromVolts", "toVolts"}) {
        if (object.contains(other)) {
          return Error(pointer + "/" + other,
                       std::string("\"") + other + "\" with \"volts\": give one voltage or a range");
        }
      }
      if (!ReadVolts(object, pointer, "volts", &p->fromMv)) return false;
      p->toMv = p->fromMv;
    }
    p->fromMv = std::max(p->fromMv, kLowestMv);
    p->toMv = std::min(p->toMv, kHighestMv);
    if (object.contains("fromVolts") && !ReadVolts(object, pointer, "fromVolts", &p->fromMv)) return false;
    if (object.contains("toVolts") && !ReadVolts(object, pointer, "toVolts", &p->toMv)) return false;
    const char* where = object.contains("volts")       ? "volts"
                        : object.contains("toVolts")   ? "toVolts"
                        : object.contains("fromVolts") ? "fromVolts"
                                                       : "kind";
    return CanApply(*p, pointer, where);
  }

  bool ReadName(const json& object, const std::string& pointer, const char* what, std::string* name) {
    if (!object.contains("name"))
      return Error(pointer, std::string(what) + " has no \"name\": every rule is named in the results");
    const json& v = object.at("name");
    if (!v.is_string() || v.get<std::string>().find_first_not_of(" \t") == std::string::npos) {
      return Error(pointer + "/name", "\"name\" must be a text that is not empty, not " + v.dump());
    }
    *name = v.get<std::string>();
    if (!names_.insert(*name).second)
      return Error(pointer + "/name", "the name \"" + *name + "\" is given to two rules");
    return true;
  }

  bool ReadRule(const json& r, const std::string& pointer, LimitRule* rule) {
    if (!r.is_object()) return Error(pointer, "a rule must be an object (" + List(kRuleFields) + ")");
    if (!OnlyFields(r, pointer, kRuleFields, "a rule")) return false;
    if (!ReadName(r, pointer, "a rule", &rule->name)) return false;
    rule->line = lines_.LineOf(pointer);
    const std::string named = "rule \"" + rule->name + "\": ";
    if (r.contains("profile") && !ReadProfile(r.at("profile"), pointer + "/profile", &rule->profile)) return false;
    const char* limitField = nullptr;
    for (const char* f : kLimitFields) {
      if (!r.contains(f)) continue;
      if (limitField) {
        return Error(pointer + "/" + f, named + "\"" + f + "\" with \"" + limitField +
                                            "\": one limit per rule (give each limit a rule and a name of its own)");
      }
      limitField = f;
    }
    if (!limitField) return Error(pointer, named + "no limit: give one of " + List(kLimitFields));
    const std::string field = limitField;
    const auto onlyWith = [&](const char* extra, const char* owner) {
      return !r.contains(extra) || field == owner ||
             Error(pointer + "/" + extra, named + "\"" + extra + "\" belongs with \"" + owner + "\" only");
    };
    if (!onlyWith("atMa", "minVbusVolts") || !onlyWith("atRated", "minVbusVolts") ||
        !onlyWith("upToMa", "tolerancePercent")) {
      return false;
    }
    double v = 0;
    if (field == "maxRippleMv") {
      rule->field = RuleField::MaxRipple;
      if (!ReadNumber(r, pointer, limitField, 0, kHighestMv, true, "mV", &rule->limit)) return false;
    } else if (field == "minVbusVolts" || field == "maxNoLoadVolts") {
      rule->field = field == "minVbusVolts" ? RuleField::MinVbus : RuleField::MaxNoLoad;
      if (!ReadNumber(r, pointer, limitField, 0, kHighestMv / 1000.0, true, "V", &v)) return false;
      rule->limit = std::round(v * 1000);
    } else if (field == "tolerancePercent") {
      rule->field = RuleField::Tolerance;
      if (!ReadNumber(r, pointer, limitField, 0, 100, true, "%", &rule->limit)) return false;
      if (r.contains("upToMa")) {
        if (!ReadNumber(r, pointer, "upToMa", 0, kMostMa, false, "mA", &v, true)) return false;
        rule->upToMa = static_cast<uint16_t>(v);
      }
    } else {
      rule->field = RuleField::MaxTemperature;
      if (!ReadNumber(r, pointer, limitField, 0, 150, true, "C", &rule->limit)) return false;
    }
    if (rule->field != RuleField::MinVbus) return true;
    if (r.contains("atMa") == r.contains("atRated")) {
      return Error(
          r.contains("atMa") ? pointer + "/atRated" : pointer,
          named + "\"minVbusVolts\" needs the load it holds at: \"atMa\" (mA) or \"atRated\": true, one of them");
    }
    if (r.contains("atRated")) {
      if (r.at("atRated") != json(true)) {
        return Error(pointer + "/atRated",
                     named + "\"atRated\" must be true (or give \"atMa\" instead), not " + r.at("atRated").dump());
      }
      rule->atRated = true;
      return true;
    }
    // The tester draws at most 5.1 A: a rule at more could never be measured.
    if (!ReadNumber(r, pointer, "atMa", 0, kMostMa, false, "mA", &v, true)) return false;
    rule->atMa = static_cast<uint16_t>(v);
    return true;
  }

  bool ReadOffer(const json& o, const std::string& pointer, OfferRule* rule) {
    if (!o.is_object()) return Error(pointer, "an offered profile must be an object (" + List(kOfferFields) + ")");
    if (!OnlyFields(o, pointer, kOfferFields, "an offered profile")) return false;
    if (!ReadName(o, pointer, "an offered profile", &rule->name)) return false;
    rule->line = lines_.LineOf(pointer);
    if (!o.contains("kind")) return Error(pointer, "offered profile \"" + rule->name + "\" has no \"kind\"");
    if (!ReadKind(o, pointer, &rule->profile)) return false;
    if (o.contains("volts")) {
      if (!ReadVolts(o, pointer, "volts", &rule->mv)) return false;
      rule->profile.fromMv = rule->profile.toMv = rule->mv;
      if (!CanApply(rule->profile, pointer, "volts")) return false;
    }
    if (o.contains("reachesVolts")) {
      if (!ReadVolts(o, pointer, "reachesVolts", &rule->reachesMv)) return false;
      ProfileSelector reach = rule->profile;
      reach.fromMv = std::max(rule->reachesMv, rule->mv);
      reach.toMv = kHighestMv;
      if (!CanApply(reach, pointer, "reachesVolts")) return false;
    }
    rule->profile.fromMv = kLowestMv;
    rule->profile.toMv = kHighestMv;
    double amps = 0;
    if (o.contains("minAmps")) {
      if (!ReadNumber(o, pointer, "minAmps", 0, 5, true, "A", &amps)) return false;
      rule->minMa = static_cast<uint16_t>(std::lround(amps * 1000));
    }
    return true;
  }

  std::string error;

 private:
  std::string name_;
  const JsonLines& lines_;
  std::set<std::string> names_;
};

}  // namespace

const char* RuleFieldName(RuleField f) {
  switch (f) {
    case RuleField::MaxRipple:
      return "maxRippleMv";
    case RuleField::MinVbus:
      return "minVbusVolts";
    case RuleField::MaxNoLoad:
      return "maxNoLoadVolts";
    case RuleField::Tolerance:
      return "tolerancePercent";
    default:
      return "maxTemperatureC";
  }
}

bool ParseLimits(const std::string& text, const std::string& name, LimitsFile* out, std::string* error) {
  LimitsFile file;
  file.path = name;
  json j;
  try {
    j = json::parse(text);
  } catch (const json::parse_error& e) {
    // "[json.exception.parse_error.101] parse error at line 3, column 5: syntax error ..." -> "syntax error ..."
    std::string what = e.what();
    const size_t colon = what.find(": ");
    if (colon != std::string::npos) what = what.substr(colon + 2);
    int line = 1;
    for (size_t i = 0; i + 1 < e.byte && i < text.size(); ++i) line += text[i] == '\n';
    *error = name + ":" + std::to_string(line) + ": not valid JSON: " + what;
    return false;
  }
  const JsonLines lines = MapJsonLines(text);
  Reader reader(name, lines);
  const auto fail = [&] {
    *error = reader.error;
    return false;
  };
  if (!lines.duplicate.empty()) {
    const std::string field = lines.duplicate.substr(lines.duplicate.rfind('/') + 1);
    *error = name + ":" + std::to_string(lines.duplicateLine) + ": \"" + field + "\" is given twice in one object";
    return false;
  }
  if (!j.is_object()) {
    reader.Error("", "a limits file is one object with " + List(kTopFields));
    return fail();
  }
  if (!reader.OnlyFields(j, "", kTopFields, "a limits file")) return fail();
  for (const char* list : {"rules", "offered"}) {
    if (j.contains(list) && !j.at(list).is_array()) {
      reader.Error(std::string("/") + list, std::string("\"") + list + "\" must be a list [ ... ]");
      return fail();
    }
  }
  const json none = json::array();
  const json& rules = j.contains("rules") ? j.at("rules") : none;
  const json& offered = j.contains("offered") ? j.at("offered") : none;
  if (rules.empty() && offered.empty()) {
    reader.Error("", "no rules: give at least one in \"rules\" or \"offered\"");
    return fail();
  }
  for (size_t i = 0; i < rules.size(); ++i) {
    LimitRule rule;
    if (!reader.ReadRule(rules[i], "/rules/" + std::to_string(i), &rule)) return fail();
    file.rules.push_back(rule);
  }
  for (size_t i = 0; i < offered.size(); ++i) {
    OfferRule rule;
    if (!reader.ReadOffer(offered[i], "/offered/" + std::to_string(i), &rule)) return fail();
    file.offered.push_back(rule);
  }
  *out = file;
  return true;
}

bool LoadLimitsFile(const std::string& path, LimitsFile* out, std::string* error) {
  std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary);
  if (!in) {
    *error = "cannot read the limits file " + path;
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ParseLimits(text, path, out, error);
}
