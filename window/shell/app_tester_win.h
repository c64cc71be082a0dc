// The window's tester. The program drives one tester at a time, and its state
// and its link are these single instances, owned by the program: the user
// interface, the monitor loop, the graph test and the link's notice callback
// all work on them, under the rules of shell/tester_state.h (single aligned
// stores; a request's value before its flag; only the monitor loop clears a
// flag).
//
// The window's files use the short names below for its parts.
#pragma once

#include "core/base/tester_state.h"

class TesterLink;

extern TesterState appTester;
extern TesterLink testerLink;  // core/link/tester_link_win.h

extern LiveState& live;
extern Requests& requests;
extern TestConfiguration& config;
extern GraphFlags& graph;

inline PdoList GetPdoList() { return appTester.GetPdoList(); }
