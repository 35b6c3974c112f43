// The phrase test exactly as the table defines it, slot by slot, word by
// word, every start position in turn: the reference for MatchPhrases.
#pragma once

#include <cstdint>

#include "state/filter_state.h"

namespace tarvel::testing {

// Same contract as MatchPhrases; allocates nothing, builds no tables.
int MatchPhrasesPlain(const FilterState& state, const void* buffer, std::int32_t length);

// The slot where that search stops: the first phrase, in table order, that
// occurs; -1 when it answers 0.
std::int32_t FirstPhrasePlain(const FilterState& state, const void* buffer, std::int32_t length);

}  // namespace tarvel::testing
