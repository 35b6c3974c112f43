// The keyword phrase test of the smart filter.
#pragma once

#include <cstdint>

#include "platform/cpu_features.h"
#include "state/filter_state.h"

namespace tarvel {

inline constexpr int kBuiltInPhraseCount = 89;

// The built-in phrases in slot order: one to four words of lower-case ASCII
// separated by single blanks.
extern const char* const kBuiltInPhrases[kBuiltInPhraseCount];

// Writes the built-in phrases into slots 0..88 (zero-padded) and sets the
// phrase count to 89, returning 1; returns 0 and changes nothing when the
// block's attach counter is not 0 (the block was set up already).
int FillPhraseTable(FilterState& state);

// 1 if some phrase of the table occurs in `buffer[0..length)`, else 0. A
// phrase occurs when each of its (up to five, blank-separated) words occurs
// somewhere in the bytes, ASCII case ignored, in any order, inside longer
// words too, and not ending at the last byte: the last byte is never compared.
// Zero bytes are ordinary bytes. A null buffer, a length of 0 and an empty
// table give 0; so does any other length of 1 or less (negative ones too),
// unless a slot in use holds no word: all of its no words are found in every
// buffer. Tables for the phrase table are built on the first call that sees
// it (the only call that allocates); later calls read the buffer once.
int MatchPhrases(const FilterState& state, const void* buffer, std::int32_t length);

// The slot of the first phrase, in table order, that MatchPhrases would find
// in `buffer[0..length)`, or -1 when it finds none: the phrase the plain
// phrase-by-phrase search stops at. It reads the whole buffer (no early end
// at the first phrase), with the tables MatchPhrases built for the table,
// or phrase by phrase when there are none; it builds none and does not
// allocate, so it is meant for a buffer MatchPhrases already judged.
std::int32_t FirstPhraseFound(const FilterState& state, const void* buffer, std::int32_t length);

// Caps the vector instructions MatchPhrases uses, for tests and benchmarks
// (the processor's own limit applies in any case); returns the previous cap.
SimdLevel CapPhraseScanLevel(SimdLevel cap);

}  // namespace tarvel
