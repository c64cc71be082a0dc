#include "core/base/shared_state.h"

float uiScale = 1.0f;
