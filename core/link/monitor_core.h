// The live monitor as portable code: one pass of the monitor loop (measure,
// carry out requests, follow notices and the port status), the connect step
// (version gate and settings read), and the single steps a command line calls,
// over a TesterPort, a MonitorClock and a MonitorView.
//
// It reads and writes the state of its tester (shell/tester_state.h: `live`,
// `requests`, `config`, `graph`, the capability list), which it is given and
// never shares with another core, logs through LogEvent, and publishes every
// reading into its ReadingFeed.
//
// Two ways to use it:
// - The window runs Pass() in a loop on its monitor thread; the user interface
//   and the graph test leave requests in the state's `requests`, and the graph
//   test follows the readings through Feed() (graphs/graph_run.h, ThreadedRunLink).
// - A command line calls, on one thread:
//     MonitorCore core(state, port, clock, view);  // view may be a MonitorView that ignores everything
//     ConnectResult c = core.Connect();      // version gate, settings read; refusal text if any
//     core.Pass() until state.live.portReady // reads the source (attach handling)
//     std::optional<Reading> r = core.Measure();
//     CommandResult s = core.SetLoad(ma);    // ceiling rules; held or failed loads say why
//     core.RequestProfileRow(row) / core.RequestVoltage(mv)
//     core.Pass() as often as it likes (follows notices, integrates capacity)
//   and runs a sweep or a ripple capture with RunGraphTest over a SyncRunLink,
//   which calls Pass() while the test waits. Capacity is in the state's
//   live.capacityMah and live.capacityMwh (ResetCapacity clears it).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/link/pdo.h"
#include "core/link/reading_feed.h"
#include "core/link/tester_commands.h"
#include "core/link/tester_port.h"
#include "core/base/tester_state.h"

// The result of a step: success, or why not in the program's own words.
struct CommandResult {
  bool ok = false;
  std::wstring message;  // empty on success
  static CommandResult Ok() { return {true, {}}; }
  static CommandResult Fail(std::wstring text) { return {false, std::move(text)}; }
};

struct ConnectResult {
  bool ok = false;
  // "Unable to connect to selected Loadpost device" (no answer to the version
  // request) or the version gate's refusal; empty when accepted.
  std::wstring message;
  uint8_t hardwareRevision = 0;
  uint8_t firmwareVersion = 0;
  // The tester's settings and which of them were read (SettingsReadMask).
  TesterSettings settings;
  int settingsRead = 0;
};

// What the monitor shows. Every call has an empty default, so a command line
// overrides only what it prints.
class MonitorView {
 public:
  virtual ~MonitorView() = default;
  virtual void ProfileName(const wchar_t* name) {}
  // The rated current and the load ceiling ("%dmA" each); the load slider's
  // range becomes 0..ceilingMa with the thumb at 0.
  virtual void RatedAndCeiling(uint16_t ratedMa, uint16_t ceilingMa) {}
  // The Voltage list is emptied and gets these rows; it is usable only with rows.
  virtual void ProfileRows(const std::vector<std::wstring>& rows) {}
  virtual void SelectRow(int row) {}
  // The Set Voltage controls: usable over entry's range when `entry` is set
  // (the active profile is programmable), else emptied and disabled.
  virtual void VoltageControls(const PdoEntry* entry, uint16_t voltageMv) {}
  // The load controls (and the Voltage list) are usable only while a source
  // is attached; false also disables the Set Voltage controls.
  virtual void SourceControls(bool attached) {}
  // The Set Voltage and Set Load controls follow the tester's values.
  virtual void FollowVoltage(uint16_t voltageMv) {}
  virtual void FollowSetPoint(uint16_t setpointMa) {}
  virtual void Statistics(const Reading& r, double capacityMah, double capacityMwh) {}
  // No source: no values to show; the loopback current reads 0.
  virtual void NoSource() {}
  // The periodic measurement log line runs only while a source is attached.
  virtual void LogTimer(bool run) {}
};

// Texts of the records the monitor writes on faults.
constexpr const wchar_t* kSettingsNotWrittenText = L"The tester's settings could not be written";
constexpr const wchar_t* kLinkLostText = L"Connection to the tester lost";
constexpr const wchar_t* kNoSourceText = L"No Device Under Test detected.";
constexpr const wchar_t* kNotConnectedText = L"No Loadpost device selected.";
constexpr const wchar_t* kUnableToConnectText = L"Unable to connect to selected Loadpost device";

// Tuning of the fault handling.
constexpr int kLostAfterFailures = 4;        // consecutive failed exchanges that end a connection
constexpr int kRequestAttempts = 3;          // a failing request is sent this often, then reported
constexpr uint32_t kSettingsRetryMs = 5000;  // after the report, settings are retried this seldom
constexpr uint32_t kFailedPassPauseMs = 100; // a pass whose exchanges all failed ends with this pause
constexpr uint32_t kDroppedReportMs = 10000; // dropped frames are reported at most this often
constexpr int64_t kMaxCapacityGapUs = 10'000'000;  // a longer gap between readings is not integrated
// Captures: measurement requests kept on the wire at once, the lost readings in
// a row after which the capture goes on one request at a time, and how long a
// pass of the monitor loop goes on measuring before it follows the notices.
constexpr int kCaptureDepth = 2;
constexpr int kCaptureLossRun = 3;
constexpr int64_t kCaptureBurstUs = 100'000;
constexpr const wchar_t* kCaptureOneAtATimeText =
    L"Measurement replies were lost with two requests on the wire: measuring one request at a time";

// The settings the program wants the tester to hold, from its configuration.
TesterSettings SettingsFromConfig(const TesterState& state);
// The load ceiling that settings give with a source rated `ratedMa`: the
// rating (enforce), 1.2 times it (allow over), the stored ceiling (force); at
// most 5100 mA.
uint16_t CeilingOfSettings(const TesterSettings& settings, uint16_t ratedMa);

class MonitorCore {
 public:
  // `state` is this tester's own: no other core may work on it.
  MonitorCore(TesterState& state, TesterPort& port, MonitorClock& clock, MonitorView& view);

  // After the port was opened: asks the version, then CheckTester and, when
  // the tester passes, Accept.
  ConnectResult Connect();
  // The version gate and, only for a tester that passes it, the settings read.
  // Changes nothing in the program (any thread; the window runs it off its own).
  ConnectResult CheckTester(uint8_t hardwareRevision, uint8_t firmwareVersion);
  // Takes on a tester that passed: its settings replace the configuration's
  // (a field whose read failed gets the program's default, never the zero it
  // would read as), the connection counts as new and live.testerConnected is set.
  void Accept(const ConnectResult& checked);
  // One pass of the monitor loop (see the file comment of monitor_core.cpp).
  void Pass();
  // Passes until the clock is stopped: the monitor loop on a thread of its own,
  // whose followers read the feed meanwhile, so a capture's pass goes on
  // measuring for up to kCaptureBurstUs.
  void RunUntilStopped();

  // A measurement now: the reading, or nothing when the tester did not answer.
  // While the state's graph.capturing is set and the port can, a second
  // measurement request stays on the wire (replies are matched in order, each
  // reading stamped when its reply arrives); any other command first collects
  // the replies still owed, which are published as readings.
  std::optional<Reading> Measure();
  // Collects the measurement replies still owed (each published as a reading).
  void DrainCapture();
  // True once lost replies made this connection's captures go one request at a time.
  bool CaptureOneAtATime() const { return captureOneAtATime_; }
  // Sends a load now, under the ceiling rule: while the tester has not
  // confirmed the program's settings, a load above the stricter of the old and
  // the new ceiling is held back.
  CommandResult SetLoad(uint16_t currentMa);
  // The window's rules for a Voltage list row and a programmable voltage.
  CommandResult RequestProfileRow(int row);
  // The range is checked on the whole number, before it is narrowed.
  CommandResult RequestVoltage(long long voltageMv);
  void ResetCapacity();

  TesterState& State() { return state_; }
  ReadingFeed& Feed() { return feed_; }
  MonitorClock& Clock() { return clock_; }
  uint8_t HardwareRevision() const { return hardwareRevision_; }
  uint8_t FirmwareVersion() const { return firmwareVersion_; }
  // True until the tester has confirmed the program's settings on this connection.
  bool SettingsOwed() const { return settingsOwed_; }
  // The highest load that may be sent now.
  uint16_t LoadLimitMa() const;
  // Capabilities-changed notices handled so far: the source re-advertised
  // (its rows and the profile it supplies may differ from before).
  uint32_t CapabilityChanges() const { return capabilityChanges_; }

 private:
  void NewConnection();
  void NoTester();
  void LinkLost();
  void EndSource(bool detached);
  void ShowSourceControls(bool attached);
  void MeasurementStage();
  void ShowReading(const Reading& r);
  void CheckReading(const Reading& r);
  bool BurstGoesOn(int64_t startUs);
  bool CanPipeline();
  std::optional<Reading> MeasurePipelined();
  std::optional<Reading> CollectReading();
  std::optional<Reading> Publish(const Measurements& m);
  void CountExchange(ExchangeStatus s);
  void RequestStage();
  void NoticeStage();
  void AttachHandling();
  void DetachHandling();
  void NewProfileHandling();
  void CapabilityChangedHandling();
  bool StatusPoll(uint32_t* attach);
  void ShowVoltageControls(const PdoList& list);
  void ShowProfiles(const PdoList& list, bool logDetails);
  void VoltageCheck(const Reading& r);
  void Pause();
  void WriteSettings();
  void IntegrateCapacity(const Reading& r);
  void ReportDroppedFrames();

  TesterState& state_;
  TesterPort& port_;
  MonitorClock& clock_;
  MonitorView& view_;
  CommandChannel channel_;
  ReadingFeed feed_;

  // Written by Connect (the window calls it on its own thread).
  std::atomic<uint8_t> hardwareRevision_{0};
  std::atomic<uint8_t> firmwareVersion_{0};
  uint32_t connection_ = 0;       // the connection count this state belongs to
  bool wasConnected_ = false;
  bool ownThread_ = false;  // RunUntilStopped runs the passes
  int consecutiveFailures_ = 0;
  int passFailures_ = 0;
  int passSuccesses_ = 0;

  // Settings: owed until the tester confirmed a write.
  bool settingsOwed_ = true;
  std::optional<TesterSettings> confirmed_;
  int settingsFailures_ = 0;
  int64_t nextSettingsTryUs_ = 0;
  int loadFailures_ = 0;
  int profileFailures_ = 0;
  int voltageFailures_ = 0;

  // Display and checks.
  uint16_t shownVoltageMv_ = 0;
  uint16_t shownSetpointMa_ = 0;
  bool underVoltage_ = false, overVoltage_ = false, prevUnder_ = false, prevOver_ = false;
  int shownAttached_ = -1;  // last SourceControls state shown (-1: none yet)
  bool attachedShown_ = false;  // the program shows a source (from attach to detach handling)

  // Captures: measurement requests on the wire, lost readings in a row.
  int inFlight_ = 0;
  int captureLosses_ = 0;
  bool captureOneAtATime_ = false;

  uint32_t capabilityChanges_ = 0;
  std::optional<Reading> lastIntegrated_;
  uint32_t droppedReported_ = 0;
  int64_t droppedReportedAtUs_ = 0;
};
