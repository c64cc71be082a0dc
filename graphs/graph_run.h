// One run of the graph window, as plain portable code: the chart set-up of
// both graphs, the sweep's category fill, the status line, the real-time
// series with its compaction and acceptable band, and the test thread's body.
//
// The Win32 graph window (graph_window_win.cpp) owns the dialog and the thread;
// it hands RunGraphTest a host with the waits, the clock and the display
// callbacks, so the test's steps can also run against a scripted host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "chart/line_chart.h"
#include "graphs/sweep_plan.h"
#include "graphs/voltage_window.h"
#include "shell/shared_state.h"

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

// What a run is set up from, taken from the shared state when the chart is set
// up (CurrentGraphSetupInputs) so that a run and its drawing keep the values
// they started with.
struct GraphSetupInputs {
  uint32_t graphMode = RealTime;
  uint32_t profileKind = 0;
  uint16_t maxLoadCurrentMa = 0;
  uint16_t ratedCurrentMa = 0;
  uint16_t profileVoltageMv = 0;
  uint16_t currentStepMa = 25;
  uint16_t timeStepMs = 500;
};
GraphSetupInputs CurrentGraphSetupInputs();

// Everything one graph window run shares between its test thread and its
// drawing. The extremes are read by the window thread (status line, PNG).
struct GraphSession {
  LineChart* chart = nullptr;  // the chart of the open graph window
  SweepTables* tables = &sweepTables;
  uint32_t mode = RealTime;
  GraphAxis axis;
  uint16_t sweepEndMa = 0;      // copy of the load ceiling (bounded to the tables)
  uint16_t sweepRatedMa = 0;    // rated current of the profile
  uint16_t sweepProfileMv = 0;  // its voltage
  uint16_t currentStepMa = 25;
  uint16_t timeStepMs = 500;
  Shared<float> minVolts{kMinVoltsStart};
  Shared<float> maxVolts{kMaxVoltsStart};

  // Steps of the sweep: sweepEndMa / currentStepMa + 1.
  int StepCount() const { return SweepStepCount(sweepEndMa, currentStepMa); }
};

// The session of the graph window.
extern GraphSession graphSession;

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
// "   Ripple:%.2fV" (maximum - minimum) added for the real-time graph.
void FormatGraphStatus(wchar_t* out, size_t outChars, uint32_t mode, float minVolts, float maxVolts);

// Milliseconds between two performance-counter readings: the tick difference
// times 1000 as a 64-bit integer, divided by the frequency in double.
double CounterToMs(int64_t counter, int64_t start, int64_t frequency);

// Adds a real-time sample to series 0. A full series is compacted first: only
// the samples of the last 100 ms before tMs stay, rewritten from index 0 (or,
// should every stored sample lie within that span, the newer half). Returns the
// chart's AddPoint result for the sample (0 = stored).
int AddRealtimeSample(LineChart& chart, float tMs, float volts);

// The acceptable band of the real-time graph, clamped to the axis. No window,
// or a window entirely off the axis, gives the empty band (0, 0), which the
// chart does not draw.
struct BandRange {
  float low = 0.0f;
  float high = 0.0f;
};
BandRange RealtimeBand(const std::optional<VoltageWindow>& window, const GraphAxis& axis);

// --- The test thread -----------------------------------------------------------

enum class TestWake {
  Timeout,   // the wait ran out
  Stop,      // the Stop button (stopEvent)
  Detached,  // the source was detached (portDetachedEvent)
};

// What the test thread needs from its surroundings. Every callback gets
// `context`. None of them may wait for the window thread.
struct GraphTestHost {
  void* context = nullptr;
  // Waits at most `ms` for the stop or the detach signal.
  TestWake (*wait)(void* context, uint32_t ms) = nullptr;
  // Clears both signals and redraws the window (start of a run).
  void (*begin)(void* context) = nullptr;
  // Starts the run's clock; elapsedMs then answers the time since.
  void (*startClock)(void* context) = nullptr;
  double (*elapsedMs)(void* context) = nullptr;
  void (*log)(void* context, const wchar_t* text, int32_t category) = nullptr;
  // The status line has a new text.
  void (*showStatus)(void* context, const wchar_t* text) = nullptr;
};

// The body of TestThread for the session's mode. Reads vbusVolts and
// measuredCurrentMa from `live`, asks for loads through requests.requestedLoadMa
// then requests.loadRequestPending, and watches graph.testStopped. Ends with
// graph.testFinished = graph.testStopped = 1; the caller then tells the window.
//
// Sweep: asks for 0 mA and waits (in 100 ms looks, watching both signals) until
// the measured current is at most 50 mA; logs the start line; records step 0;
// then for each step waits timeStepMs, records and judges the reading, logs the
// step's line, and asks for the next current until the ceiling is passed, Stop
// is pressed or the source is detached; then asks for 0 mA and logs the end
// line. Real-time: samples vbusVolts about every millisecond into series 0 and
// moves the x range along with the last 100 ms until Stop or a detach.
void RunGraphTest(GraphSession& session, const GraphTestHost& host);
