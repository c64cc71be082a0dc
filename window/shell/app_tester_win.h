// The window's tester. The program drives one tester at a time, and its state
// is this one instance, owned by the program: the user interface, the monitor
// loop, the graph test and the link's notice callback all work on it, under
// the rules of shell/tester_state.h (single aligned stores; a request's value
// before its flag; only the monitor loop clears a flag).
//
// The window's files use the short names below for its parts.
#pragma once

#include "core/base/tester_state.h"

extern TesterState appTester;

extern LiveState& live;
extern Requests& requests;
extern TestConfiguration& config;
extern GraphFlags& graph;

inline PdoList GetPdoList() { return appTester.GetPdoList(); }
