// Test blocks: a FilterState (and extensions) on the heap, set up as the
// tests need it.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>

#include "state/extensions.h"
#include "state/filter_state.h"

namespace tarvel::testing {

// A block with the initial content of a newly created one.
std::unique_ptr<FilterState> NewState();

// A block with the built-in phrase table filled (as after set-up).
std::unique_ptr<FilterState> NewStateWithPhrases();

// Extensions with the initial content of a new block, the HTTPS filter's
// flag set to `https_filter`.
std::unique_ptr<SharedExtensions> NewExtensions(std::int32_t https_filter = 0);

// Appends active entries to a list, as loading a list file does.
void AddEntries(FilterState& state, ListKind kind, std::initializer_list<std::string> texts);

}  // namespace tarvel::testing
