#include "core/graphs/graph_run.h"

#include "core/graphs/sweep_csv.h"

#include <cwchar>

GraphAxis ChooseGraphAxis(uint32_t graphMode, uint32_t profileKind, uint16_t profileVoltageMv) {
  GraphAxis axis;
  if (profileKind == 5 || profileKind == 3 || graphMode == RealTime) {
    const int32_t wholeVolts = profileVoltageMv / 1000;
    axis.minVolts = wholeVolts - 2;
    axis.maxVolts = wholeVolts + 2;
    axis.divisions = 8;
  } else {
    axis.minVolts = 0;
    axis.maxVolts = 6;
    axis.divisions = 12;
  }
  return axis;
}

GraphSetupInputs CurrentGraphSetupInputs(const TesterState& state) {
  GraphSetupInputs in;
  in.graphMode = state.graph.graphMode;
  in.profileKind = state.live.profileKind;
  in.profileSubKind = state.live.profileSubKind;
  in.estimateUpstream = state.config.estimateUpstream != 0;
  in.loadSetpointMa = state.live.loadSetpointMa;
  in.maxLoadCurrentMa = state.config.maxLoadCurrentMa;
  in.ratedCurrentMa = state.live.ratedCurrentMa;
  in.profileVoltageMv = state.live.profileVoltageMv;
  in.currentStepMa = state.config.currentStepMa;
  in.timeStepMs = state.config.timeStepMs;
  return in;
}

void LoadSweepIntoChart(LineChart& chart, const float* values, int count, int series, uint16_t stepMa) {
  if (series < 0 || series >= kMaxSeries || !values) return;
  if (count > kMaxPoints) count = kMaxPoints;
  wchar_t label[32];
  for (int i = 0; i < count; ++i) {
    chart.SetCategoryValue(series, i, values[i]);
    std::swprintf(label, 32, L"%llu", static_cast<unsigned long long>(stepMa) * static_cast<unsigned long long>(i));
    chart.SetCategoryLabel(i, label);
  }
  chart.SetCategoryCount(series, count);
  chart.showDots[series] = 0;
  chart.lineWidth[series] = 2;
}

void SetUpGraphChart(GraphSession& session, LineChart& chart, const GraphSetupInputs& in) {
  const bool sweep = in.graphMode == Sweep;
  session.chart = &chart;
  session.mode = in.graphMode;
  session.currentStepMa = in.currentStepMa;
  session.timeStepMs = in.timeStepMs;
  session.sweepEndMa = BoundSweepEndMa(in.maxLoadCurrentMa, in.currentStepMa);
  session.sweepRatedMa = in.ratedCurrentMa;
  session.sweepProfileMv = in.profileVoltageMv;
  session.profileKind = in.profileKind;
  session.profileSubKind = in.profileSubKind;
  session.estimateUpstream = in.estimateUpstream;
  session.maxLoadCurrentMa = in.maxLoadCurrentMa;
  session.setpointMa = in.loadSetpointMa;
  session.end = RunEnd::Running;
  session.axis = ChooseGraphAxis(in.graphMode, in.profileKind, in.profileVoltageMv);

  chart.SetPlotColours(0, 0, 0);
  chart.SetBackgroundImage(nullptr);
  chart.showGrid = 1;
  chart.gridLineWidth = 1;
  chart.seriesColour[0] = 0;
  if (sweep) chart.SetTitle(kSweepChartTitle);
  chart.SetXAxisTitle(kCurrentAxisTitle, 0);
  chart.SetYAxisTitle(kVoltageAxisTitle);
  chart.SetXRange(0.0, static_cast<double>(session.sweepEndMa));
  chart.SetYRange(static_cast<float>(session.axis.minVolts), static_cast<float>(session.axis.maxVolts));
  chart.SetYDivisions(session.axis.divisions);
  chart.showXLabels = 0;
  if (sweep) {
    chart.categoryMode = 1;
    chart.SetXDivisions(SweepXDivisions(session.sweepEndMa, session.currentStepMa));
  } else {
    chart.categoryMode = 0;
  }
  chart.SetSeriesCount(1);

  const int n = session.StepCount();
  ClearSweepEntries(*session.tables, 0, n);
  LoadSweepIntoChart(chart, session.tables->plot, n, 0, session.currentStepMa);
}

const wchar_t* RunEndRecord(RunEnd end) {
  switch (end) {
    case RunEnd::Detached: return L"Test ended: the source was detached";
    case RunEnd::LinkLost: return L"Test ended: the connection to the tester was lost";
    case RunEnd::TimedOut: return L"Test ended: no reading from the tester in time";
    default: return nullptr;
  }
}

namespace {

const wchar_t* IncompleteText(RunEnd end) {
  switch (end) {
    case RunEnd::Detached: return L"Incomplete: source detached";
    case RunEnd::LinkLost: return L"Incomplete: tester lost";
    case RunEnd::TimedOut: return L"Incomplete: no reading in time";
    default: return nullptr;
  }
}

}  // namespace

VoltageWindowInputs GraphSession::WindowInputs(uint16_t loadMa, uint16_t measuredMa) const {
  VoltageWindowInputs in;
  in.profileKind = profileKind;
  in.profileSubKind = profileSubKind;
  in.profileVoltageMv = sweepProfileMv;
  in.loadSetpointMa = loadMa;
  in.measuredCurrentMa = measuredMa;
  in.estimateUpstream = estimateUpstream;
  in.maxLoadCurrentMa = maxLoadCurrentMa;
  return in;
}

void FormatGraphStatus(wchar_t* out, size_t outChars, uint32_t mode, float minVolts, float maxVolts, RunEnd end) {
  if (!out || outChars == 0) return;
  const wchar_t* incomplete = IncompleteText(end);
  if (incomplete && minVolts > maxVolts) {
    std::swprintf(out, outChars, L"%ls", incomplete);
  } else if (mode == RealTime) {
    std::swprintf(out, outChars, L"Minimum:%.2fV   Maximum:%.2fV   Ripple:%.2fV%ls%ls", static_cast<double>(minVolts),
                  static_cast<double>(maxVolts), static_cast<double>(maxVolts - minVolts), incomplete ? L"   " : L"",
                  incomplete ? incomplete : L"");
  } else {
    std::swprintf(out, outChars, L"Minimum:%.2fV   Maximum:%.2fV%ls%ls", static_cast<double>(minVolts),
                  static_cast<double>(maxVolts), incomplete ? L"   " : L"", incomplete ? incomplete : L"");
  }
  out[outChars - 1] = 0;
}

int AddRealtimeSample(LineChart& chart, double tMs, float volts) {
  int result = chart.AddPoint(0, tMs, volts);
  if (result != 1) return result;

  // Full: keep the samples of the last 100 ms, rewritten from index 0.
  int count = chart.pointCount[0];
  if (count > kMaxPoints) count = kMaxPoints;
  if (count < 0) count = 0;
  const double threshold = tMs - kRealtimeSpanMs;
  int kept = 0;
  for (int i = 0; i < count; ++i) {
    const ChartPoint p = chart.points[0][i];
    if (p.x >= threshold) chart.SetPoint(0, kept++, p.x, p.y);
  }
  if (kept >= count) {
    // Every sample lies within the span (a clock that stood still): keep the
    // newer half so that the series takes samples again.
    const int keep = count / 2;
    for (int k = 0; k < keep; ++k) {
      const ChartPoint p = chart.points[0][count - keep + k];
      chart.SetPoint(0, k, p.x, p.y);
    }
    kept = keep;
  }
  chart.SetPointCount(0, kept);
  return chart.AddPoint(0, tMs, volts);
}

BandRange RealtimeBand(const std::optional<VoltageWindow>& window, const GraphAxis& axis) {
  BandRange band;
  if (!window) return band;
  float low = window->low;
  float high = window->high;
  const float axisLow = static_cast<float>(axis.minVolts);
  const float axisHigh = static_cast<float>(axis.maxVolts);
  if (low < axisLow) low = axisLow;
  if (high > axisHigh) high = axisHigh;
  if (!(low < high)) return band;
  band.low = low;
  band.high = high;
  return band;
}

std::string RunCsv(const GraphSession& session) {
  return BuildSweepCsv(session.tables->volts, kSweepTableSize, session.currentStepMa, session.sweepEndMa);
}

SweepRegionInputs RunRegionInputs(const GraphSession& session) {
  SweepRegionInputs in;
  in.profileKind = session.profileKind;
  in.profileSubKind = session.profileSubKind;
  in.estimateUpstream = session.estimateUpstream;
  in.sweepEndMa = session.sweepEndMa;
  in.sweepRatedMa = session.sweepRatedMa;
  in.sweepProfileMv = session.sweepProfileMv;
  in.axisMinVolts = session.axis.minVolts;
  in.axisMaxVolts = session.axis.maxVolts;
  return in;
}

std::optional<VoltageWindow> RunWindow(const GraphSession& session) {
  const uint16_t load = session.setpointMa;
  return ComputeVoltageWindow(session.WindowInputs(load, load));
}

BandRange RunBand(const GraphSession& session) { return RealtimeBand(RunWindow(session), session.axis); }

// --- The test thread -----------------------------------------------------------

namespace {

RunEnd EndOf(FeedEvent e) {
  switch (e) {
    case FeedEvent::Stop: return RunEnd::Stopped;
    case FeedEvent::Detached: return RunEnd::Detached;
    case FeedEvent::LinkLost: return RunEnd::LinkLost;
    default: return RunEnd::TimedOut;
  }
}

class TestRun {
 public:
  TestRun(GraphSession& session, const GraphTestHost& host, RunLink& link)
      : s_(session), host_(host), link_(link), graph_(link.State().graph), chart_(session.chart),
        sweep_(session.mode == Sweep), n_(session.StepCount()) {}

  void Run() {
    Start();
    link_.Begin();
    const RunEnd end = sweep_ ? RunSweep() : RunRealtime();
    graph_.capturing = 0;
    s_.end = end;
    if (const wchar_t* record = RunEndRecord(end)) {
      Log(record, 3);
      ShowStatus();
    }
    if (sweep_) {
      link_.RequestLoad(0);
      Log(kSweepEndLine, 4);
    }
    graph_.testFinished = 1;
    graph_.testStopped = 1;
  }

 private:
  void Start() {
    s_.maxVolts = kMaxVoltsStart;
    s_.minVolts = kMinVoltsStart;
    s_.end = RunEnd::Running;
    ClearSweepEntries(*s_.tables, 0, n_ - 2);
    if (chart_) LoadSweepIntoChart(*chart_, s_.tables->plot, n_, 0, s_.currentStepMa);
    if (!sweep_ && chart_) chart_->SetPointCount(0, 0);
    if (host_.begin) host_.begin(host_.context);
  }

  // The next reading, or how the wait ended (Stop also when the flag was set
  // without a signal).
  FeedEvent Next(int64_t untilUs, Reading* r) {
    const int64_t left = untilUs - link_.NowUs();
    const FeedEvent e = link_.NextReading(left > 0 ? static_cast<uint32_t>((left + 999) / 1000) : 0, r);
    return graph_.testStopped && e != FeedEvent::Detached && e != FeedEvent::LinkLost ? FeedEvent::Stop : e;
  }

  RunEnd RunSweep() {
    // The source first stops delivering current at 0 mA.
    link_.RequestLoad(0);
    const int64_t prepareUntil = link_.NowUs() + static_cast<int64_t>(kSweepPrepareLimitMs) * 1000;
    RunEnd prepared = RunEnd::Running;
    for (Reading r; prepared == RunEnd::Running;) {
      const FeedEvent e = Next(prepareUntil, &r);
      if (e != FeedEvent::Reading) {
        prepared = EndOf(e);
      } else if (r.setpointMa == 0 && r.currentMa <= kSweepIdleCurrentMa) {
        break;
      }
    }
    Log(kSweepStartLine, 4);
    if (prepared != RunEnd::Running) return prepared;

    SweepTables& t = *s_.tables;
    for (int i = 0; i < n_; ++i) {
      const uint16_t ma = static_cast<uint16_t>(i * s_.currentStepMa);
      if (i > 0) link_.RequestLoad(ma);
      const int64_t heldUntil = link_.NowUs() + static_cast<int64_t>(s_.timeStepMs) * 1000;
      const FeedEvent held = link_.Hold(s_.timeStepMs);
      if (held != FeedEvent::None) return EndOf(held);
      if (graph_.testStopped) return RunEnd::Stopped;
      // The step's reading: taken after its hold, with its set-point applied.
      const int64_t readUntil = link_.NowUs() + static_cast<int64_t>(kStepReadingLimitMs) * 1000;
      Reading r;
      for (;;) {
        const FeedEvent e = Next(readUntil, &r);
        if (e != FeedEvent::Reading) return EndOf(e);
        if (r.setpointMa == ma && r.timeUs >= heldUntil) break;
      }
      const float v = r.Volts();
      RecordSweepStep(t, i, n_, v, s_.axis.minVolts);
      s_.setpointMa = r.setpointMa;
      TrackExtremes(v);
      // The window logs every step outside the voltage window as an error; the
      // grey regions are drawn for the reader to judge.
      const SweepStepLine line = JudgeSweepStep(v, ma, ComputeVoltageWindow(s_.WindowInputs(ma, r.currentMa)));
      Log(line.text, line.category);
      if (chart_) LoadSweepIntoChart(*chart_, t.plot, n_, 0, s_.currentStepMa);
    }
    return RunEnd::Complete;
  }

  RunEnd RunRealtime() {
    // Readings are the product here: the monitor keeps the line busy.
    graph_.capturing = 1;
    const int64_t startUs = link_.NowUs();
    for (;;) {
      Reading r;
      const FeedEvent e = Next(link_.NowUs() + static_cast<int64_t>(kRealtimeReadingLimitMs) * 1000, &r);
      if (e != FeedEvent::Reading) return EndOf(e);
      if (r.timeUs < startUs) continue;
      const float v = r.Volts();
      s_.setpointMa = r.setpointMa;
      TrackExtremes(v);
      if (!chart_) continue;
      const double tMs = static_cast<double>(r.timeUs - startUs) / 1000.0;
      AddRealtimeSample(*chart_, tMs, v);
      chart_->SetXAxisTitle(kRealtimeAxisTitle, 2);
      if (tMs > kRealtimeSpanMs) chart_->SetXRange(tMs - kRealtimeSpanMs, tMs);
    }
  }

  void TrackExtremes(float v) {
    bool changed = false;
    if (v > s_.maxVolts) {
      s_.maxVolts = v;
      changed = true;
    }
    if (v < s_.minVolts) {
      s_.minVolts = v;
      changed = true;
    }
    if (changed) ShowStatus();
  }

  void ShowStatus() {
    if (!host_.showStatus) return;
    wchar_t text[kGraphStatusChars];
    FormatGraphStatus(text, kGraphStatusChars, s_.mode, s_.minVolts, s_.maxVolts, s_.end);
    host_.showStatus(host_.context, text);
  }

  void Log(const wchar_t* text, int32_t category) {
    if (host_.log) host_.log(host_.context, text, category);
  }

  GraphSession& s_;
  const GraphTestHost& host_;
  RunLink& link_;
  GraphFlags& graph_;
  // The run keeps the chart it started with: the window frees a chart only
  // after the run has ended.
  LineChart* const chart_;
  const bool sweep_;
  const int n_;
};

}  // namespace

void RunGraphTest(GraphSession& session, const GraphTestHost& host, RunLink& link) {
  TestRun run(session, host, link);
  run.Run();
}
