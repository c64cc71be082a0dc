// Process-wide values of the program. A tester's values are not among them:
// each tester has its own TesterState (shell/tester_state.h).
#pragma once

#include "core/base/tester_state.h"

extern float uiScale;  // display scale factor, 1.0
