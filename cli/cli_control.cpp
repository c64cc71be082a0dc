// request: the window's rules for profile and voltage requests, through the
// monitor core.
#include "cli/cli_commands.h"
#include "cli/cli_output.h"
#include "core/link/monitor_core.h"
#include "core/link/profile_text.h"
#include "core/base/tester_state.h"

namespace {

constexpr int64_t kSwitchWaitUs = 3'000'000;

// Runs the monitor until the source reports `done`, or the time is up.
template <typename Done>
int AwaitSwitch(Session& s, Done&& done, const std::string& what) {
  TesterState& S = s.state;
  MonitorClock& clock = s.link->Clock();
  const int64_t start = clock.NowUs();
  while (clock.NowUs() - start < kSwitchWaitUs && !clock.Stopped()) {
    s.core->Pass();
    if (!S.live.testerConnected) return FailWith(s, kLinkLostText);
    if (!S.live.portReady) return Fail(s.Name() + ": the source was detached");
    if (done()) return kExitOk;
  }
  return Fail(s.Name() + ": the source did not switch to " + what);
}

void PrintActive(const CliOptions& options, Session& s) {
  TesterState& S = s.state;
  const int row = S.live.activePdoIndex;
  wchar_t text[kProfileTextChars];
  FormatProfileListText(S.GetPdoList().EntryAt(row), s.hardwareRevision, text, kProfileTextChars);
  const int mv = S.live.profileVoltageMv;
  if (options.json) {
    PrintJson(stdout, {{"row", row}, {"text", Narrow(text)}, {"voltageMv", mv}});
  } else {
    std::printf("Active row %d: %s, %d mV\n", row, Narrow(text).c_str(), mv);
    std::fflush(stdout);
  }
}

}  // namespace

int RunRequest(const CliOptions& options, const RequestOptions& request) {
  if ((request.row < 0) == (request.voltageMv < 0)) return Fail("request: give a ROW or --voltage MV");
  Session s;
  TesterState& S = s.state;
  if (const int code = ConnectTester(options, &s)) return code;
  if (const int code = AwaitSource(s)) return code;
  const PdoList list = S.GetPdoList();
  if (request.row >= 0) {
    const int row = request.row;
    if (row >= list.count) {
      return Fail(Format("row %d is not in the capability list (rows 0 to %d)", row, list.count - 1));
    }
    const CommandResult r = s.core->RequestProfileRow(row);
    if (!r.ok) return FailWith(s, r.message);
    const PdoEntry& entry = list.entries[row];
    const auto switched = [&] {
      return S.live.activePdoIndex == row && (entry.IsProgrammable() || S.live.profileVoltageMv == entry.minMv);
    };
    if (const int code = AwaitSwitch(s, switched, Format("row %d", row))) return code;
    PrintActive(options, s);
    return kExitOk;
  }
  const CommandResult r = s.core->RequestVoltage(request.voltageMv);
  if (!r.ok) return FailWith(s, r.message);
  const auto mv = static_cast<uint16_t>(request.voltageMv);
  // Quick Charge moves in 200 mV steps, PPS in 20 mV steps.
  const auto reached = [&] { return std::abs(S.live.profileVoltageMv - mv) < 200; };
  if (const int code = AwaitSwitch(s, reached, Format("%d mV", mv))) return code;
  PrintActive(options, s);
  return kExitOk;
}
