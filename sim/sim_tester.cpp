#include "sim/sim_tester.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
// The tester's heat sink: degrees per watt of load, and its time constant.
constexpr double kThermalCPerW = 0.6;
constexpr double kThermalTauSec = 60.0;
// What the host's buffer and the chip keep of unread bytes.
constexpr size_t kOutboundLimit = 65536;
// Below this VBUS the load cannot draw current.
constexpr double kLoadDropoutMv = 1000.0;

uint16_t U16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
int16_t I16(const Bytes& b, size_t at) { return static_cast<int16_t>(U16(b, at)); }
void PutU16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v & 0xFF));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
uint16_t ClampU16(double v) { return static_cast<uint16_t>(std::lround(std::clamp(v, 0.0, 65535.0))); }

std::string Hex2(int v) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X", v & 0xFF);
  return text;
}

const char* FaultName(FaultKind k) {
  switch (k) {
    case FaultKind::Drop: return "drop";
    case FaultKind::Late: return "late";
    case FaultKind::WrongCmd: return "wrongcmd";
    case FaultKind::Noise: return "noise";
    case FaultKind::BadEtx: return "badetx";
    case FaultKind::BadLen: return "badlen";
    case FaultKind::BadSum: return "badsum";
    case FaultKind::Gap: return "gap";
    case FaultKind::Duplicate: return "duplicate";
    case FaultKind::Unplug: return "unplug";
    case FaultKind::FailOpen: return "failopen";
    case FaultKind::RefuseLatency: return "nolatency";
    case FaultKind::RefuseChars: return "nochars";
  }
  return "?";
}

}  // namespace

SimTime ByteDoneAt(SimTime start, size_t n) {
  const int64_t bits = static_cast<int64_t>(n) * 10 * 1000000;
  return start + (bits + kBaudRate - 1) / kBaudRate;
}

TesterModel::TesterModel(const DeviceSetup& setup, FrameRecorder* recorder, uint64_t seed)
    : setup_(setup),
      recorder_(recorder),
      noiseState_(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull),
      plugged_(setup.plugged),
      settings_(setup.settings),
      faults_(setup.faults),
      temperatureC_(setup.ambientC) {
  bridge_.Reset(0, setup_.latencyMs);
  calibration_[0] = setup.calibration[0];
  calibration_[1] = setup.calibration[1];
  if (setup_.hasCharger) {
    source_ = std::make_unique<PowerSource>(setup_.charger);
    attached_ = setup_.attached;
  }
}

// --- line ----------------------------------------------------------------------

void TesterModel::SetHostLine(uint32_t baud, int dataBits, int stopBits, int parity) {
  lineOk_ = baud == kBaudRate && dataBits == 8 && stopBits == 0 && parity == 0;
}

SimTime TesterModel::HostWrite(const uint8_t* bytes, size_t count, SimTime t) {
  Advance(t);
  t = now_;
  if (!plugged_ || count == 0) return t;
  const SimTime start = std::max(t, hostLineFreeAt_);
  for (size_t i = 0; i < count; ++i) {
    // With the wrong line settings the tester sees garbage.
    const uint8_t b = lineOk_ ? bytes[i] : static_cast<uint8_t>(~bytes[i]);
    inbound_.push_back({b, ByteDoneAt(start, i + 1)});
  }
  hostLineFreeAt_ = ByteDoneAt(start, count);
  return hostLineFreeAt_;
}

size_t TesterModel::HostRead(uint8_t* out, size_t max, SimTime t) {
  Advance(t);
  return bridge_.Read(out, max, now_);
}

Bytes TesterModel::HostReadAll(SimTime t) {
  Bytes bytes(HostAvailable(t));
  bytes.resize(HostRead(bytes.data(), bytes.size(), t));
  return bytes;
}

size_t TesterModel::HostAvailable(SimTime t) {
  Advance(t);
  return bridge_.Available(now_);
}

void TesterModel::SetHostOpen(bool open, SimTime t) {
  Advance(t);
  hostOpen_ = open;
  bridge_.Reset(now_, setup_.latencyMs);
}

bool TesterModel::SetLatencyTimer(int ms, SimTime t) {
  Advance(t);
  if (ms < kMinLatencyMs || ms > kMaxLatencyMs || ConsumeFault(FaultKind::RefuseLatency)) {
    Note(now_, Serial() + " bridge refused latency timer " + std::to_string(ms) + " ms");
    return false;
  }
  bridge_.SetLatency(ms, now_);
  Note(now_, Serial() + " bridge latency timer " + std::to_string(ms) + " ms");
  return true;
}

bool TesterModel::SetEventChar(uint8_t c, bool enabled, SimTime t) {
  Advance(t);
  const std::string what = "event character " + Hex2(c) + (enabled ? " on" : " off");
  if (ConsumeFault(FaultKind::RefuseChars)) {
    Note(now_, Serial() + " bridge refused " + what);
    return false;
  }
  bridge_.SetEventChar(c, enabled, now_);
  Note(now_, Serial() + " bridge " + what);
  return true;
}

// --- time ----------------------------------------------------------------------

void TesterModel::Schedule(Event e) {
  e.seq = nextSeq_++;
  auto at = std::upper_bound(events_.begin(), events_.end(), e, [](const Event& a, const Event& b) {
    return a.at < b.at || (a.at == b.at && a.seq < b.seq);
  });
  events_.insert(at, std::move(e));
}

void TesterModel::Advance(SimTime t) {
  if (t < now_) t = now_;
  for (;;) {
    const SimTime inAt = inbound_.empty() ? kNever : inbound_.front().at;
    const SimTime evAt = events_.empty() ? kNever : events_.front().at;
    if (std::min(inAt, evAt) > t) break;
    if (inAt <= evAt) {
      const Timed b = inbound_.front();
      inbound_.pop_front();
      now_ = std::max(now_, b.at);
      ReceiveByte(b.byte, b.at);
    } else {
      Event e = std::move(events_.front());
      events_.pop_front();
      now_ = std::max(now_, e.at);
      HandleEvent(e);
    }
  }
  now_ = t;
  bridge_.Settle(now_);
}

SimTime TesterModel::NextEventTime() const {
  SimTime next = kNever;
  if (!inbound_.empty()) next = std::min(next, inbound_.front().at);
  if (!events_.empty()) next = std::min(next, events_.front().at);
  next = std::min(next, bridge_.NextRelease());
  return next == kNever ? kNever : std::max(next, now_);
}

void TesterModel::HandleEvent(const Event& e) {
  switch (e.type) {
    case EventType::Command:
      // The tester answers in order: a request that arrives while an earlier
      // reply is held back waits for it.
      if (e.at < answersFrom_) {
        Event later = e;
        later.at = answersFrom_;
        Schedule(std::move(later));
        break;
      }
      HandleCommand(e.bytes, e.at);
      break;
    case EventType::Send:
      SendBytes(e.bytes, e.at);
      break;
    case EventType::SelfUnplug:
      DoUnplug(e.at);
      unplugRequest_ = e.at;
      break;
    case EventType::ProfileDone:
      if (switching_ && e.a == switchToken_) {
        switching_ = false;
        SendNotice(kNoticeNewProfile, e.at);
      }
      break;
    case EventType::Trip:
      if (tripPending_ && e.a == tripToken_) {
        tripPending_ = false;
        tripped_ = true;
        DisconnectSource(e.at, "shut down by overload");
        if (source_ && source_->Setup().restartMs > 0) {
          Schedule({e.at + static_cast<SimTime>(source_->Setup().restartMs) * 1000, 0, EventType::Restart, {}, 0, 0, {}});
        }
      }
      break;
    case EventType::Restart:
      if (tripped_ && !attached_) DoAttach(e.at);
      break;
    case EventType::Reattach:
      if (e.charger) source_ = std::make_unique<PowerSource>(*e.charger);
      DoAttach(e.at);
      break;
  }
}

// --- USB side --------------------------------------------------------------------

void TesterModel::Unplug(SimTime t) {
  Advance(t);
  DoUnplug(now_);
}

void TesterModel::DoUnplug(SimTime t) {
  if (!plugged_) return;
  UpdateThermal(t);
  plugged_ = false;
  hostOpen_ = false;
  inbound_.clear();
  bridge_.Clear();
  receiver_.Reset();
  answersFrom_ = 0;
  // Replies still being worked on are lost with the tester's power; the source
  // goes on as it was.
  events_.erase(std::remove_if(events_.begin(), events_.end(),
                               [](const Event& e) { return e.type == EventType::Command || e.type == EventType::Send; }),
                events_.end());
  appliedLoadMa_ = 0;
  LoadChanged(t);
  Note(t, Serial() + " unplugged");
}

void TesterModel::Plug(SimTime t) {
  Advance(t);
  if (plugged_) return;
  plugged_ = true;
  hostOpen_ = false;
  hostLineFreeAt_ = testerLineFreeAt_ = now_;
  bridge_.Reset(now_, setup_.latencyMs);
  Note(now_, Serial() + " plugged in");
}

std::optional<SimTime> TesterModel::TakeUnplugRequest() {
  std::optional<SimTime> r = unplugRequest_;
  unplugRequest_.reset();
  return r;
}

bool TesterModel::ConsumeFailOpen() { return ConsumeFault(FaultKind::FailOpen); }

bool TesterModel::ConsumeFault(FaultKind kind) {
  for (FaultRule& rule : faults_) {
    if (rule.kind != kind || rule.remaining == 0) continue;
    if (rule.remaining > 0) --rule.remaining;
    return true;
  }
  return false;
}

// --- receiving and answering --------------------------------------------------------

void TesterModel::Note(SimTime t, const std::string& text) {
  if (recorder_) recorder_->Note(t, text);
}

void TesterModel::ReceiveByte(uint8_t byte, SimTime t) {
  Bytes frame;
  std::string reason;
  switch (receiver_.Feed(byte, t, &frame, &reason)) {
    case FrameReceiver::Result::None:
      break;
    case FrameReceiver::Result::Rejected:
      if (recorder_) recorder_->Frame(t, Serial(), RecordKind::Rejected, frame);
      Note(t, Serial() + " rejected: " + reason);
      break;
    case FrameReceiver::Result::Frame:
      if (recorder_) recorder_->Frame(t, Serial(), RecordKind::Received, frame);
      if (setup_.isTester) Schedule({t + setup_.replyDelayUs, 0, EventType::Command, frame, 0, 0, {}});
      break;
  }
}

void TesterModel::SendBytes(const Bytes& bytes, SimTime t) {
  if (bytes.empty() || !plugged_) return;
  const SimTime start = std::max(t, testerLineFreeAt_);
  if (recorder_) recorder_->Frame(start, Serial(), RecordKind::Sent, bytes);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (hostOpen_ && bridge_.Held() < kOutboundLimit) bridge_.Push(bytes[i], ByteDoneAt(start, i + 1));
  }
  testerLineFreeAt_ = ByteDoneAt(start, bytes.size());
}

void TesterModel::SendNotice(uint8_t code, SimTime t) { SendBytes(BuildFrame(code), t); }

void TesterModel::Reply(uint8_t command, const Bytes& body, SimTime t) {
  // Takes the first live rule of a kind that applies to this command.
  auto take = [&](FaultKind kind) -> std::optional<FaultRule> {
    for (FaultRule& rule : faults_) {
      if (rule.kind != kind || rule.remaining == 0) continue;
      if (rule.command != kAnyCommand && rule.command != command) continue;
      if (rule.remaining > 0) --rule.remaining;
      Note(t, Serial() + " fault: " + FaultName(kind) + " reply to " + Hex2(command));
      return rule;
    }
    return std::nullopt;
  };

  if (auto unplug = take(FaultKind::Unplug)) {
    const Bytes frame = BuildFrame(body);
    SendBytes(Bytes(frame.begin(), frame.begin() + static_cast<long>(frame.size() / 2)), t);
    // The tester drops off the bus once these bytes are out.
    Schedule({std::max(t, testerLineFreeAt_), 0, EventType::SelfUnplug, {}, 0, 0, {}});
    return;
  }
  if (take(FaultKind::Drop)) return;

  Bytes replyBody = body;
  if (auto wrong = take(FaultKind::WrongCmd)) replyBody[0] = static_cast<uint8_t>(wrong->param >= 0 ? wrong->param : command ^ 1);
  Bytes frame = BuildFrame(replyBody);
  if (take(FaultKind::BadSum)) frame[frame.size() - 2] ^= 0x5A;
  if (auto etx = take(FaultKind::BadEtx)) frame.back() = static_cast<uint8_t>(etx->param >= 0 ? etx->param : 0x04);
  if (auto len = take(FaultKind::BadLen)) frame[1] = static_cast<uint8_t>(len->param >= 0 ? len->param : 0x85);
  if (auto noise = take(FaultKind::Noise)) SendBytes(noise->bytes.empty() ? Bytes{0xFF, 0x55, 0xAA} : noise->bytes, t);

  SimTime at = t;
  if (auto late = take(FaultKind::Late)) at = t + static_cast<SimTime>(late->param >= 0 ? late->param : 600) * 1000;
  const bool twice = take(FaultKind::Duplicate).has_value();
  if (auto gap = take(FaultKind::Gap)) {
    const size_t half = frame.size() / 2;
    const Bytes first(frame.begin(), frame.begin() + static_cast<long>(half));
    const Bytes second(frame.begin() + static_cast<long>(half), frame.end());
    const SimTime pause = static_cast<SimTime>(gap->param >= 0 ? gap->param : 20) * 1000;
    if (at == t) {
      SendBytes(first, t);
      answersFrom_ = testerLineFreeAt_ + pause;
    } else {
      Schedule({at, 0, EventType::Send, first, 0, 0, {}});
      answersFrom_ = at + ByteDoneAt(0, half) + pause;
    }
    Schedule({answersFrom_, 0, EventType::Send, second, 0, 0, {}});
  } else if (at == t) {
    SendBytes(frame, t);
  } else {
    Schedule({at, 0, EventType::Send, frame, 0, 0, {}});
    answersFrom_ = at;
  }
  if (twice) Schedule({at, 0, EventType::Send, frame, 0, 0, {}});
}

void TesterModel::HandleCommand(const Bytes& frame, SimTime t) {
  const Bytes body(frame.begin() + 2, frame.end() - 2);
  const uint8_t cmd = body[0];
  auto malformed = [&]() { Note(t, Serial() + " ignored malformed command " + Hex2(cmd)); };

  switch (cmd) {
    case 0x01:
      Reply(cmd, {0x01, setup_.hardwareRevision, setup_.firmwareVersion}, t);
      return;
    case 0x0A:
      Reply(cmd, PortStatusBody(), t);
      return;
    case 0x0B: {
      PdoList list;
      if (attached_ && source_) list = source_->Capabilities();
      Bytes reply(1 + kPdoListBytes, 0);
      reply[0] = 0x0B;
      EncodePdoList(list, reply.data() + 1);
      Reply(cmd, reply, t);
      return;
    }
    case 0x0C:
      Reply(cmd, MeasurementBody(t), t);
      return;
    case 0x0D:
      if (body.size() < 4) return malformed();
      Reply(cmd, {0x0D}, t);
      ApplyProfileRequest(body[1], U16(body, 2), t, false);
      return;
    case 0x10:
      if (body.size() < 3) return malformed();
      ApplyLoad(U16(body, 1), t);
      Reply(cmd, {0x10}, t);
      return;
    case 0xE0: {
      if (body.size() < 3) return malformed();
      const uint8_t sub = body[1];
      const size_t need = (sub == 2 || sub == 4) ? 4 : (sub == 1 && body[2] == 2) ? 5 : 3;
      if (body.size() < need) return malformed();
      UpdateThermal(t);
      switch (sub) {
        case 0: settings_.loopbackEnabled = body[2] != 0; break;
        case 1:
          if (body[2] <= 2) {
            settings_.limitMode = body[2];
            if (body[2] == 2) settings_.maxLoadCurrentMa = U16(body, 3);
          } else {
            Note(t, Serial() + " ignored limit mode " + std::to_string(body[2]));
          }
          break;
        case 2: settings_.standardPortLimitMa = U16(body, 2); break;
        case 3: settings_.estimateUpstream = body[2] != 0; break;
        case 4: settings_.cableResistanceMohm = U16(body, 2); break;
        default: Note(t, Serial() + " ignored settings sub-index " + std::to_string(sub)); break;
      }
      appliedLoadMa_ = std::min(appliedLoadMa_, LoadLimitMa());
      LoadChanged(t);
      Reply(cmd, {0xE0}, t);
      return;
    }
    case 0xE1: {
      if (body.size() < 2) return malformed();
      Bytes reply{0xE1};
      switch (body[1]) {
        case 0: reply.push_back(settings_.loopbackEnabled); break;
        case 1:
          reply.push_back(settings_.limitMode);
          PutU16(reply, settings_.maxLoadCurrentMa);
          break;
        case 2: PutU16(reply, settings_.standardPortLimitMa); break;
        case 3: reply.push_back(settings_.estimateUpstream); break;
        case 4: PutU16(reply, settings_.cableResistanceMohm); break;
        default: return malformed();
      }
      Reply(cmd, reply, t);
      return;
    }
    case 0xE3:
    case 0xE4:
    case 0xE5: {
      if (setup_.hardwareRevision < 20) {
        Note(t, Serial() + " has no calibration; ignored command " + Hex2(cmd));
        return;
      }
      if (body.size() < (cmd == 0xE3 ? 12u : 2u)) return malformed();
      const uint8_t channel = body[1];
      if (channel > 1) {
        Note(t, Serial() + " unknown calibration channel " + std::to_string(channel));
        if (cmd == 0xE4) Reply(cmd, Bytes{0xE4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, t);
        else Reply(cmd, {cmd}, t);
        return;
      }
      CalibrationRecord& record = calibration_[channel];
      if (cmd == 0xE3) {
        record.isCalibrated = 1;
        record.yearByte = body[2];
        record.month = body[3];
        record.refPoint1 = I16(body, 4);
        record.testerPoint1 = I16(body, 6);
        record.refPoint2 = I16(body, 8);
        record.testerPoint2 = I16(body, 10);
        Reply(cmd, {0xE3}, t);
      } else if (cmd == 0xE4) {
        Bytes reply{0xE4, record.isCalibrated, record.yearByte, record.month};
        for (int16_t v : {record.refPoint1, record.testerPoint1, record.refPoint2, record.testerPoint2}) {
          PutU16(reply, static_cast<uint16_t>(v));
        }
        Reply(cmd, reply, t);
      } else {
        record = CalibrationRecord{};
        Reply(cmd, {0xE5}, t);
      }
      return;
    }
    default:
      Note(t, Serial() + " ignored unknown command " + Hex2(cmd));
      return;
  }
}

// --- the port --------------------------------------------------------------------

uint16_t TesterModel::ReportedRatedMa() const {
  if (!attached_ || !source_) return 0;
  const SourceProfile& p = source_->Active();
  // Standard ports (SDP, legacy) are held to the configured standard-port limit.
  if (p.kind == 0 || (p.kind == 2 && p.subKind == 0)) return settings_.standardPortLimitMa;
  return p.maxMa;
}

Bytes TesterModel::PortStatusBody() const {
  Bytes b(13, 0);
  b[0] = 0x0A;
  if (attached_ && source_) {
    const SourceProfile& p = source_->Active();
    b[1] = 1;
    b[2] = static_cast<uint8_t>(source_->ActiveIndex());
    b[3] = static_cast<uint8_t>(p.kind);
    b[4] = static_cast<uint8_t>(p.subKind);
    // The new contract holds only once the source is ready at its voltage.
    const uint16_t mv = switching_ ? switchFromMv_ : source_->ActiveMv();
    b[5] = static_cast<uint8_t>(mv & 0xFF);
    b[6] = static_cast<uint8_t>(mv >> 8);
    const uint16_t ma = ReportedRatedMa();
    b[7] = static_cast<uint8_t>(ma & 0xFF);
    b[8] = static_cast<uint8_t>(ma >> 8);
  }
  return b;
}

uint16_t TesterModel::LoadLimitMa() const {
  uint16_t limit = kTesterMaxLoadMa;
  if (settings_.limitMode == 0 && attached_ && source_) limit = std::min(limit, ReportedRatedMa());
  if (settings_.limitMode == 2) limit = std::min(limit, settings_.maxLoadCurrentMa);
  return limit;
}

void TesterModel::ApplyLoad(uint16_t requestedMa, SimTime t) {
  UpdateThermal(t);
  appliedLoadMa_ = std::min(requestedMa, LoadLimitMa());
  if (appliedLoadMa_ != requestedMa) {
    Note(t, Serial() + " load " + std::to_string(requestedMa) + " mA limited to " + std::to_string(appliedLoadMa_) + " mA");
  }
  LoadChanged(t);
}

double TesterModel::SourceLoadMa() const {
  if (!attached_ || !source_) return 0.0;
  return appliedLoadMa_ + (settings_.loopbackEnabled ? setup_.loopbackMa : 0);
}

void TesterModel::LoadChanged(SimTime t) {
  const double threshold = source_ ? source_->TripThresholdMa() : 0.0;
  const bool over = attached_ && source_ && threshold > 0.0 && SourceLoadMa() > threshold;
  if (over && !tripPending_) {
    tripPending_ = true;
    ++tripToken_;
    Schedule({t + static_cast<SimTime>(source_->Setup().tripMs) * 1000, 0, EventType::Trip, {}, tripToken_, 0, {}});
  } else if (!over && tripPending_) {
    tripPending_ = false;
    ++tripToken_;
  }
}

bool TesterModel::ApplyProfileRequest(int position, uint16_t mv, SimTime t, bool fromSource) {
  if (!attached_ || !source_) {
    Note(t, Serial() + " profile request without a source");
    return false;
  }
  int index = 0;
  uint16_t newMv = 0;
  if (!source_->Resolve(position, mv, &index, &newMv)) {
    Note(t, Serial() + " source rejected object position " + std::to_string(position));
    return false;
  }
  UpdateThermal(t);
  const uint16_t from = switching_ ? ClampU16(ContractMvAt(t)) : source_->ActiveMv();
  source_->SetActive(index, newMv);
  ++switchToken_;
  appliedLoadMa_ = std::min(appliedLoadMa_, LoadLimitMa());
  LoadChanged(t);
  if (fromSource) {
    switching_ = false;
    SendNotice(kNoticeNewProfile, t);
    return true;
  }
  switching_ = true;
  switchFromMv_ = from;
  switchStart_ = t;
  switchEnd_ = t + static_cast<SimTime>(setup_.profileDelayMs) * 1000;
  Schedule({switchEnd_, 0, EventType::ProfileDone, {}, switchToken_, 0, {}});
  return true;
}

bool TesterModel::Attach(SimTime t, const ChargerSetup* charger) {
  Advance(t);
  if (charger && attached_) {
    // Plugging another charger in means pulling the present one out first.
    SwapCharger(*charger, now_);
    return true;
  }
  if (charger) source_ = std::make_unique<PowerSource>(*charger);
  return DoAttach(now_);
}

bool TesterModel::DoAttach(SimTime t) {
  if (!source_) return false;
  if (attached_) return true;
  UpdateThermal(t);
  source_->ResetToStart();
  attached_ = true;
  tripped_ = false;
  switching_ = false;
  ++switchToken_;
  Note(t, Serial() + " source attached (" + source_->Setup().name + ")");
  SendNotice(kNoticeAttached, t);
  LoadChanged(t);
  return true;
}

void TesterModel::DisconnectSource(SimTime t, const char* why) {
  UpdateThermal(t);
  attached_ = false;
  appliedLoadMa_ = 0;
  switching_ = false;
  ++switchToken_;
  tripPending_ = false;
  ++tripToken_;
  Note(t, Serial() + " source " + why);
  SendNotice(kNoticeDetached, t);
}

void TesterModel::Detach(SimTime t) {
  Advance(t);
  tripped_ = false;  // a source taken away does not come back by itself
  if (attached_) DisconnectSource(now_, "detached");
}

void TesterModel::SwapCharger(const ChargerSetup& charger, SimTime t, int replugMs) {
  Advance(t);
  if (!attached_) {
    source_ = std::make_unique<PowerSource>(charger);
    tripped_ = false;
    Note(now_, Serial() + " charger is now " + charger.name + " (not attached)");
    return;
  }
  DisconnectSource(now_, "unplugged for another charger");
  Schedule({now_ + static_cast<SimTime>(replugMs) * 1000, 0, EventType::Reattach, {}, 0, 0,
            std::make_shared<ChargerSetup>(charger)});
}

bool TesterModel::ChangeCapabilities(SimTime t, const ChargerSetup* charger) {
  Advance(t);
  t = now_;
  if (!attached_ || !source_) return false;
  UpdateThermal(t);
  if (charger) {
    source_ = std::make_unique<PowerSource>(*charger);
  } else {
    source_->ResetToStart();
  }
  switching_ = false;
  ++switchToken_;
  appliedLoadMa_ = std::min(appliedLoadMa_, LoadLimitMa());
  Note(t, Serial() + " source capabilities changed (" + source_->Setup().name + ")");
  SendNotice(kNoticeCapabilitiesChanged, t);
  LoadChanged(t);
  return true;
}

bool TesterModel::SourceNewProfile(SimTime t, int position, uint16_t mv) {
  Advance(t);
  if (!attached_ || !source_) return false;
  if (position == 0) position = (source_->ActiveIndex() + 1) % source_->ProfileCount() + 1;
  if (mv == 0) mv = 5000;
  return ApplyProfileRequest(position, mv, now_, true);
}

void TesterModel::SetCable(SimTime t, int mohm) {
  Advance(t);
  UpdateThermal(now_);
  setup_.cableMohm = mohm;
}

void TesterModel::SetLoopbackLoad(SimTime t, uint16_t ma) {
  Advance(t);
  UpdateThermal(now_);
  setup_.loopbackMa = ma;
  LoadChanged(now_);
}

void TesterModel::SetAmbient(SimTime t, double c) {
  Advance(t);
  UpdateThermal(now_);
  setup_.ambientC = c;
}

// --- measurements ----------------------------------------------------------------------

double TesterModel::ContractMvAt(SimTime t) const {
  if (!source_) return 0.0;
  const double target = source_->ActiveMv();
  if (!switching_ || switchEnd_ <= switchStart_) return target;
  if (t >= switchEnd_) return target;
  const double f = static_cast<double>(t - switchStart_) / static_cast<double>(switchEnd_ - switchStart_);
  return switchFromMv_ + (target - switchFromMv_) * std::clamp(f, 0.0, 1.0);
}

double TesterModel::TesterVbusMv(SimTime t) const {
  if (!attached_ || !source_) return 0.0;
  const double load = SourceLoadMa();
  const double mv = source_->OutputMv(ContractMvAt(t), load) - load * setup_.cableMohm / 1000.0;
  return std::max(0.0, mv);
}

void TesterModel::UpdateThermal(SimTime t) {
  if (t <= thermalAt_) return;
  const double dt = static_cast<double>(t - thermalAt_) / 1e6;
  const double watts = TesterVbusMv(thermalAt_) * appliedLoadMa_ / 1e6;
  const double target = setup_.ambientC + watts * kThermalCPerW;
  temperatureC_ = target + (temperatureC_ - target) * std::exp(-dt / kThermalTauSec);
  thermalAt_ = t;
}

double TesterModel::Noise(double amplitude) {
  if (amplitude <= 0.0) return 0.0;
  // splitmix64: the same seed gives the same readings on every run.
  uint64_t z = (noiseState_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  const double unit = static_cast<double>(z >> 11) / static_cast<double>(1ull << 53);  // [0, 1)
  return amplitude * (2.0 * unit - 1.0);
}

Measurement TesterModel::Measure(SimTime t) {
  Advance(t);
  return ReadMeasurement(now_);
}

Measurement TesterModel::ReadMeasurement(SimTime t) {
  UpdateThermal(t);
  Measurement m;
  m.temperatureC = static_cast<uint8_t>(std::lround(std::clamp(temperatureC_, 0.0, 255.0)));
  m.setpointMa = appliedLoadMa_;
  if (!attached_ || !source_) return m;

  const double load = SourceLoadMa();
  double vbus = TesterVbusMv(t);
  double current = vbus > kLoadDropoutMv ? appliedLoadMa_ : 0.0;
  if (vbus > 0.0) {
    if (setup_.rippleMv > 0.0 && setup_.rippleHz > 0.0) {
      vbus += setup_.rippleMv * std::sin(2.0 * kPi * setup_.rippleHz * static_cast<double>(t) / 1e6);
    }
    const SourceProfile& profile = source_->Active();
    if (profile.rippleMv > 0.0 && profile.rippleHz > 0.0) {
      vbus += profile.rippleMv * std::sin(2.0 * kPi * profile.rippleHz * static_cast<double>(t) / 1e6);
    }
    vbus += Noise(setup_.noiseMv);
  }
  if (current > 0.0) current += Noise(setup_.noiseMa);
  // The tester can add back what the cable loses, from its stored resistance.
  if (settings_.estimateUpstream) vbus += load * settings_.cableResistanceMohm / 1000.0;

  double readings[2] = {vbus, current};
  for (int ch = 0; ch < 2; ++ch) {
    double raw = readings[ch] * setup_.gain[ch] + setup_.offset[ch];
    const CalibrationRecord& c = calibration_[ch];
    if (c.isCalibrated && c.testerPoint2 != c.testerPoint1) {
      raw = c.refPoint1 + (raw - c.testerPoint1) * static_cast<double>(c.refPoint2 - c.refPoint1) /
                              static_cast<double>(c.testerPoint2 - c.testerPoint1);
    }
    readings[ch] = raw;
  }
  m.vbusMv = ClampU16(readings[0]);
  m.currentMa = current > 0.0 ? ClampU16(readings[1]) : 0;
  m.loopbackMa = settings_.loopbackEnabled ? setup_.loopbackMa : 0;
  return m;
}

Bytes TesterModel::MeasurementBody(SimTime t) {
  const Measurement m = ReadMeasurement(t);
  Bytes b{0x0C, 0, m.temperatureC};
  PutU16(b, m.vbusMv);
  PutU16(b, m.setpointMa);
  PutU16(b, m.currentMa);
  PutU16(b, m.loopbackMa);
  return b;
}

}  // namespace sim
