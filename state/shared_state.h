// The one FilterState of this module. On Windows it lives in the module's
// shared data section, so every process holding the module sees the same
// block; the native test build keeps an ordinary instance.
#pragma once

#include "state/filter_state.h"

namespace tarvel {

FilterState& SharedState();

}  // namespace tarvel
