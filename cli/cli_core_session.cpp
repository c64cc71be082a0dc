#include "cli/cli_core_session.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstdlib>

#include "cli/cli_output.h"
#include "link/profile_text.h"
#include "report/report_plan.h"
#include "shell/tester_state.h"

namespace {

constexpr uint32_t kSwitchWaitMs = 5000;  // a profile or voltage change

}  // namespace

CoreSession::~CoreSession() {
  if (!finished_) Finish(false);
}

bool CoreSession::UserStopped() const { return session_.link && session_.link->Clock().Stopped(); }

std::string CoreSession::Broken() const {
  const TesterState& S = session_.state;
  if (UserStopped()) return "stopped by the user";
  if (!S.live.testerConnected || !session_.link || !session_.link->Port().IsOpen()) {
    return "the connection to the tester was lost";
  }
  if (sourceSeen_ && !S.live.portReady) return "the source was detached";
  return "";
}

int CoreSession::Open(const CliOptions& options, const LimitOptions& limits, uint16_t currentStepMa,
                      uint16_t timeStepMs) {
  TesterState& S = session_.state;
  uint32_t mode = EnforceLimits;
  uint16_t forcedIndex = 0;
  if (const std::string why = CheckLimits(limits, &mode, &forcedIndex); !why.empty()) return Fail(why);
  if (const int code = ConnectTester(options, &session_)) return code;
  // The program's own settings, which the first ready pass writes to the tester.
  S.config.limitMode = mode;
  S.config.forcedLimitIndex = forcedIndex;
  S.config.currentStepMa = currentStepMa;
  S.config.timeStepMs = timeStepMs;
  limitsChanged_ = mode != EnforceLimits;
  finished_ = false;
  // Between tests the monitor runs its quick passes, as during a real-time graph.
  S.graph.graphMode = RealTime;
  S.graph.testStopped = 0;
  if (const int code = AwaitSource(session_)) return code;
  sourceSeen_ = true;
  return kExitOk;
}

bool CoreSession::PassUntil(uint32_t ms, const std::function<bool()>& done) {
  TesterState& S = session_.state;
  const int64_t until = Clock().NowUs() + static_cast<int64_t>(ms) * 1000;
  // Between tests the monitor runs its quick passes, as during a real-time graph.
  S.graph.graphMode = RealTime;
  S.graph.testStopped = 0;
  for (;;) {
    if (!Broken().empty()) return false;
    Core().Pass();
    if (!Broken().empty()) return false;
    if (done() && Port().PendingNotice() == 0) return true;
    if (Clock().NowUs() >= until) return false;
  }
}

std::string CoreSession::Switch(int row, uint16_t voltageMv, uint16_t toleranceMv) {
  TesterState& S = session_.state;
  // The source's status as it is now: a change asked for just before (a run
  // stopped part-way) shows in it at once.
  if (!PassUntil(kSwitchWaitMs, [] { return true; })) {
    const std::string why = Broken();
    return why.empty() ? "the tester did not report the source's status" : why;
  }
  const PdoList list = S.GetPdoList();
  if (row < 0 || row >= list.count) return Format("row %d is not in the capability list", row);
  const PdoEntry entry = list.entries[row];
  // The voltage the row request asks for, as the source settles it: the
  // source reports it when its change is done (VBUS no longer ramping).
  uint8_t position = 0;
  uint16_t sentMv = entry.minMv;
  ProfileRequestFor(list, row, S.live.profileKind, S.live.profileSubKind, session_.hardwareRevision, &position, &sentMv);
  const int rowMv = entry.minMv == entry.maxMv ? entry.minMv : std::clamp<int>(sentMv, entry.minMv, entry.maxMv);
  const int rowTolerance = VoltageToleranceMv(entry);
  auto onRow = [&S, row, entry] {
    const uint16_t mv = S.live.profileVoltageMv;
    return S.live.activePdoIndex == row && mv >= entry.minMv && mv <= entry.maxMv;
  };
  auto settledOnRow = [&] { return onRow() && std::abs(S.live.profileVoltageMv - rowMv) <= rowTolerance; };
  auto failed = [&](const std::string& what) {
    const std::string why = Broken();
    return why.empty() ? "the source did not switch to " + what : why;
  };
  // A refused or failed request: the link or source gone says more than the
  // request's own message.
  auto refused = [&](const CommandResult& r) {
    const std::string why = Broken();
    return why.empty() ? FirstLine(r.message.c_str()) : why;
  };
  if (!onRow()) {
    const CommandResult r = Core().RequestProfileRow(row);
    if (!r.ok) return refused(r);
    if (!PassUntil(kSwitchWaitMs, settledOnRow)) return failed(Format("row %d", row));
  }
  if (voltageMv == 0) return "";
  auto there = [&] { return onRow() && std::abs(S.live.profileVoltageMv - voltageMv) <= toleranceMv; };
  if (!there()) {
    const CommandResult r = Core().RequestVoltage(voltageMv);
    if (!r.ok) return refused(r);
    if (!PassUntil(kSwitchWaitMs, there)) return failed(Format("%u mV", static_cast<unsigned>(voltageMv)));
  }
  return "";
}

std::string CoreSession::BackToFirstRow() {
  TesterState& S = session_.state;
  // Direct commands rather than the monitor's passes: after Ctrl-C the core
  // only measures, and this must still happen.
  const PdoList list = S.GetPdoList();
  const PdoEntry& first = list.entries[0];
  const CommandChannel& channel = Port().Channel();
  uint8_t position = static_cast<uint8_t>(first.ObjectPosition());
  uint16_t mv = first.minMv;
  if (!first.IsProgrammable()) {
    ProfileRequestFor(list, 0, S.live.profileKind, S.live.profileSubKind, session_.hardwareRevision, &position, &mv);
  }
  // A programmable first row is left at its lowest voltage.
  const int target = first.IsProgrammable() ? first.minMv : std::clamp<int>(mv, first.minMv, first.maxMv);
  const int tolerance = VoltageToleranceMv(first);
  PortStatus p;
  const auto read = [&] {
    return commands::GetPortStatus(channel, &p.attach, &p.activeIndex, &p.kind, &p.subKind, &p.voltageMv,
                                   &p.currentMa, &p.extra);
  };
  if (read() && p.attach == 1 && p.activeIndex == 0 && std::abs(p.voltageMv - target) <= tolerance) return "";
  if (!commands::RequestProfile(channel, position, mv)) return "the tester did not take the request";
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSwitchWaitMs);
  while (std::chrono::steady_clock::now() < until) {
    if (read()) {
      if (p.attach != 1) return "the source was detached";
      if (p.activeIndex == 0 && std::abs(p.voltageMv - target) <= tolerance) return "";
    } else if (!Port().IsOpen()) {
      return "the connection to the tester was lost";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "the source did not switch to row 0";
}

std::string CoreSession::Finish(bool firstProfile) {
  TesterState& S = session_.state;
  if (finished_ || !session_.core) return "";
  finished_ = true;
  std::string problem;
  if (Port().IsOpen()) {
    // Nothing left waiting may raise the load again.
    S.requests.requestedLoadMa = 0;
    S.requests.loadRequestPending = 0;
    const CommandChannel& channel = Port().Channel();
    if (!commands::SetLoadCurrent(channel, 0) && !commands::SetLoadCurrent(channel, 0)) {
      problem = "could not set the load back to 0 mA (the tester did not answer)";
    }
  }
  if (firstProfile && problem.empty() && Port().IsOpen() && S.live.portReady && S.GetPdoList().count > 0) {
    if (const std::string why = BackToFirstRow(); !why.empty()) problem = "could not put the source back on row 0: " + why;
  }
  if (limitsChanged_ && Port().IsOpen()) {
    S.config.limitMode = EnforceLimits;
    S.RecomputeMaxLoadCurrent();
    if (!commands::WriteTesterSettings(Port().Channel(), SettingsFromConfig(S))) {
      problem += std::string(problem.empty() ? "" : "; ") + "could not set the tester back to enforced limits";
    }
  }
  return problem;
}
