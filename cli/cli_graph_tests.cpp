#include "cli/cli_graph_tests.h"

#include <algorithm>
#include <map>

#include "core/graphs/direct_run_link.h"
#include "core/report/chart_svg.h"
#include "core/base/tester_state.h"

namespace {

// A run's link, watched: it ends a capture after its time, keeps what the run
// was handed, shows the steps, and ends the run as a detach when the source
// re-advertises its capabilities (it is back on its first profile: what
// follows would be judged against the wrong one).
class WatchedLink : public RunLink {
 public:
  WatchedLink(RunLink& inner, Progress& progress, const CoreSession& session)
      : inner_(inner), progress_(progress), session_(session) {}

  int64_t captureUs = 0;                 // > 0: a capture of this long, ended by Stop
  bool timeUp = false;                   // the capture ran its full time
  std::vector<Reading>* samples = nullptr;
  int64_t beginUs = 0;
  uint16_t stepMa = 0;                   // sweep: the current step, for the progress line
  int stepCount = 0;
  std::map<uint16_t, uint16_t> measuredAt;  // sweep: set-point -> current measured with its step's reading
  int maxTemperatureC = -1;              // the highest temperature read during the run

  TesterState& State() override { return inner_.State(); }
  int64_t NowUs() override { return inner_.NowUs(); }
  void Begin() override {
    inner_.Begin();
    beginUs = inner_.NowUs();
  }
  void RequestLoad(uint16_t ma) override {
    // The run asks for the next load right after taking a step's reading: the
    // last reading it was handed is that step's.
    if (haveLast_ && !measuredAt.count(last_.setpointMa)) measuredAt[last_.setpointMa] = last_.currentMa;
    if (stepMa > 0 && stepCount > 0) progress_.Step(ma / stepMa + 1, stepCount);
    inner_.RequestLoad(ma);
  }
  FeedEvent Hold(uint32_t ms) override {
    if (session_.SourceChanged()) return FeedEvent::Detached;
    const FeedEvent e = inner_.Hold(ms);
    progress_.Tick();
    return e;
  }
  FeedEvent NextReading(uint32_t ms, Reading* out) override {
    if (session_.SourceChanged()) return FeedEvent::Detached;
    if (captureUs > 0) {
      const int64_t left = beginUs + captureUs - NowUs();
      if (left <= 0) return TimeUp();
      if (static_cast<int64_t>(ms) * 1000 > left) ms = static_cast<uint32_t>((left + 999) / 1000);
    }
    const FeedEvent e = inner_.NextReading(ms, out);
    progress_.Tick();
    if (e == FeedEvent::Reading) {
      last_ = *out;
      haveLast_ = true;
      maxTemperatureC = std::max(maxTemperatureC, static_cast<int>(out->temperatureC));
      if (samples && out->timeUs >= beginUs) samples->push_back(*out);
    } else if (e == FeedEvent::None && captureUs > 0 && NowUs() >= beginUs + captureUs) {
      return TimeUp();
    }
    return e;
  }

 private:
  FeedEvent TimeUp() {
    timeUp = true;
    return FeedEvent::Stop;
  }

  RunLink& inner_;
  Progress& progress_;
  const CoreSession& session_;
  Reading last_;
  bool haveLast_ = false;
};

void StartRun(TesterState& S, uint32_t mode) {
  S.graph.graphMode = mode;
  S.graph.testStopped = 0;
  S.graph.testFinished = 0;
}

}  // namespace

const char* RunEndText(RunEnd end) {
  switch (end) {
    case RunEnd::Detached: return "the source was detached";
    case RunEnd::LinkLost: return "the connection to the tester was lost";
    case RunEnd::TimedOut: return "no reading from the tester in time";
    case RunEnd::Stopped: return "stopped by the user";
    default: return "";
  }
}

RippleCapture CaptureRipple(CoreSession& session, LineChart& chart, double seconds, Progress& progress,
                            std::vector<Reading>* samples, int64_t* startUs) {
  GraphSession run;
  SweepTables tables;
  run.tables = &tables;
  TesterState& S = session.State();
  StartRun(S, RealTime);
  SetUpGraphChart(run, chart, CurrentGraphSetupInputs(S));
  DirectRunLink direct(session.Core(), session.Port());
  WatchedLink link(direct, progress, session);
  link.captureUs = static_cast<int64_t>(seconds * 1e6);
  std::vector<Reading> taken;
  link.samples = samples ? samples : &taken;
  progress.Phase("ripple");
  const GraphTestHost host;
  RunGraphTest(run, host, link);

  RippleCapture c;
  c.done = true;
  c.end = run.end == RunEnd::Stopped && link.timeUp ? RunEnd::Complete : run.end.load();
  c.samples = static_cast<int>(link.samples->size());
  c.seconds = static_cast<double>(link.NowUs() - link.beginUs) / 1e6;
  if (startUs) *startUs = link.beginUs;
  c.minVolts = run.minVolts;
  c.maxVolts = run.maxVolts;
  c.setpointMa = run.setpointMa;
  c.maxTemperatureC = link.maxTemperatureC;
  c.window = RunWindow(run);
  c.verdict = c.samples > 0 ? JudgeRipple(c.minVolts, c.maxVolts, c.window) : Verdict::None;
  return c;
}

SweepRecord RunSweepTest(CoreSession& session, LineChart& chart, Progress& progress) {
  GraphSession run;
  SweepTables tables;
  run.tables = &tables;
  TesterState& S = session.State();
  StartRun(S, Sweep);
  S.RecomputeMaxLoadCurrent();
  SetUpGraphChart(run, chart, CurrentGraphSetupInputs(S));
  DirectRunLink direct(session.Core(), session.Port());
  WatchedLink link(direct, progress, session);
  link.stepMa = run.currentStepMa;
  link.stepCount = run.StepCount();
  progress.Phase("sweep");
  progress.Step(1, link.stepCount);
  const GraphTestHost host;
  RunGraphTest(run, host, link);
  // The run asked the monitor for 0 mA; the tester gets it now, before anything
  // else (a profile change) happens.
  if (S.live.portReady) session.Core().SetLoad(0);

  SweepRecord s;
  s.done = true;
  s.end = run.end;
  s.currentStepMa = run.currentStepMa;
  s.timeStepMs = run.timeStepMs;
  s.endMa = run.sweepEndMa;
  s.ratedMa = run.sweepRatedMa;
  s.maxTemperatureC = link.maxTemperatureC;
  s.stepCount = run.StepCount();
  std::vector<uint16_t> measured;
  for (int i = 0; i < s.stepCount; ++i) {
    const uint16_t ma = static_cast<uint16_t>(i * run.currentStepMa);
    const auto found = link.measuredAt.find(ma);
    measured.push_back(found != link.measuredAt.end() ? found->second : ma);
  }
  s.judgement = JudgeSweep(run, tables, measured);
  s.csv = RunCsv(run);
  s.svg = GraphSvgElement(run, chart);
  return s;
}
