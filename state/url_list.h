// Editing the two URL lists and the two mode flags of the shared block, as
// the exports do it from the control program's process while filter threads
// of every process read the block.
#pragma once

#include <cstdint>

#include "state/filter_state.h"

namespace tarvel {

// Appends `text` (its first 100 bytes at most, NUL-padded) into slot [count]
// and returns 1. The slot is taken by raising the count in one interlocked
// step, so additions made at the same moment, from any processes, each get
// a slot of their own; the text is then written and the active flag set last,
// released: a reader that sees the flag 1 finds the whole text. A full list
// (count 2000 or beyond) or a null text: nothing is written and the result
// is 0.
int AddUrl(FilterState& state, ListKind kind, const char* text);

// Clears the first slot below the count whose text equals `text` exactly
// (case and length count; cleared slots compare as empty): the flag first,
// in one interlocked step, then the text. The count stays. Returns 1, found
// or not; 0 for a null text.
int DelUrl(FilterState& state, ListKind kind, const char* text);

// Stores the value unchanged; only exactly 1 counts as on. Returns 1.
int SetFlag(std::int32_t& flag, std::int32_t value);

}  // namespace tarvel
