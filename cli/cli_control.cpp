// request and load: the window's rules for profile, voltage and load requests.
#include "cli/cli_commands.h"
#include "cli/cli_output.h"
#include "link/profile_text.h"
#include "shell/shared_state.h"

namespace {

constexpr unsigned kNoticeNewProfileBit = 1u << 2;
constexpr unsigned kNoticeDetachedBit = 1u << 1;
constexpr unsigned kSwitchWaitMs = 3000;

struct Port {
  PortStatus status;
  PdoList list;
};

int ReadPort(Session& s, Port* port, bool needList) {
  PortStatus& p = port->status;
  if (!commands::GetPortStatus(s.channel, &p.attach, &p.activeIndex, &p.kind, &p.subKind, &p.voltageMv,
                               &p.currentMa, &p.extra)) {
    return Fail(s.Name() + ": the tester did not answer the status request");
  }
  if (p.attach != 1) return Fail(s.Name() + ": no source is attached");
  if (needList && !commands::GetSourceCapabilities(s.channel, &port->list)) {
    return Fail(s.Name() + ": the tester did not answer the capability request");
  }
  return kExitOk;
}

// Waits until the source reports `done` of its status, or the time is up.
template <typename Done>
int AwaitSwitch(Session& s, Port* port, Done&& done, const std::string& what) {
  for (unsigned waited = 0; waited <= kSwitchWaitMs; waited += 100) {
    if (const int code = ReadPort(s, port, false)) return code;
    if (done(port->status)) return kExitOk;
    s.link->Wait(100);
    if (s.link->TakeNotices() & kNoticeDetachedBit) return Fail(s.Name() + ": the source was detached");
  }
  return Fail(s.Name() + ": the source did not switch to " + what);
}

void PrintActive(const CliOptions& options, Session& s, const Port& port) {
  const PdoEntry& e = port.list.EntryAt(port.status.activeIndex);
  wchar_t text[kProfileTextChars];
  FormatProfileListText(e, s.hardwareRevision, text, kProfileTextChars);
  if (options.json) {
    PrintJson(stdout, {{"row", port.status.activeIndex}, {"text", Narrow(text)}, {"voltageMv", port.status.voltageMv}});
  } else {
    std::printf("Active row %d: %s, %d mV\n", port.status.activeIndex, Narrow(text).c_str(), port.status.voltageMv);
    std::fflush(stdout);
  }
}

}  // namespace

int RunRequest(const CliOptions& options, const RequestOptions& request) {
  if ((request.row < 0) == (request.voltageMv < 0)) return Fail("request: give a ROW or --voltage MV");
  Session s;
  if (const int code = ConnectTester(options, &s)) return code;
  Port port;
  if (const int code = ReadPort(s, &port, true)) return code;
  if (request.row >= 0) {
    if (request.row >= port.list.count) {
      return Fail(Format("row %d is not in the capability list (rows 0 to %d)", request.row, port.list.count - 1));
    }
    if (const wchar_t* refusal = ProfileRowRefusal(port.list, request.row, s.hardwareRevision)) {
      return Fail(FirstLine(refusal));
    }
    uint8_t position = 0;
    uint16_t mv = 0;
    ProfileRequestFor(port.list, request.row, port.status.kind, port.status.subKind, s.hardwareRevision, &position,
                      &mv);
    s.link->TakeNotices();
    if (!commands::RequestProfile(s.channel, position, mv)) return Fail(s.Name() + ": the tester did not take the request");
    const uint16_t wantedMv = port.list.entries[request.row].minMv;
    const bool programmable = port.list.entries[request.row].IsProgrammable();
    const int row = request.row;
    if (const int code = AwaitSwitch(
            s, &port,
            [&](const PortStatus& p) { return p.activeIndex == row && (programmable || p.voltageMv == wantedMv); },
            Format("row %d", row))) {
      return code;
    }
  } else {
    if (!IsProgrammableProfile(port.status.kind, port.status.subKind)) {
      return Fail(Format("the active profile (%s) is not programmable: request a programmable row first",
                         ProfileName(port.status.kind, port.status.subKind)));
    }
    const PdoEntry& entry = port.list.EntryAt(port.status.activeIndex);
    wchar_t message[96];
    if (!VoltageInEntryRange(entry, request.voltageMv, message, 96)) return Fail(FirstLine(message));
    const uint16_t mv = static_cast<uint16_t>(request.voltageMv);
    if (!commands::RequestProfile(s.channel, static_cast<uint8_t>(entry.ObjectPosition()), mv)) {
      return Fail(s.Name() + ": the tester did not take the request");
    }
    // Quick Charge moves in 200 mV steps, PPS in 20 mV steps.
    if (const int code = AwaitSwitch(
            s, &port, [&](const PortStatus& p) { return std::abs(p.voltageMv - mv) < 200; }, Format("%d mV", mv))) {
      return code;
    }
  }
  PrintActive(options, s, port);
  return kExitOk;
}
