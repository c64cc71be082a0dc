// One run of the graph window, as plain portable code: the chart set-up of
// both graphs, the sweep's category fill, the status line, the real-time
// series with its compaction and acceptable band, and the test thread's body.
//
// The Win32 graph window (graph_window_win.cpp) owns the dialog and the thread;
// it hands RunGraphTest a host with the display callbacks and a RunLink to the
// monitor, so the same steps run for a command line and in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/chart/line_chart.h"
#include "core/graphs/sweep_plan.h"
#include "core/graphs/voltage_window.h"
#include "core/link/reading_feed.h"
#include "core/base/tester_state.h"

// Texts of the graph window.
constexpr const wchar_t* kRealtimeWindowTitle = L"Graph - Real time voltage & ripple";
constexpr const wchar_t* kSweepWindowTitle = L"Graph - Voltage vs. Current sweep";
constexpr const wchar_t* kSweepChartTitle = L"Voltage vs. Current";
constexpr const wchar_t* kCurrentAxisTitle = L"Current (mA)";
constexpr const wchar_t* kVoltageAxisTitle = L"Voltage";
constexpr const wchar_t* kRealtimeAxisTitle = L"100 msecs - 1000 samples per second";
constexpr const wchar_t* kSweepStartLine = L"Start Voltage vs. Current Test";
constexpr const wchar_t* kSweepEndLine = L"End Voltage vs. Current Test";

// The real-time graph shows the last 100 ms.
constexpr float kRealtimeSpanMs = 100.0f;
// The sweep starts once the measured current is this low, looking every 100 ms.
constexpr uint16_t kSweepIdleCurrentMa = 50;
constexpr uint32_t kSweepIdlePollMs = 100;
// Running extremes at the start of a test.
constexpr float kMinVoltsStart = 100.0f;
constexpr float kMaxVoltsStart = 0.0f;

constexpr size_t kGraphStatusChars = 96;

// The y axis of a run: whole volts and the number of divisions.
struct GraphAxis {
  int32_t minVolts = 0;
  int32_t maxVolts = 6;
  int divisions = 12;
};

// Real-time graphs and Quick Charge and PD sweeps centre the axis on the
// profile voltage in whole volts, +-2 V with 8 divisions (a 9 V profile gives
// 7..11 V); other sweeps (5 V ports, Type-C, legacy) span 0..6 V with 12.
GraphAxis ChooseGraphAxis(uint32_t graphMode, uint32_t profileKind, uint16_t profileVoltageMv);

// What a run is set up from, taken from the tester's state when the chart is
// set up (CurrentGraphSetupInputs) so that a run, its drawing and its exports
// keep the values they started with.
struct GraphSetupInputs {
  uint32_t graphMode = RealTime;
  uint32_t profileKind = 0;
  uint8_t profileSubKind = 0;
  bool estimateUpstream = false;
  uint16_t maxLoadCurrentMa = 0;
  uint16_t ratedCurrentMa = 0;
  uint16_t profileVoltageMv = 0;
  uint16_t loadSetpointMa = 0;
  uint16_t currentStepMa = 25;
  uint16_t timeStepMs = 500;
};
GraphSetupInputs CurrentGraphSetupInputs(const TesterState& state);

// How a run ended. Anything but Complete and Stopped is an incomplete run: it
// is logged as an ERROR and the status line says so.
enum class RunEnd : uint8_t {
  Running,   // not ended yet
  Complete,  // the sweep reached its last step
  Stopped,   // Stop (the real-time graph's normal end)
  Detached,  // the source went away
  LinkLost,  // the tester went away or stopped answering
  TimedOut,  // no fitting reading came in time
};
// The ERROR record of an incomplete run ("Test ended: ..."), or null.
const wchar_t* RunEndRecord(RunEnd end);

// Everything one graph run shares between its test thread and its drawing.
// The extremes are read by the window thread (status line, PNG).
struct GraphSession {
  LineChart* chart = nullptr;  // the chart of the open graph window
  // The sweep's tables: the session's own unless pointed elsewhere.
  SweepTables ownTables{};
  SweepTables* tables = &ownTables;
  uint32_t mode = RealTime;
  GraphAxis axis;
  uint16_t sweepEndMa = 0;      // copy of the load ceiling (bounded to the tables)
  uint16_t sweepRatedMa = 0;    // rated current of the profile
  uint16_t sweepProfileMv = 0;  // its voltage
  uint16_t currentStepMa = 25;
  uint16_t timeStepMs = 500;
  // The run's own profile and settings, for its verdicts, regions and band.
  uint32_t profileKind = 0;
  uint8_t profileSubKind = 0;
  bool estimateUpstream = false;
  uint16_t maxLoadCurrentMa = 0;
  // The load set-point the tester reported during the run ("Set Current").
  Shared<uint16_t> setpointMa{0};
  Shared<float> minVolts{kMinVoltsStart};
  Shared<float> maxVolts{kMaxVoltsStart};
  Shared<RunEnd> end{RunEnd::Running};

  // Steps of the sweep: sweepEndMa / currentStepMa + 1.
  int StepCount() const { return SweepStepCount(sweepEndMa, currentStepMa); }
  // The voltage window of the run at a load.
  VoltageWindowInputs WindowInputs(uint16_t setpointMa, uint16_t measuredMa) const;
};

// Sets up `chart` for a run and records the run's values in `session`: the
// copies of the ceiling, rating and profile voltage, the y range, no plot fill,
// the grid, a black trace, the titles, the x range 0..ceiling, the sweep's
// category mode and x divisions, one series, and both sweep tables cleared for
// the n + 1 entries 0..n with the chart loaded from them.
void SetUpGraphChart(GraphSession& session, LineChart& chart, const GraphSetupInputs& in);

// Hands `count` table values to a series of the chart in category mode, each
// slot labelled with its current (stepMa x i, decimal), then sets the count,
// no dots and a 2-pixel line.
void LoadSweepIntoChart(LineChart& chart, const float* values, int count, int series, uint16_t stepMa);

// The status line: "Minimum:%.2fV   Maximum:%.2fV" for the sweep, with
// "   Ripple:%.2fV" (maximum - minimum) added for the real-time graph. An
// incomplete run adds "   Incomplete: <why>" (alone while nothing was measured).
void FormatGraphStatus(wchar_t* out, size_t outChars, uint32_t mode, float minVolts, float maxVolts,
                       RunEnd end = RunEnd::Running);

// Adds a real-time sample at tMs (milliseconds since the run began, kept in
// double so that samples a millisecond apart stay apart after days) to series
// 0. A full series is compacted first: only the samples of the last 100 ms
// before tMs stay, rewritten from index 0 (or, should every stored sample lie
// within that span, the newer half). Returns the chart's AddPoint result for
// the sample (0 = stored).
int AddRealtimeSample(LineChart& chart, double tMs, float volts);

// The acceptable band of the real-time graph, clamped to the axis. No window,
// or a window entirely off the axis, gives the empty band (0, 0), which the
// chart does not draw.
struct BandRange {
  float low = 0.0f;
  float high = 0.0f;
};
BandRange RealtimeBand(const std::optional<VoltageWindow>& window, const GraphAxis& axis);

// What a run's exports and drawing use: the run's own values, never those of
// the moment (a new ceiling, profile or load after the run changes nothing).
// The CSV file of the session's sweep (its own step and end current).
std::string RunCsv(const GraphSession& session);
// The inputs of the sweep's regions.
SweepRegionInputs RunRegionInputs(const GraphSession& session);
// The voltage window of the real-time graph at the run's set-point (the
// set-point also stands for the measured current), and its band on the axis.
std::optional<VoltageWindow> RunWindow(const GraphSession& session);
BandRange RunBand(const GraphSession& session);

// --- The test thread -----------------------------------------------------------

// What a run needs of the monitor: load requests, fresh readings and the
// events that end it. ThreadedRunLink and SyncRunLink (graphs/run_link.h) are
// the two kinds.
class RunLink {
 public:
  virtual ~RunLink() = default;
  // The state of the tester the run drives (its graph flags).
  virtual TesterState& State() = 0;
  virtual int64_t NowUs() = 0;
  // The run starts following here: earlier readings and events do not count.
  virtual void Begin() = 0;
  // Asks the monitor for this load (it sends it on its next pass).
  virtual void RequestLoad(uint16_t currentMa) = 0;
  // Lets `ms` pass. Stop, Detached or LinkLost when one of them ended it early,
  // None when the time passed.
  virtual FeedEvent Hold(uint32_t ms) = 0;
  // The next reading after the last one handed out (Reading, into *out), or
  // the event that came first, or None when `ms` passed without either.
  virtual FeedEvent NextReading(uint32_t ms, Reading* out) = 0;
};

// Bounds of a run's waits.
constexpr uint32_t kSweepPrepareLimitMs = 10000;  // for the current to fall before the first step
constexpr uint32_t kStepReadingLimitMs = 3000;    // for a step's reading after its hold time
constexpr uint32_t kRealtimeReadingLimitMs = 2000;  // between two real-time readings

// What the test thread needs from its surroundings for display. Every callback
// gets `context`; none of them may wait for the window thread.
struct GraphTestHost {
  void* context = nullptr;
  // Start of a run: redraw the window.
  void (*begin)(void* context) = nullptr;
  void (*log)(void* context, const wchar_t* text, int32_t category) = nullptr;
  // The status line has a new text.
  void (*showStatus)(void* context, const wchar_t* text) = nullptr;
};

// The body of a graph run for the session's mode, over `link`. Ends with the
// tester's graph.testFinished = graph.testStopped = 1 and session.end set; the
// caller then tells the window.
//
// Sweep: asks for 0 mA and waits for a reading at 0 mA with at most 50 mA
// flowing; logs the start line; then for each step asks for its load, holds it
// timeStepMs, and records, judges and logs the first reading that reports the
// step's set-point and was taken after the hold. A step whose reading does not
// come within kStepReadingLimitMs ends the run. At the end it asks for 0 mA and
// logs the end line. Real-time: adds every reading to series 0 at its own time
// and moves the x range along with the last 100 ms until Stop.
// Stop ends a run at once; a detach, a lost link or a missing reading end it
// with an ERROR record, the incomplete status line, and tables that hold only
// the steps measured.
//
// A command line runs it on its own thread with a SyncRunLink (the monitor's
// passes then run inside the waits), or beside a monitor thread with a
// ThreadedRunLink, as the window does.
void RunGraphTest(GraphSession& session, const GraphTestHost& host, RunLink& link);
