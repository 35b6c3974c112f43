// The one FilterState of this module and the extensions beside it. On
// Windows both live in the module's shared data section (one SharedData), so
// every process holding the module sees the same block; the native test
// build keeps ordinary instances.
#pragma once

#include "state/extensions.h"
#include "state/filter_state.h"

// The name of the module's shared section: the module defines it
// (platform/win/shared_section.cpp), tarvelctl and the Windows tests find
// the block in a loaded module by it.
#define TARVEL_SHARED_SECTION ".inidata"

namespace tarvel {

inline constexpr char kSharedSectionName[] = TARVEL_SHARED_SECTION;

FilterState& SharedState();
SharedExtensions& SharedExtensionBlock();

}  // namespace tarvel
