// Process-wide values of the program.
#pragma once

#include "shell/tester_state.h"

extern float uiScale;  // display scale factor, 1.0

// One tester for the whole process, while callers move to a state of their own.
extern TesterState processTester;
extern LiveState& live;
extern Requests& requests;
extern TestConfiguration& config;
extern GraphFlags& graph;
PdoList GetPdoList();
void SetPdoList(const PdoList& list);
void RecomputeMaxLoadCurrent();
// Puts every shared value back to its start-up value (used by tests).
void ResetSharedState();
