// The one FilterState of this module and the extensions beside it. On
// Windows both live in the module's shared data section (one SharedData), so
// every process holding the module sees the same block; the native test
// build keeps ordinary instances.
#pragma once

#include "state/extensions.h"
#include "state/filter_state.h"

namespace tarvel {

FilterState& SharedState();
SharedExtensions& SharedExtensionBlock();

}  // namespace tarvel
