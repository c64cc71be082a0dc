// Operations of subsystems that are still being built. Each definition here is
// removed when its subsystem's own file provides it.
#include <windows.h>

#include "shell/app_win.h"
#include "shell/shared_state.h"

