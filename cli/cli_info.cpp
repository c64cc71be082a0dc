// list, status and profiles: what the testers and the source say, as a table
// or as JSON.
#include <algorithm>

#include "cli/cli_commands.h"
#include "cli/cli_end.h"
#include "cli/cli_multi.h"
#include "cli/cli_output.h"
#include "core/link/measured_values.h"
#include "core/link/monitor_core.h"
#include "core/link/profile_text.h"
#include "core/report/report_files.h"
#include "core/base/tester_list.h"

namespace {

using nlohmann::json;

struct ListedTester {
  TesterPlace place;
  bool answered = false;
  uint8_t hw = 0;
  uint8_t fw = 0;
  std::string reason;  // empty: usable
  std::string help;    // what is missing for it to be usable and how to fix it, where known
};

ListedTester Probe(const CliOptions& options, const TesterPlace& place) {
  ListedTester t{place};
  OpenOutcome opened = OpenTester(options, place);
  if (opened.status == OpenStatus::Busy) {
    t.reason = FirstLine(kTesterInUseText);
  } else if (opened.status != OpenStatus::Ok) {
    t.reason = FirstLine(kUnableToConnectText) + " (" + opened.detail + ")";
    t.help = opened.help;
  } else if (!commands::GetVersion(opened.link->Port().Channel(), &t.hw, &t.fw)) {
    t.reason = FirstLine(kUnableToConnectText) + " (no answer from the tester)";
  } else {
    t.answered = true;
    if (const wchar_t* refusal = TesterVersionMessage(t.hw, t.fw)) t.reason = FirstLine(refusal);
  }
  return t;
}

int ReadSource(Session& s, PortStatus* source) {
  if (!commands::GetPortStatus(s.channel, &source->attach, &source->activeIndex, &source->kind, &source->subKind,
                               &source->voltageMv, &source->currentMa, &source->extra)) {
    return Fail(s.Name() + ": the tester did not answer the status request");
  }
  return kExitOk;
}

// status and profiles over several testers, one after the other: a block
// (or a JSON object) per tester, a tester left out or failing included.
int ForEachTester(const CliOptions& options, int (*print)(const CliOptions&, Session&)) {
  std::vector<TesterPlace> places;
  if (const int code = ChooseTesters(options, &places)) return code;
  std::vector<TesterEnd> ends(places.size());
  for (size_t i = 0; i < places.size(); ++i) {
    const TesterPlace& place = places[i];
    if (i > 0 && !options.json) std::printf("\n");
    Session s;
    FailHeading heading(place.serial.empty() ? place.path : place.serial);
    TesterEnd& end = ends[i];
    if (ConnectOneOf(options, place, &s, &end) == kExitOk) end.code = print(options, s);
    if (end.code == kExitOk) continue;
    end.message = heading.LastMessage();
    if (options.json) {
      json j = TesterIdentityJson(place.serial, place.path);
      j[end.leftOut ? "skipped" : "error"] = end.leftOut ? end.leftOutText : end.message;
      PrintJson(stdout, j);
    } else {
      PrintTable(stdout,
                 {{"Tester", s.Name()},
                  {end.leftOut ? "Skipped" : "Error", end.leftOut ? end.leftOutText : end.message}},
                 false);
    }
    std::fflush(stdout);
  }
  return WorstExitCode(ends);
}

}  // namespace

int RunList(const CliOptions& options) {
  std::vector<TesterPlace> places;
  std::string error;
  if (!options.platform.port.empty()) {
    places.push_back(PlaceOfPort(options.platform));
  } else if (!ListTesters(options, &places, &error)) {
    return Fail(error);
  }
  json rows = json::array();
  std::vector<std::vector<std::string>> table = {{"SERIAL", "MODEL", "HARDWARE", "FIRMWARE", "USABLE", "DEVICE"}};
  std::vector<std::string> helps;  // below the table: what a tester that cannot be opened needs
  for (const TesterPlace& place : places) {
    const ListedTester t = Probe(options, place);
    json row = TesterIdentityJson(place.serial, place.path);
    row["usable"] = t.reason.empty();
    if (t.answered) {
      row["model"] = TesterModelName(t.hw);
      row["hardwareRevision"] = VersionText(t.hw);
      row["firmwareVersion"] = VersionText(t.fw);
    }
    if (!t.reason.empty()) row["reason"] = t.reason;
    if (!t.help.empty()) row["fix"] = t.help;
    if (!t.help.empty()) helps.push_back((place.path.empty() ? place.serial : place.path) + ": " + t.help);
    rows.push_back(row);
    table.push_back({place.serial.empty() ? "?" : place.serial, t.answered ? TesterModelName(t.hw) : "-",
                     t.answered ? VersionText(t.hw) : "-", t.answered ? VersionText(t.fw) : "-",
                     t.reason.empty() ? "yes" : "no: " + t.reason, place.path});
  }
  // Testers without a device (Windows, --sim) need no device column.
  if (std::all_of(places.begin(), places.end(), [](const TesterPlace& p) { return p.path.empty(); })) {
    for (auto& row : table) row.pop_back();
  }
  if (options.json) PrintJson(stdout, rows);
  if (places.empty()) return Fail(FirstLine(kNoTesterText));
  if (!options.json) PrintTable(stdout, table, true);
  std::fflush(stdout);
  for (const std::string& help : helps) std::fprintf(stderr, "loadpost-cli: %s\n", help.c_str());
  return kExitOk;
}

namespace {

// The status of a connected tester, as a table or a JSON object.
int PrintStatus(const CliOptions& options, Session& s) {
  PortStatus source;
  if (const int code = ReadSource(s, &source)) return code;
  Measurements m;
  if (!commands::GetMeasurements(s.channel, &m.temperatureC, &m.vbusMv, &m.setpointMa, &m.currentMa,
                                 &m.loopbackMa)) {
    return Fail(s.Name() + ": the tester did not answer the measurement request");
  }
  // What a command that was killed may have left: the load above, the limit mode here.
  uint32_t mode = 0;
  uint16_t ceiling = 0;
  const bool modeRead = commands::ReadLimitMode(s.channel, &mode, &ceiling) != 0;
  const std::string modeText =
      mode == ForceLimit ? Format("force (%u mA)", static_cast<unsigned>(ceiling)) : LimitModeName(mode);
  const bool attached = source.attach == 1;
  const double volts = VoltsFromMv(m.vbusMv);
  const double watts = WattsOf(m.vbusMv, m.currentMa);
  const std::string profile = attached ? ProfileName(source.kind, source.subKind) : "";
  if (options.json) {
    json j = TesterIdentityJson(s.place.serial, s.place.path);
    j.update(json{{"model", TesterModelName(s.hardwareRevision)},
                  {"attached", attached},
                  {"profile", profile},
                  {"ratedCurrentMa", source.currentMa},
                  {"vbusV", volts},
                  {"currentMa", m.currentMa},
                  {"setpointMa", m.setpointMa},
                  {"loopbackMa", m.loopbackMa},
                  {"powerW", watts},
                  {"temperatureC", m.temperatureC},
                  {"limitMode", modeRead ? json(LimitModeName(mode)) : json(nullptr)}});
    PrintJson(stdout, j);
    return kExitOk;
  }
  PrintTable(stdout,
             {{"Tester", s.Name() + " (" + TesterModelName(s.hardwareRevision) + ", hardware " +
                             VersionText(s.hardwareRevision) + ", firmware " + VersionText(s.firmwareVersion) + ")"},
              {"Source", attached ? "attached" : "not attached"},
              {"Profile", attached ? profile : "-"},
              {"Rated current", Format("%dmA", static_cast<int>(source.currentMa))},
              {"VBUS", Format("%.3f V", volts)},
              {"Current", Format("%d mA", static_cast<int>(m.currentMa))},
              {"Loopback", Format("%d mA", static_cast<int>(m.loopbackMa))},
              {"Power", Format("%.3f W", watts)},
              {"Temperature", Format("%d C", static_cast<int>(m.temperatureC))},
              {"Limit mode", modeRead ? modeText : "-"}},
             false);
  return kExitOk;
}

}  // namespace

int RunStatus(const CliOptions& options) {
  if (options.Several()) return ForEachTester(options, PrintStatus);
  Session s;
  if (const int code = ConnectTester(options, &s)) return code;
  return PrintStatus(options, s);
}

namespace {

// The capability list of a connected tester's source, as a table or JSON: a
// list of rows for one tester, an object with its rows for each of several.
int PrintProfiles(const CliOptions& options, Session& s) {
  PortStatus source;
  if (const int code = ReadSource(s, &source)) return code;
  if (source.attach != 1) return Fail(s.Name() + ": no source is attached");
  PdoList list;
  if (!commands::GetSourceCapabilities(s.channel, &list)) {
    return Fail(s.Name() + ": the tester did not answer the capability request");
  }
  json rows = json::array();
  std::vector<std::vector<std::string>> table = {{"", "ROW", "PROFILE", "MAX CURRENT"}};
  for (int i = 0; i < list.count; ++i) {
    const PdoEntry& e = list.entries[i];
    wchar_t text[kProfileTextChars];
    FormatProfileListText(e, s.hardwareRevision, text, kProfileTextChars);
    const bool active = i == source.activeIndex;
    rows.push_back({{"row", i},
                    {"text", Narrow(text)},
                    {"name", ProfileName(e.Kind(), e.SubKind())},
                    {"programmable", e.IsProgrammable()},
                    {"minMv", e.minMv},
                    {"maxMv", e.maxMv},
                    {"maxCurrentMa", e.maxCurrentMa},
                    {"active", active}});
    table.push_back({active ? "*" : "", std::to_string(i), Narrow(text), Format("%dmA", e.maxCurrentMa)});
  }
  if (options.json && options.Several()) {
    json j = TesterIdentityJson(s.place.serial, s.place.path);
    j["profiles"] = rows;
    PrintJson(stdout, j);
  } else if (options.json) {
    PrintJson(stdout, rows);
  } else {
    if (options.Several()) std::printf("%s (%s)\n", s.Name().c_str(), TesterModelName(s.hardwareRevision));
    PrintTable(stdout, table, true);
  }
  return kExitOk;
}

}  // namespace

int RunProfiles(const CliOptions& options) {
  if (options.Several()) return ForEachTester(options, PrintProfiles);
  Session s;
  if (const int code = ConnectTester(options, &s)) return code;
  return PrintProfiles(options, s);
}
