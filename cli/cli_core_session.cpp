#include "cli/cli_core_session.h"

#include <algorithm>
#include <cstdlib>

#include "cli/cli_end.h"
#include "cli/cli_graph_tests.h"
#include "cli/cli_output.h"
#include "core/link/profile_text.h"
#include "core/report/report_plan.h"
#include "core/base/tester_state.h"

namespace {

constexpr uint32_t kSwitchWaitMs = 5000;  // a profile or voltage change

}  // namespace

CoreSession::~CoreSession() {
  // An early return or an exception: nobody else will tell what the end could not do.
  try {
    if (!finished_) {
      if (const std::string problem = Finish(); !problem.empty()) Fail(session_.Name() + ": " + problem);
    }
  } catch (...) {
  }
}

bool CoreSession::UserStopped() const { return session_.link && session_.link->Clock().Stopped(); }

bool CoreSession::SourceChanged() const {
  return session_.core && session_.core->CapabilityChanges() != capabilityChanges_;
}

std::string CoreSession::Broken() const {
  const TesterState& S = session_.state;
  if (UserStopped()) {
    const char* cause = StopCauseText(StopRequestCause());
    return *cause ? cause : "stopped by the user";
  }
  if (!S.live.testerConnected || !session_.link || !session_.link->Port().IsOpen()) {
    return "the connection to the tester was lost";
  }
  if (sourceSeen_ && SourceChanged()) return "the source re-advertised its capabilities";
  if (sourceSeen_ && !S.live.portReady) return "the source was detached";
  return "";
}

std::string CoreSession::EndText(RunEnd end) const {
  if (end == RunEnd::Stopped || (end == RunEnd::Detached && SourceChanged())) {
    if (const std::string why = Broken(); !why.empty()) return why;
  }
  return RunEndText(end);
}

int CoreSession::Open(const CliOptions& options, const LimitOptions& limits, uint16_t currentStepMa,
                      uint16_t timeStepMs, const std::function<int()>& sourceRead) {
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
  if (const int code = AwaitSource(session_, sourceRead)) return code;
  sourceSeen_ = true;
  startRow_ = S.live.activePdoIndex;
  startMv_ = S.live.profileVoltageMv;
  capabilityChanges_ = session_.core->CapabilityChanges();
  return kExitOk;
}

int CoreSession::OpenTester(const CliOptions& options) {
  if (const int code = ConnectTester(options, &session_)) return code;
  finished_ = false;
  return kExitOk;
}

int CoreSession::SetLoad(long long ma, const std::string& modeName) {
  TesterState& S = session_.state;
  constexpr long long kTopLoadMa = 5100;
  if (ma < 0 || ma > kTopLoadMa) return Fail(Format("load %lld mA is out of range (0 to %lld mA)", ma, kTopLoadMa));
  S.RecomputeMaxLoadCurrent();
  const uint16_t ceiling = S.config.maxLoadCurrentMa;
  if (ma > ceiling) {
    return Fail(Format("load %lld mA is above the ceiling of %d mA (limit mode %s, rated current %d mA)", ma,
                       ceiling, modeName.c_str(), static_cast<int>(S.live.ratedCurrentMa)));
  }
  const CommandResult r = Core().SetLoad(static_cast<uint16_t>(ma));
  return r.ok ? kExitOk : FailWith(session_, r.message);
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
    profileChanged_ = true;  // the request may reach the source even when its reply is lost
    const CommandResult r = Core().RequestProfileRow(row);
    if (!r.ok) return refused(r);
    if (!PassUntil(kSwitchWaitMs, settledOnRow)) return failed(Format("row %d", row));
  }
  if (voltageMv == 0) return "";
  auto there = [&] { return onRow() && std::abs(S.live.profileVoltageMv - voltageMv) <= toleranceMv; };
  if (!there()) {
    profileChanged_ = true;
    const CommandResult r = Core().RequestVoltage(voltageMv);
    if (!r.ok) return refused(r);
    if (!PassUntil(kSwitchWaitMs, there)) return failed(Format("%u mV", static_cast<unsigned>(voltageMv)));
  }
  return "";
}

std::string CoreSession::Finish() {
  if (finished_ || !session_.core) return "";
  finished_ = true;
  EndPlan plan;
  plan.limitsChanged = limitsChanged_;
  plan.hardwareRevision = session_.hardwareRevision;
  if (firstRowAtEnd_) {
    plan.profileRow = 0;
  } else if (profileChanged_ && !SourceChanged()) {  // rows of re-advertised capabilities mean something else
    plan.profileRow = startRow_;
    plan.profileMv = startMv_;
  }
  return EndSafely(session_.state, Port(), plan);
}
