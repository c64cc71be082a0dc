#include "cli/cli_serve_tester.h"

#include <memory>

#include "cli/cli_end.h"
#include "cli/cli_graph_tests.h"
#include "cli/cli_output.h"
#include "core/link/profile_text.h"
#include "core/base/tester_state.h"

namespace {

constexpr int64_t kIdlePassUs = 250'000;       // how often the core follows the source between commands
constexpr int64_t kFirstReadUs = 3'000'000;    // how long Open waits for the source to be read
constexpr uint16_t kVoltageToleranceMv = 199;  // Quick Charge moves in 200 mV steps, PPS in 20 mV steps
constexpr int kSettingsPasses = 8;

std::string Why(const CommandResult& r) { return r.ok ? "" : FirstLine(r.message.c_str()); }

}  // namespace

int SessionTester::Open(const CliOptions& options, const TesterPlace& place) {
  Session& s = session_.Tester();
  s.place = place;
  s.placeGiven = true;
  if (const int code = ConnectTester(options, &s)) return code;
  // The server starts the tester on enforced limits, written by the first
  // pass with a source.
  S().config.limitMode = EnforceLimits;
  S().config.forcedLimitIndex = 0;
  S().RecomputeMaxLoadCurrent();
  S().requests.configPending = 1;
  QuickPasses();
  MonitorClock& clock = s.link->Clock();
  const int64_t start = clock.NowUs();
  while (S().live.testerConnected && !clock.Stopped() && clock.NowUs() - start < kFirstReadUs &&
         (!S().live.portReady || s.core->SettingsOwed())) {
    s.core->Pass();
  }
  if (!S().live.testerConnected) return FailWith(s, kLinkLostText);
  lastPassUs_ = clock.NowUs();
  return kExitOk;
}

void SessionTester::QuickPasses() {
  S().graph.graphMode = RealTime;
  S().graph.testStopped = 0;
}

void SessionTester::Idle() {
  Session& s = session_.Tester();
  MonitorClock& clock = s.link->Clock();
  // A lost link stays lost: a pass would only wait for a tester that is gone.
  if (!S().live.testerConnected || clock.Stopped() || clock.NowUs() - lastPassUs_ < kIdlePassUs) return;
  s.core->Pass();
  lastPassUs_ = clock.NowUs();
}

void SessionTester::StopRun() { S().graph.testStopped = 1; }

TesterIdentity SessionTester::Identity() {
  const Session& s = session_.Tester();
  TesterIdentity id;
  id.model = TesterModelName(s.hardwareRevision);
  id.serial = s.place.serial;
  id.firmware = VersionText(s.firmwareVersion);
  return id;
}

uint8_t SessionTester::HardwareRevision() { return session_.Tester().hardwareRevision; }

std::optional<Reading> SessionTester::Measure() {
  if (!S().live.testerConnected) return std::nullopt;
  return session_.Core().Measure();
}

bool SessionTester::SourceAttached() { return S().live.testerConnected && S().live.portReady; }

uint16_t SessionTester::RatedMa() { return S().live.ratedCurrentMa; }

std::string SessionTester::SetLoad(uint16_t ma) {
  if (!S().live.testerConnected) return FirstLine(kLinkLostText);
  if (ma != 0) return Why(session_.Core().SetLoad(ma));
  // 0 mA goes out with or without a source, and nothing waiting may raise it again.
  S().requests.requestedLoadMa = 0;
  S().requests.loadRequestPending = 0;
  const CommandChannel& channel = session_.Port().Channel();
  if (commands::SetLoadCurrent(channel, 0) || commands::SetLoadCurrent(channel, 0)) return "";
  return "the tester did not take the load of 0 mA";
}

std::string SessionTester::SetLimits(uint32_t mode, uint16_t forcedIndex) {
  Session& s = session_.Tester();
  if (!S().live.testerConnected) return FirstLine(kLinkLostText);
  if (mode != EnforceLimits) limitsRelaxed_ = true;  // from here on the tester may hold them
  S().config.limitMode = mode;
  S().config.forcedLimitIndex = forcedIndex;
  S().RecomputeMaxLoadCurrent();
  if (!S().live.portReady) {
    // The monitor writes settings only to a tester with a source: sent
    // directly now, and again by the first pass with a source.
    S().requests.configPending = 1;
    return commands::WriteTesterSettings(session_.Port().Channel(), SettingsFromConfig(S()))
               ? ""
               : FirstLine(kSettingsNotWrittenText);
  }
  S().requests.configPending = 1;
  for (int pass = 0; pass < kSettingsPasses && S().live.testerConnected &&
                     (S().requests.configPending || s.core->SettingsOwed());
       ++pass) {
    s.core->Pass();
  }
  return s.core->SettingsOwed() || S().requests.configPending ? FirstLine(kSettingsNotWrittenText) : "";
}

PdoList SessionTester::Profiles() { return S().GetPdoList(); }
int SessionTester::ActiveRow() { return S().live.activePdoIndex; }
uint16_t SessionTester::ProfileMv() { return S().live.profileVoltageMv; }

std::string SessionTester::SelectRow(int row) {
  // The window's rules (a KT-40 refuses PPS rows) come with the core's request.
  const std::string why = session_.Switch(row, 0, 0);
  QuickPasses();
  return why;
}

std::string SessionTester::SetVoltage(long long mv) {
  if (!SourceAttached()) return FirstLine(kNoSourceText);
  // A value no tester takes: the core's own check refuses it before anything is sent.
  if (mv < 0 || mv > 0xFFFF) return Why(session_.Core().RequestVoltage(mv));
  const std::string why = session_.Switch(S().live.activePdoIndex, static_cast<uint16_t>(mv), kVoltageToleranceMv);
  QuickPasses();
  return why;
}

double SessionTester::CapacityMah() { return S().live.capacityMah; }
double SessionTester::CapacityMwh() { return S().live.capacityMwh; }
void SessionTester::ResetCapacity() { session_.Core().ResetCapacity(); }

RippleCapture SessionTester::Ripple(double seconds, std::string* problem) {
  auto chart = std::make_unique<LineChart>();
  Progress progress(runTick_);
  const RippleCapture c = CaptureRipple(session_, *chart, seconds, progress, nullptr, nullptr);
  QuickPasses();
  if (c.end != RunEnd::Complete) *problem = session_.EndText(c.end);
  return c;
}

SweepRecord SessionTester::Sweep(uint16_t currentStepMa, uint16_t timeStepMs, std::string* problem) {
  S().config.currentStepMa = currentStepMa;
  S().config.timeStepMs = timeStepMs;
  auto chart = std::make_unique<LineChart>();
  Progress progress(runTick_);
  SweepRecord s = RunSweepTest(session_, *chart, progress);
  // The run ends at 0 mA through the core; said again directly, as a stop or detach may have cut it short.
  const std::string why = SetLoad(0);
  QuickPasses();
  if (s.end != RunEnd::Complete) *problem = session_.EndText(s.end);
  if (!why.empty()) *problem += (problem->empty() ? "" : "; ") + why;
  return s;
}

std::string SessionTester::SafeEnd() {
  Session& s = session_.Tester();
  if (!s.link) return "the connection to the tester was lost";
  // The command line's one safe end; the profile stays as the client left it.
  EndPlan plan;
  plan.limitsChanged = limitsRelaxed_;
  plan.hardwareRevision = s.hardwareRevision;
  const std::string problem = EndSafely(S(), session_.Port(), plan);
  if (problem.empty()) limitsRelaxed_ = false;
  // The program's own settings say enforced too, whatever the tester was found holding.
  S().config.limitMode = EnforceLimits;
  S().RecomputeMaxLoadCurrent();
  QuickPasses();
  return problem;
}
