#include "graphs/graph_run.h"

#include <cwchar>

GraphSession graphSession;

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

GraphSetupInputs CurrentGraphSetupInputs() {
  GraphSetupInputs in;
  in.graphMode = graph.graphMode;
  in.profileKind = live.profileKind;
  in.maxLoadCurrentMa = config.maxLoadCurrentMa;
  in.ratedCurrentMa = live.ratedCurrentMa;
  in.profileVoltageMv = live.profileVoltageMv;
  in.currentStepMa = config.currentStepMa;
  in.timeStepMs = config.timeStepMs;
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

void FormatGraphStatus(wchar_t* out, size_t outChars, uint32_t mode, float minVolts, float maxVolts) {
  if (!out || outChars == 0) return;
  if (mode == RealTime) {
    std::swprintf(out, outChars, L"Minimum:%.2fV   Maximum:%.2fV   Ripple:%.2fV", static_cast<double>(minVolts),
                  static_cast<double>(maxVolts), static_cast<double>(maxVolts - minVolts));
  } else {
    std::swprintf(out, outChars, L"Minimum:%.2fV   Maximum:%.2fV", static_cast<double>(minVolts),
                  static_cast<double>(maxVolts));
  }
  out[outChars - 1] = 0;
}

double CounterToMs(int64_t counter, int64_t start, int64_t frequency) {
  if (frequency <= 0) return 0.0;
  const int64_t scaled = (counter - start) * 1000;
  return static_cast<double>(scaled) / static_cast<double>(frequency);
}

int AddRealtimeSample(LineChart& chart, float tMs, float volts) {
  int result = chart.AddPoint(0, tMs, volts);
  if (result != 1) return result;

  // Full: keep the samples of the last 100 ms, rewritten from index 0.
  int count = chart.pointCount[0];
  if (count > kMaxPoints) count = kMaxPoints;
  if (count < 0) count = 0;
  const double threshold = static_cast<double>(tMs - kRealtimeSpanMs);
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

// --- The test thread -----------------------------------------------------------

namespace {

void RequestLoad(uint16_t currentMa) {
  requests.requestedLoadMa = currentMa;
  requests.loadRequestPending = 1;
}

class TestRun {
 public:
  TestRun(GraphSession& session, const GraphTestHost& host)
      : s_(session),
        host_(host),
        chart_(session.chart),
        sweep_(session.mode == Sweep),
        n_(session.StepCount()) {}

  void Run() {
    Start();
    const TestWake prepared = Prepare();
    if (host_.startClock) host_.startClock(host_.context);
    if (sweep_) Log(kSweepStartLine, 4);

    SweepTables& t = *s_.tables;
    if (prepared == TestWake::Detached) {
      MarkSweepStepLost(t, 0, s_.axis.minVolts);
    } else {
      const float v = live.vbusVolts;
      t.volts[0] = v;
      t.plot[0] = v;
    }

    if (prepared == TestWake::Timeout && !graph.testStopped) Loop();

    if (sweep_) {
      RequestLoad(0);
      Log(kSweepEndLine, 4);
    }
    graph.testFinished = 1;
    graph.testStopped = 1;
  }

 private:
  void Start() {
    s_.maxVolts = kMaxVoltsStart;
    s_.minVolts = kMinVoltsStart;
    ClearSweepEntries(*s_.tables, 0, n_ - 2);
    if (chart_) LoadSweepIntoChart(*chart_, s_.tables->plot, n_, 0, s_.currentStepMa);
    if (host_.begin) host_.begin(host_.context);
  }

  // Sweep: the load goes to 0 and the run waits until the source no longer
  // delivers current; Stop and a detach end that wait. Real-time: an empty
  // series. Answers how the preparation ended (Timeout = ready).
  TestWake Prepare() {
    if (!sweep_) {
      if (chart_) chart_->SetPointCount(0, 0);
      return TestWake::Timeout;
    }
    RequestLoad(0);
    while (live.measuredCurrentMa > kSweepIdleCurrentMa) {
      if (graph.testStopped) return TestWake::Stop;
      const TestWake wake = Wait(kSweepIdlePollMs);
      if (wake == TestWake::Stop) return wake;
      if (wake == TestWake::Detached) {
        graph.testStopped = 1;
        return wake;
      }
    }
    return TestWake::Timeout;
  }

  void Loop() {
    SweepTables& t = *s_.tables;
    int stepCurrentMa = 0;
    for (;;) {
      const TestWake wake = Wait(sweep_ ? s_.timeStepMs : 1);
      const float v = live.vbusVolts;
      const int index = SweepStepIndex(static_cast<uint16_t>(stepCurrentMa), s_.currentStepMa);
      if (wake == TestWake::Stop) break;
      if (wake == TestWake::Timeout) {
        if (sweep_) RecordSweepStep(t, index, n_, v, s_.axis.minVolts);
      } else {
        graph.testStopped = 1;
        if (sweep_) MarkSweepStepLost(t, index, s_.axis.minVolts);
      }
      TrackExtremes(v);

      if (sweep_) {
        const SweepStepLine line =
            JudgeSweepStep(v, static_cast<uint16_t>(stepCurrentMa), ComputeVoltageWindow(CurrentVoltageWindowInputs()));
        Log(line.text, line.category);
        if (chart_) LoadSweepIntoChart(*chart_, t.plot, n_, 0, s_.currentStepMa);
        stepCurrentMa += s_.currentStepMa;
        if (stepCurrentMa > s_.sweepEndMa || s_.currentStepMa == 0) break;
        if (!graph.testStopped) RequestLoad(static_cast<uint16_t>(stepCurrentMa));
      } else if (chart_) {
        const float elapsed = host_.elapsedMs ? static_cast<float>(host_.elapsedMs(host_.context)) : 0.0f;
        AddRealtimeSample(*chart_, elapsed, live.vbusVolts);
        chart_->SetXAxisTitle(kRealtimeAxisTitle, 2);
        if (elapsed > kRealtimeSpanMs) chart_->SetXRange(elapsed - kRealtimeSpanMs, elapsed);
      }
      if (graph.testStopped) break;
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
    if (changed && host_.showStatus) {
      wchar_t text[kGraphStatusChars];
      FormatGraphStatus(text, kGraphStatusChars, s_.mode, s_.minVolts, s_.maxVolts);
      host_.showStatus(host_.context, text);
    }
  }

  TestWake Wait(uint32_t ms) { return host_.wait ? host_.wait(host_.context, ms) : TestWake::Timeout; }

  void Log(const wchar_t* text, int32_t category) {
    if (host_.log) host_.log(host_.context, text, category);
  }

  GraphSession& s_;
  const GraphTestHost& host_;
  // The run keeps the chart it started with: the window frees a chart only
  // after the run has ended.
  LineChart* const chart_;
  const bool sweep_;
  const int n_;
};

}  // namespace

void RunGraphTest(GraphSession& session, const GraphTestHost& host) {
  TestRun run(session, host);
  run.Run();
}
