// A pass of the monitor loop has four stages: wait for a tester, measure,
// carry out requests, then follow the notices and the port status.
//
// Faults: every exchange goes through a counting channel. A pass whose
// exchanges all failed ends with a short pause instead of starting the next one
// at once; kLostAfterFailures failures in a row, or a port that reports itself
// gone, end the connection (ERROR record, link closed, the running test told).
// A status poll that finds no source while the port is marked ready is handled
// as a detach whose notice was lost.
#include "core/link/monitor_core.h"

#include <cmath>
#include <cwchar>

#include "core/graphs/voltage_window.h"
#include "core/link/profile_text.h"
#include "core/base/log_event.h"
#include "core/base/logger.h"
#include "core/base/tester_state.h"

namespace {

std::wstring Format(const wchar_t* format, int value) {
  wchar_t text[kLogTextChars];
  std::swprintf(text, kLogTextChars, format, value);
  text[kLogTextChars - 1] = 0;
  return text;
}

bool ActiveProgrammable(const TesterState& state) {
  return IsProgrammableProfile(state.live.profileKind, state.live.profileSubKind);
}

}  // namespace

TesterSettings SettingsFromConfig(const TesterState& state) {
  const TestConfiguration& wanted = state.config;
  TesterSettings s;
  s.standardPortLimitMa = wanted.standardPortLimitMa;
  s.loopbackEnabled = wanted.loopbackEnabled ? 1 : 0;
  s.estimateUpstream = wanted.estimateUpstream ? 1 : 0;
  s.limitMode = wanted.limitMode;
  s.maxLoadCurrentMa = wanted.maxLoadCurrentMa;
  s.cableResistanceMohm = wanted.cableResistanceMohm;
  return s;
}

uint16_t CeilingOfSettings(const TesterSettings& settings, uint16_t ratedMa) {
  constexpr uint16_t kTop = 5100;
  if (settings.limitMode == ForceLimit) return settings.maxLoadCurrentMa < kTop ? settings.maxLoadCurrentMa : kTop;
  if (settings.limitMode == EnforceLimits || settings.limitMode == AllowOverLimit) {
    return ComputeMaxLoadCurrent(settings.limitMode, ratedMa, 0, kTop);
  }
  return kTop;
}

MonitorCore::MonitorCore(TesterState& state, TesterPort& port, MonitorClock& clock, MonitorView& view)
    : state_(state), port_(port), clock_(clock), view_(view) {
  channel_.exchange = [this](const uint8_t* frame, size_t length, uint8_t expected, ReplyBody& reply) {
    // Nothing else goes out while measurement replies are still owed.
    DrainCapture();
    const ExchangeStatus s = port_.Channel().exchange(frame, length, expected, reply);
    CountExchange(s);
    return s;
  };
  channel_.sleep = [this](uint32_t ms) {
    const CommandChannel& c = port_.Channel();
    if (c.sleep) c.sleep(ms);
  };
}

void MonitorCore::CountExchange(ExchangeStatus s) {
  if (s == ExchangeStatus::Ok) {
    ++passSuccesses_;
  } else {
    ++passFailures_;
  }
  // A wrong or damaged reply still shows a tester that answers.
  consecutiveFailures_ = (s == ExchangeStatus::NotSent || s == ExchangeStatus::NoReply) ? consecutiveFailures_ + 1 : 0;
}

// --- Connecting -------------------------------------------------------------------

ConnectResult MonitorCore::Connect() {
  uint8_t hw = 0, fw = 0;
  if (!commands::GetVersion(port_.Channel(), &hw, &fw)) {
    ConnectResult r;
    r.message = kUnableToConnectText;
    return r;
  }
  ConnectResult r = CheckTester(hw, fw);
  if (r.ok) Accept(r);
  return r;
}

ConnectResult MonitorCore::CheckTester(uint8_t hw, uint8_t fw) {
  ConnectResult r;
  r.hardwareRevision = hw;
  r.firmwareVersion = fw;
  if (const wchar_t* refusal = TesterVersionMessage(hw, fw)) {
    r.message = refusal;
    return r;
  }
  r.settingsRead = commands::ReadTesterSettings(port_.Channel(), &r.settings);
  r.ok = true;
  return r;
}

void MonitorCore::Accept(const ConnectResult& checked) {
  hardwareRevision_ = checked.hardwareRevision;
  firmwareVersion_ = checked.firmwareVersion;
  const TesterSettings& read = checked.settings;
  const int got = checked.settingsRead;
  const TestConfiguration defaults;
  TestConfiguration& own = state_.config;
  own.loopbackEnabled = (got & kReadLoopback) ? read.loopbackEnabled : defaults.loopbackEnabled.load();
  own.standardPortLimitMa = (got & kReadStandardLimit) ? read.standardPortLimitMa : defaults.standardPortLimitMa.load();
  own.estimateUpstream = (got & kReadUpstream) ? read.estimateUpstream : defaults.estimateUpstream.load();
  own.cableResistanceMohm = (got & kReadCable) ? read.cableResistanceMohm : defaults.cableResistanceMohm.load();
  // The limit mode and its ceiling are not read back: the program's own.
  own.limitMode = defaults.limitMode.load();
  own.maxLoadCurrentMa = defaults.maxLoadCurrentMa.load();
  state_.live.connectionCount = state_.live.connectionCount + 1;
  state_.live.testerConnected = 1;
}

// --- The pass -----------------------------------------------------------------------

void MonitorCore::RunUntilStopped() {
  ownThread_ = true;
  while (!clock_.Stopped()) Pass();
}

void MonitorCore::Pass() {
  if (connection_ != state_.live.connectionCount) NewConnection();
  if (!state_.live.testerConnected) {
    NoTester();
    clock_.Sleep(100);
    return;
  }
  if (!port_.IsOpen()) {
    LinkLost();
    return;
  }
  wasConnected_ = true;
  passFailures_ = passSuccesses_ = 0;
  if (state_.live.portReady) {
    MeasurementStage();
    if (!state_.live.testerConnected || clock_.Stopped()) return;
    // Requests wait while a detach notice is pending: they are meant for a source that is gone.
    if (port_.PendingNotice() != 2) RequestStage();
    if (clock_.Stopped()) return;
  }
  NoticeStage();
  ReportDroppedFrames();
  // A link the program closed itself (another tester chosen) is not lost.
  if (!state_.live.testerConnected) return;
  if (consecutiveFailures_ >= kLostAfterFailures || !port_.IsOpen()) {
    LinkLost();
    return;
  }
  if (passFailures_ > 0 && passSuccesses_ == 0) clock_.Sleep(kFailedPassPauseMs);
}

void MonitorCore::NewConnection() {
  if (wasConnected_) EndSource(false);
  connection_ = state_.live.connectionCount;
  wasConnected_ = false;
  consecutiveFailures_ = 0;
  settingsOwed_ = true;
  confirmed_.reset();
  settingsFailures_ = loadFailures_ = profileFailures_ = voltageFailures_ = 0;
  nextSettingsTryUs_ = 0;
  shownVoltageMv_ = shownSetpointMa_ = 0;
  underVoltage_ = overVoltage_ = prevUnder_ = prevOver_ = false;
  lastIntegrated_.reset();
  droppedReported_ = 0;
  droppedReportedAtUs_ = 0;
  attachedShown_ = false;
  inFlight_ = 0;
  captureLosses_ = 0;
  captureOneAtATime_ = false;
  ShowSourceControls(false);  // until this tester reports a source
}

void MonitorCore::NoTester() {
  // The connection ended elsewhere (the tester was switched or closed).
  if (wasConnected_) {
    wasConnected_ = false;
    EndSource(false);
  }
  state_.live.capabilitiesLogged = 0;
  state_.live.portReady = 0;
  ShowSourceControls(false);
}

void MonitorCore::LinkLost() {
  LogEvent(kLinkLostText, LogError);
  port_.Close();
  state_.live.testerConnected = 0;
  wasConnected_ = false;
  EndSource(false);
}

void MonitorCore::EndSource(bool detached) {
  state_.live.portReady = 0;
  state_.live.capabilitiesLogged = 0;
  attachedShown_ = false;
  // Nothing measured is current any more, and capacity stops counting.
  state_.live.vbusVolts = 0.0f;
  state_.live.measuredCurrentMa = 0;
  state_.live.loopbackCurrentMa = 0;
  state_.live.loadSetpointMa = 0;
  lastIntegrated_.reset();
  // Requests meant for this source are not carried out on the next one: the
  // next source starts at 0 mA (told to the tester now when it still answers).
  state_.requests.profileRequestPending = 0;
  state_.requests.voltageRequestPending = 0;
  state_.requests.requestedLoadMa = 0;
  state_.requests.loadRequestPending = detached && commands::SetLoadCurrent(channel_, 0) ? 0 : 1;
  loadFailures_ = profileFailures_ = voltageFailures_ = 0;
  shownSetpointMa_ = 0;
  view_.NoSource();
  ShowSourceControls(false);
  view_.LogTimer(false);
  if (detached) {
    feed_.Detached();
  } else {
    feed_.LinkLost();
  }
}

void MonitorCore::ShowSourceControls(bool attached) {
  if (shownAttached_ == (attached ? 1 : 0)) return;
  shownAttached_ = attached ? 1 : 0;
  view_.SourceControls(attached);
}

void MonitorCore::ReportDroppedFrames() {
  const uint32_t dropped = port_.DroppedFrames();
  if (dropped <= droppedReported_) return;
  const int64_t now = clock_.NowUs();
  if (droppedReportedAtUs_ != 0 && now - droppedReportedAtUs_ < static_cast<int64_t>(kDroppedReportMs) * 1000) return;
  LogEvent(Format(L"%d damaged frames from the tester were dropped", static_cast<int>(dropped - droppedReported_)).c_str(),
           LogDiagnostics);
  droppedReported_ = dropped;
  droppedReportedAtUs_ = now != 0 ? now : 1;
}

// --- Measurements ----------------------------------------------------------------------

std::optional<Reading> MonitorCore::Measure() {
  if (CanPipeline()) return MeasurePipelined();
  Measurements m;
  if (!commands::GetMeasurements(channel_, &m.temperatureC, &m.vbusMv, &m.setpointMa, &m.currentMa, &m.loopbackMa)) {
    return std::nullopt;
  }
  return Publish(m);
}

std::optional<Reading> MonitorCore::Publish(const Measurements& m) {
  Reading r;
  r.timeUs = clock_.NowUs();
  r.seq = feed_.NextSeq();
  r.temperatureC = m.temperatureC;
  r.vbusMv = m.vbusMv;
  r.setpointMa = m.setpointMa;
  r.currentMa = m.currentMa;
  r.loopbackMa = m.loopbackMa;
  state_.live.vbusVolts = r.Volts();
  state_.live.measuredCurrentMa = m.currentMa;
  state_.live.loopbackCurrentMa = m.loopbackMa;
  state_.live.temperatureC = m.temperatureC;
  state_.live.loadSetpointMa = m.setpointMa;
  if (state_.live.portReady) IntegrateCapacity(r);
  feed_.Publish(r);
  return r;
}

void MonitorCore::IntegrateCapacity(const Reading& r) {
  // Trapezoids between fresh readings of an attached source, over the time
  // that actually passed; a gap too long to vouch for is left out.
  if (lastIntegrated_) {
    const int64_t dt = r.timeUs - lastIntegrated_->timeUs;
    if (dt > 0 && dt <= kMaxCapacityGapUs) {
      const double hours = static_cast<double>(dt) / 3.6e9;
      const double ma = (lastIntegrated_->currentMa + r.currentMa) / 2.0;
      const double mw = (static_cast<double>(lastIntegrated_->currentMa) * lastIntegrated_->Volts() +
                         static_cast<double>(r.currentMa) * r.Volts()) /
                        2.0;
      state_.live.capacityMah = state_.live.capacityMah.load() + ma * hours;
      state_.live.capacityMwh = state_.live.capacityMwh.load() + mw * hours;
    }
  }
  lastIntegrated_ = r;
}

void MonitorCore::ResetCapacity() {
  state_.live.capacityMah = 0.0;
  state_.live.capacityMwh = 0.0;
  // The next reading starts the integral: the time before the reset is not
  // counted again.
  lastIntegrated_.reset();
}

void MonitorCore::MeasurementStage() {
  const int64_t startUs = clock_.NowUs();
  std::optional<Reading> r = Measure();
  if (!r) return;
  ShowReading(*r);
  CheckReading(*r);
  // On its own thread, a capture's pass goes on measuring for a while: the
  // notices and requests are followed when one waits, and at least every
  // kCaptureBurstUs. Every reading is checked; the window shows the last.
  std::optional<Reading> last;
  while (BurstGoesOn(startUs)) {
    const std::optional<Reading> next = Measure();
    if (!next) break;
    CheckReading(*next);
    last = next;
  }
  if (last) ShowReading(*last);
  Pause();
}

bool MonitorCore::BurstGoesOn(int64_t startUs) {
  const Requests& q = state_.requests;
  return ownThread_ && state_.graph.capturing && state_.graph.testStopped == 0 && !clock_.Stopped() &&
         clock_.NowUs() - startUs < kCaptureBurstUs && port_.PendingNotice() == 0 && !q.loadRequestPending &&
         !q.profileRequestPending && !q.voltageRequestPending && !q.configPending;
}

void MonitorCore::ShowReading(const Reading& r) {
  // Keep the Set Voltage and Set Load controls on what the tester reports, but
  // leave them alone while the user's own request waits to be sent.
  const uint16_t voltage = state_.live.profileVoltageMv;
  if (voltage != shownVoltageMv_ && !state_.requests.voltageRequestPending) {
    view_.FollowVoltage(voltage);
    shownVoltageMv_ = voltage;
  }
  if (r.setpointMa != shownSetpointMa_ && !state_.requests.loadRequestPending) {
    view_.FollowSetPoint(r.setpointMa);
    shownSetpointMa_ = r.setpointMa;
  }
  view_.Statistics(r, state_.live.capacityMah, state_.live.capacityMwh);
}

void MonitorCore::CheckReading(const Reading& r) {
  if (state_.graph.testStopped != 0 || state_.graph.graphMode == RealTime) VoltageCheck(r);
}

void MonitorCore::VoltageCheck(const Reading& r) {
  const int current = r.currentMa;
  if (current == 0 || std::abs(current - static_cast<int>(r.setpointMa)) >= 25) return;
  underVoltage_ = overVoltage_ = false;
  float low = 0.0f, high = 0.0f;
  const float volts = r.Volts();
  // A profile without a voltage window gets no verdict at all. Below its low
  // bound the source fails only while the load is within the ceiling: past it,
  // sagging (or shutting down) is permitted.
  if (GetVoltageWindow(state_, low, high)) {
    if (low > volts && current <= state_.config.maxLoadCurrentMa) {
      underVoltage_ = true;
    } else if (volts > high) {
      overVoltage_ = true;
    }
  }
  const PdoList list = state_.GetPdoList();
  const int active = state_.live.activePdoIndex;
  if (state_.live.profileKind == 5 && state_.live.profileSubKind == 0 && active < kMaxPdoEntries &&
      list.entries[active].minMv != state_.live.profileVoltageMv) {
    // A fixed-voltage change is under way.
    underVoltage_ = overVoltage_ = false;
  } else {
    wchar_t line[256];
    if (underVoltage_ && !prevUnder_) {
      std::swprintf(line, 256, L"V=%.3fV, I=%dmA Capacity=%lumAh,%lumWh, Under voltage detected",
                    static_cast<double>(volts), current,
                    static_cast<unsigned long>(static_cast<uint32_t>(state_.live.capacityMah.load())),
                    static_cast<unsigned long>(static_cast<uint32_t>(state_.live.capacityMwh.load())));
      LogEvent(line, LogError);
    }
    if (overVoltage_ && !prevOver_) {
      std::swprintf(line, 256, L"V=%.3fV, I=%dmA, Over voltage detected", static_cast<double>(volts), current);
      LogEvent(line, LogError);
    }
  }
  prevUnder_ = underVoltage_;
  prevOver_ = overVoltage_;
}

// While a sweep runs, the loop measures at least every 50 ms, so that each
// step's reading follows its hold time closely.
constexpr uint32_t kSweepRunningPauseMs = 50;

void MonitorCore::Pause() {
  const bool running = state_.graph.testStopped == 0;
  if (state_.graph.graphMode == RealTime) {
    clock_.Sleep(running ? 1 : 250);
  } else {
    const uint32_t step = state_.config.timeStepMs;
    clock_.Sleep(running && step > kSweepRunningPauseMs ? kSweepRunningPauseMs : step);
  }
}

// --- Notices and status -------------------------------------------------------------------

bool MonitorCore::StatusPoll(uint32_t* attach) {
  uint8_t activeIndex = state_.live.activePdoIndex;
  uint32_t kind = state_.live.profileKind;
  uint8_t subKind = state_.live.profileSubKind;
  uint16_t voltage = state_.live.profileVoltageMv;
  uint16_t rated = state_.live.ratedCurrentMa;
  uint32_t extra = 0;
  if (!commands::GetPortStatus(channel_, attach, &activeIndex, &kind, &subKind, &voltage, &rated, &extra)) return false;
  state_.live.activePdoIndex = activeIndex;
  state_.live.profileKind = kind;
  state_.live.profileSubKind = subKind;
  state_.live.profileVoltageMv = voltage;
  state_.live.ratedCurrentMa = rated;
  return true;
}

void MonitorCore::NoticeStage() {
  const int notice = port_.PendingNotice();
  uint32_t attach = 0;
  const bool status = StatusPoll(&attach);
  if (status && !state_.live.portReady && attach == 1) {
    AttachHandling();
    return;
  }
  if (status && attach == 0 && attachedShown_) {
    // No source, though the program still shows one: its detach notice was lost.
    DetachHandling();
    return;
  }
  switch (notice) {
    case 1: AttachHandling(); break;
    case 2:
      if (attachedShown_) {
        DetachHandling();
      } else {
        port_.ClearNotice(2);
      }
      break;
    case 3: NewProfileHandling(); break;
    case 4: CapabilityChangedHandling(); break;
    default: break;
  }
}

void MonitorCore::ShowVoltageControls(const PdoList& list) {
  const int active = state_.live.activePdoIndex;
  if (ActiveProgrammable(state_) && active < kMaxPdoEntries) {
    view_.VoltageControls(&list.entries[active], state_.live.profileVoltageMv);
  } else {
    view_.VoltageControls(nullptr, 0);
  }
}

void MonitorCore::ShowProfiles(const PdoList& list, bool logDetails) {
  std::vector<std::wstring> rows;
  wchar_t text[kProfileTextChars];
  for (int i = 0; i < list.count; ++i) {
    FormatProfileListText(list.entries[i], hardwareRevision_, text, kProfileTextChars);
    rows.emplace_back(text);
    if (logDetails) {
      FormatProfileDetailText(list.entries[i], hardwareRevision_, text, kProfileTextChars);
      LogEvent(text, LogDiagnostics);
    }
  }
  view_.ProfileRows(rows);
}

void MonitorCore::AttachHandling() {
  uint32_t attach = 0;
  if (StatusPoll(&attach) && attach == 1) {
    attachedShown_ = true;
    view_.ProfileRows({});
    state_.RecomputeMaxLoadCurrent();
    view_.ProfileName(ProfileNameW(state_.live.profileKind, state_.live.profileSubKind));
    clock_.Sleep(1000);

    PdoList list;
    if (commands::GetSourceCapabilities(channel_, &list) && list.count > 0) {
      state_.SetPdoList(list);
      const bool logIt = state_.live.capabilitiesLogged == 0;
      if (logIt) LogEvent(L"Port detected capabilities:", LogDiagnostics);
      ShowProfiles(list, logIt);
      state_.live.portReady = 1;
      lastIntegrated_.reset();
    }
    state_.live.capabilitiesLogged = 1;
    view_.RatedAndCeiling(state_.live.ratedCurrentMa, state_.config.maxLoadCurrentMa);
    view_.SelectRow(state_.live.activePdoIndex);
    if (state_.live.portReady) ShowSourceControls(true);
    ShowVoltageControls(state_.GetPdoList());
  }
  clock_.Sleep(100);
  port_.ClearNotice(1);
  if (state_.graph.testStopped && state_.config.logIntervalSec != 0) view_.LogTimer(true);
}

void MonitorCore::DetachHandling() {
  port_.ClearNotice(2);
  LogEvent(L"Port detached", LogDiagnostics);
  EndSource(true);
}

void MonitorCore::NewProfileHandling() {
  port_.ClearNotice(3);
  uint32_t attach = 0;
  if (!StatusPoll(&attach)) return;
  view_.ProfileName(ProfileNameW(state_.live.profileKind, state_.live.profileSubKind));
  PdoList list;
  if (!commands::GetSourceCapabilities(channel_, &list)) return;
  state_.RecomputeMaxLoadCurrent();
  view_.ProfileRows({});
  if (list.count > 0) {
    state_.SetPdoList(list);
    LogEvent(L"New profile selected", LogDiagnostics);
    ShowProfiles(list, false);
    view_.SelectRow(state_.live.activePdoIndex);
    ShowVoltageControls(list);
    wchar_t text[kProfileTextChars];
    FormatActiveEntryText(list.EntryAt(state_.live.activePdoIndex), ActiveProgrammable(state_), text,
                          kProfileTextChars);
    LogEvent(text, LogDiagnostics);
  }
  view_.RatedAndCeiling(state_.live.ratedCurrentMa, state_.config.maxLoadCurrentMa);
}

void MonitorCore::CapabilityChangedHandling() {
  port_.ClearNotice(4);
  ++capabilityChanges_;
  state_.live.profileVoltageMv = 0;
  state_.live.ratedCurrentMa = 0;
  view_.RatedAndCeiling(0, 0);
  state_.live.loadSetpointMa = 0;
  state_.requests.requestedLoadMa = 0;
  // Rows and voltages of the old capabilities mean nothing now.
  state_.requests.profileRequestPending = 0;
  state_.requests.voltageRequestPending = 0;
  LogEvent(L"Port capability changed", LogDiagnostics);
  LogEvent(L"Voltage:0.00V Max Current:0mA", LogDiagnostics);
  state_.live.portReady = 0;
}
