#include "cli/cli_sim.h"

#include <filesystem>
#include <mutex>

#include "sim/sim_link.h"
#include "sim/sim_tester.h"

namespace {

namespace fs = std::filesystem;

class SimCliLink : public CliLink {
 public:
  SimCliLink(const sim::DeviceSetup& setup, sim::Clock clock)
      : model(setup, nullptr),
        link(model, clock == sim::Clock::Simulated ? sim::SimLink::Time::Simulated : sim::SimLink::Time::Real) {
    stopCallback_ = AddStopCallback([this] { link.Stop(); });
  }
  ~SimCliLink() override { RemoveStopCallback(stopCallback_); }
  TesterPort& Port() override { return link; }
  MonitorClock& Clock() override { return link; }

  sim::TesterModel model;
  sim::SimLink link;

 private:
  int stopCallback_ = 0;
};

// Parsed once per run: every command of a process sees the same scenario.
// Several testers open theirs from their own threads: the lock keeps the
// parse to one, and the scenario is never changed once parsed.
const sim::Scenario* Loaded(const std::string& name, std::string* error) {
  static std::mutex lock;
  static sim::Scenario scenario;
  static std::string loadedName;
  static std::string loadError;
  static bool ok = false;
  std::lock_guard<std::mutex> hold(lock);
  if (loadedName != name || !ok) {
    loadedName = name;
    loadError.clear();
    ok = LoadNamedScenario(name, &scenario, &loadError);
  }
  if (!ok) *error = loadError;
  return ok ? &scenario : nullptr;
}

}  // namespace

bool LoadNamedScenario(const std::string& name, sim::Scenario* scenario, std::string* error) {
  if (name.empty() || name == "default") {
    return sim::ParseScenario(sim::DefaultScenarioText(), "default", scenario, error);
  }
  std::vector<fs::path> candidates = {fs::path(name)};
  std::vector<fs::path> folders = {fs::path(ProgramFolder()) / "scenarios"};
#ifdef LOADPOST_SCENARIO_DIR
  folders.push_back(LOADPOST_SCENARIO_DIR);
#endif
  for (const fs::path& dir : folders) {
    candidates.push_back(dir / name);
    candidates.push_back(dir / (name + ".sim"));
  }
  std::error_code ec;
  for (const fs::path& p : candidates) {
    if (fs::is_regular_file(p, ec)) return sim::LoadScenarioFile(p.string(), scenario, error);
  }
  *error = "no scenario '" + name + "' (a file, or a name from sim/scenarios such as kt40 or two-testers)";
  return false;
}

bool ListSimPlaces(const std::string& name, std::vector<TesterPlace>* places, std::string* error) {
  places->clear();
  const sim::Scenario* scenario = Loaded(name, error);
  if (!scenario) return false;
  for (const sim::DeviceSetup& d : scenario->devices) {
    if (d.isTester && d.plugged) places->push_back({d.serial, ""});
  }
  return true;
}

OpenOutcome OpenSimPlace(const std::string& name, const TesterPlace& place) {
  OpenOutcome outcome;
  const sim::Scenario* scenario = Loaded(name, &outcome.detail);
  if (!scenario) return outcome;
  for (const sim::DeviceSetup& d : scenario->devices) {
    if (d.serial == place.serial) {
      outcome.link = std::make_unique<SimCliLink>(d, scenario->clock);
      outcome.status = OpenStatus::Ok;
      return outcome;
    }
  }
  outcome.detail = "no such tester in the scenario";
  return outcome;
}
