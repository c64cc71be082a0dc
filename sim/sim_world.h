// The simulated USB bus: the FTDI devices of a scenario in listing order, which
// of them are plugged in and opened, the scenario's timeline, and the control
// commands that change things while a test runs. Not thread-safe: the DLL
// guards it with one lock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/sim_record.h"
#include "sim/sim_scenario.h"
#include "sim/sim_tester.h"

namespace sim {

struct PlugEvent {
  bool arrived = false;
  std::string serial;
  SimTime at = 0;
};

enum class OpenResult { Ok, Unknown, NotPlugged, AlreadyOpen, Refused };
const char* OpenResultText(OpenResult r);

class SimWorld {
 public:
  // `recorder` may be null.
  explicit SimWorld(FrameRecorder* recorder = nullptr);

  // Replaces everything with the scenario's devices; the world starts at time 0.
  void Load(const Scenario& scenario);

  // Devices that are plugged in, in listing order.
  int PluggedCount() const;
  // The n-th plugged device (nullptr past the end).
  TesterModel* PluggedAt(int index);
  // Any device by serial, plugged or not (nullptr when unknown).
  TesterModel* Find(const std::string& serial);

  // Opening by serial: the device must be plugged in, not open, and have no
  // failopen fault left. On success *generation identifies this plug-in, so a
  // handle outlives neither an unplug nor a later re-plug.
  OpenResult Open(const std::string& serial, SimTime t, uint64_t* generation);
  void Close(const std::string& serial, uint64_t generation, SimTime t);
  // The device behind an open handle, or nullptr once it was unplugged/closed.
  TesterModel* Opened(const std::string& serial, uint64_t generation);

  // Runs the timeline and every device up to time t.
  void Advance(SimTime t);
  SimTime NextEventTime() const;

  // Executes one control line at time t (after advancing to it).
  bool Execute(const std::string& line, SimTime t, std::string* error);
  bool Execute(const ControlCommand& command, SimTime t, std::string* error);

  // Plug and unplug events since the last call, oldest first.
  std::vector<PlugEvent> TakePlugEvents();

  FrameRecorder* Recorder() const { return recorder_; }
  const std::vector<ChargerSetup>& Chargers() const { return chargers_; }

 private:
  struct Slot {
    std::unique_ptr<TesterModel> model;
    bool open = false;
    uint64_t generation = 1;
  };
  Slot* FindSlot(const std::string& serial);
  TesterModel* Target(const std::string& serial, std::string* error);
  void SetPlugged(Slot& slot, bool plugged, SimTime t);
  bool Apply(const ControlCommand& command, SimTime t, std::string* error);
  void Note(SimTime t, const std::string& text);

  FrameRecorder* recorder_;
  std::vector<Slot> slots_;  // listing order: scenario order, later arrivals at the end
  std::vector<ChargerSetup> chargers_;
  std::vector<TimelineEvent> timeline_;
  size_t nextTimeline_ = 0;
  std::vector<PlugEvent> plugEvents_;
  uint64_t seed_ = 1;
  uint64_t nextGeneration_ = 1;
  SimTime now_ = 0;
};

}  // namespace sim
