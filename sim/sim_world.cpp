#include "sim/sim_world.h"

#include <algorithm>

namespace sim {

const char* OpenResultText(OpenResult r) {
  switch (r) {
    case OpenResult::Ok: return "opened";
    case OpenResult::Unknown: return "no such device";
    case OpenResult::NotPlugged: return "device not plugged in";
    case OpenResult::AlreadyOpen: return "device already open";
    case OpenResult::Refused: return "device failed to open";
  }
  return "?";
}

SimWorld::SimWorld(FrameRecorder* recorder) : recorder_(recorder) {}

void SimWorld::Note(SimTime t, const std::string& text) {
  if (recorder_) recorder_->Note(t, text);
}

void SimWorld::Load(const Scenario& scenario) {
  slots_.clear();
  chargers_ = scenario.chargers;
  timeline_ = scenario.timeline;
  nextTimeline_ = 0;
  plugEvents_.clear();
  seed_ = scenario.seed;
  now_ = 0;
  for (const DeviceSetup& d : scenario.devices) {
    Slot slot;
    slot.model = std::make_unique<TesterModel>(d, recorder_, seed_ + slots_.size());
    slot.model->SetHostOpen(false, 0);  // nobody listens until the device is opened
    slot.generation = nextGeneration_++;
    slots_.push_back(std::move(slot));
  }
  Note(0, "scenario " + scenario.origin + ": " + std::to_string(slots_.size()) + " device(s)");
}

int SimWorld::PluggedCount() const {
  return static_cast<int>(
      std::count_if(slots_.begin(), slots_.end(), [](const Slot& s) { return s.model->Plugged(); }));
}

TesterModel* SimWorld::PluggedAt(int index) {
  for (Slot& s : slots_) {
    if (!s.model->Plugged()) continue;
    if (index-- == 0) return s.model.get();
  }
  return nullptr;
}

SimWorld::Slot* SimWorld::FindSlot(const std::string& serial) {
  for (Slot& s : slots_) {
    if (s.model->Serial() == serial) return &s;
  }
  return nullptr;
}

TesterModel* SimWorld::Find(const std::string& serial) {
  Slot* s = FindSlot(serial);
  return s ? s->model.get() : nullptr;
}

OpenResult SimWorld::Open(const std::string& serial, SimTime t, uint64_t* generation) {
  Advance(t);
  Slot* s = FindSlot(serial);
  OpenResult result = OpenResult::Ok;
  if (!s) result = OpenResult::Unknown;
  else if (!s->model->Plugged()) result = OpenResult::NotPlugged;
  else if (s->open) result = OpenResult::AlreadyOpen;
  else if (s->model->ConsumeFailOpen()) result = OpenResult::Refused;
  if (result != OpenResult::Ok) {
    Note(now_, "open " + serial + " failed: " + OpenResultText(result));
    return result;
  }
  s->open = true;
  s->model->SetHostOpen(true, now_);
  *generation = s->generation;
  Note(now_, "open " + serial);
  return OpenResult::Ok;
}

TesterModel* SimWorld::Opened(const std::string& serial, uint64_t generation) {
  Slot* s = FindSlot(serial);
  if (!s || !s->open || s->generation != generation || !s->model->Plugged()) return nullptr;
  return s->model.get();
}

void SimWorld::Close(const std::string& serial, uint64_t generation, SimTime t) {
  Advance(t);
  Slot* s = FindSlot(serial);
  if (!s || !s->open || s->generation != generation) return;
  s->open = false;
  s->model->SetHostOpen(false, now_);
  Note(now_, "close " + serial);
}

void SimWorld::SetPlugged(Slot& slot, bool plugged, SimTime t) {
  if (slot.model->Plugged() == plugged) return;
  if (plugged) {
    slot.generation = nextGeneration_++;
    slot.model->Plug(t);
  } else {
    slot.model->Unplug(t);
  }
  slot.open = false;
  plugEvents_.push_back({plugged, slot.model->Serial(), t});
}

void SimWorld::Advance(SimTime t) {
  if (t < now_) t = now_;
  for (;;) {
    // Devices first, up to the next timeline event (or t), so that events see
    // the world as it was at their time.
    const SimTime until =
        nextTimeline_ < timeline_.size() ? std::min(t, std::max(now_, timeline_[nextTimeline_].at)) : t;
    for (Slot& s : slots_) {
      s.model->Advance(until);
      // An unplug fault makes the tester drop off the bus by itself.
      if (auto at = s.model->TakeUnplugRequest()) {
        s.open = false;
        plugEvents_.push_back({false, s.model->Serial(), *at});
      }
    }
    now_ = until;
    if (nextTimeline_ >= timeline_.size() || timeline_[nextTimeline_].at > t) break;
    const TimelineEvent e = timeline_[nextTimeline_++];
    std::string error;
    if (!Apply(e.command, now_, &error)) Note(now_, "timeline line " + std::to_string(e.line) + ": " + error);
  }
  now_ = t;
}

SimTime SimWorld::NextEventTime() const {
  SimTime next = nextTimeline_ < timeline_.size() ? std::max(now_, timeline_[nextTimeline_].at) : kNever;
  for (const Slot& s : slots_) next = std::min(next, s.model->NextEventTime());
  return next;
}

std::vector<PlugEvent> SimWorld::TakePlugEvents() {
  std::vector<PlugEvent> events;
  events.swap(plugEvents_);
  return events;
}

TesterModel* SimWorld::Target(const std::string& serial, std::string* error) {
  if (!serial.empty()) {
    TesterModel* m = Find(serial);
    if (!m) *error = "no device '" + serial + "'";
    return m;
  }
  for (Slot& s : slots_) {
    if (s.model->IsTester()) return s.model.get();
  }
  *error = "there is no tester";
  return nullptr;
}

bool SimWorld::Execute(const std::string& line, SimTime t, std::string* error) {
  ControlCommand command;
  if (!ParseControlCommand(line, chargers_, &command, error)) return false;
  return Execute(command, t, error);
}

bool SimWorld::Execute(const ControlCommand& c, SimTime t, std::string* error) {
  Advance(t);
  return Apply(c, now_, error);
}

bool SimWorld::Apply(const ControlCommand& c, SimTime t, std::string* error) {
  using Kind = ControlCommand::Kind;
  switch (c.kind) {
    case Kind::Plug: {
      Slot* s = FindSlot(c.device.serial);
      if (!s) {
        DeviceSetup d = c.device;
        d.plugged = false;
        if (d.description.empty()) {
          d.description = !d.isTester ? "USB Serial Converter"
                          : d.hardwareRevision >= 20 ? "KT-60 Load Tester" : "KT-40 Load Tester";
        }
        Slot slot;
        slot.model = std::make_unique<TesterModel>(d, recorder_, seed_ + slots_.size());
        slot.model->Advance(t);
        slots_.push_back(std::move(slot));
        s = &slots_.back();
      } else if (s->model->Plugged()) {
        *error = "'" + c.device.serial + "' is already plugged in";
        return false;
      }
      SetPlugged(*s, true, t);
      return true;
    }
    case Kind::Unplug: {
      Slot* s = FindSlot(c.text);
      if (!s) {
        *error = "no device '" + c.text + "'";
        return false;
      }
      if (!s->model->Plugged()) {
        *error = "'" + c.text + "' is not plugged in";
        return false;
      }
      SetPlugged(*s, false, t);
      return true;
    }
    case Kind::Note:
      Note(t, "note " + c.text);
      return true;
    default:
      break;
  }

  TesterModel* m = Target(c.target, error);
  if (!m) return false;
  switch (c.kind) {
    case Kind::Attach:
      if (!m->Attach(t, c.hasCharger ? &c.charger : nullptr)) {
        *error = m->Serial() + " has no charger to attach";
        return false;
      }
      return true;
    case Kind::Detach:
      m->Detach(t);
      return true;
    case Kind::Charger:
      m->SwapCharger(c.charger, t);
      return true;
    case Kind::CapChange:
      if (!m->ChangeCapabilities(t, c.hasCharger ? &c.charger : nullptr)) {
        *error = m->Serial() + " has no source attached";
        return false;
      }
      return true;
    case Kind::NewProfile:
      if (!m->SourceNewProfile(t, c.position, c.mv)) {
        *error = m->Serial() + ": no source attached or no such profile";
        return false;
      }
      return true;
    case Kind::Fault:
      m->AddFault(c.fault);
      Note(t, m->Serial() + " fault armed");
      return true;
    case Kind::ClearFaults:
      m->ClearFaults();
      Note(t, m->Serial() + " faults cleared");
      return true;
    case Kind::Ripple:
      m->SetRipple(c.a, c.b);
      return true;
    case Kind::Noise:
      m->SetNoise(c.a, c.b);
      return true;
    case Kind::Cable:
      m->SetCable(t, static_cast<int>(c.a));
      return true;
    case Kind::Loopback:
      m->SetLoopbackLoad(t, static_cast<uint16_t>(c.a));
      return true;
    case Kind::Ambient:
      m->SetAmbient(t, c.a);
      return true;
    default:
      *error = "unhandled command";
      return false;
  }
}

}  // namespace sim
