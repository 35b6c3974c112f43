// The one FilterState of this module and the extensions beside it. On
// Windows they live in the module's shared data section, so every process
// holding the module sees the same block; the native test build keeps an
// ordinary instance.
#pragma once

#include "state/extensions.h"
#include "state/filter_state.h"

namespace tarvel {

FilterState& SharedState();
FilterExtensions& SharedExtensions();

}  // namespace tarvel
