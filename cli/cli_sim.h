// --sim: the simulated tester in this process (the project's model behind the
// monitor core's simulated link, with its wire timing), in real time or, with
// the scenario's `option clock simulated`, as fast as the model runs.
#pragma once

#include <string>
#include <vector>

#include "cli/cli_platform.h"
#include "sim/sim_scenario.h"

// A scenario file by path, or by name from the scenarios folder beside the
// program (or in the source tree it was built from); "default" is built in.
bool LoadNamedScenario(const std::string& name, sim::Scenario* scenario, std::string* error);

// The scenario's testers that are plugged in at the start.
bool ListSimPlaces(const std::string& scenario, std::vector<TesterPlace>* places, std::string* error);
OpenOutcome OpenSimPlace(const std::string& scenario, const TesterPlace& place);
