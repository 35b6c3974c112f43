// MatchPhrases against the plain phrase-by-phrase search, on every vector
// level this processor has, and the first phrase found against the one the
// plain search stops at; aborts on the first disagreement.
//
// Input: a mode byte, then either the buffer (built-in table), or a count
// byte (read as signed), NUL-separated slot texts up to that count (at most
// 100, each cut to 50 bytes) and then the buffer. The buffer is the rest of
// the input in place, so a read past its end is a read past the input.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "filter/phrase_matcher.h"
#include "filter/phrases.h"
#include "tests/testing/phrases_plain.h"

namespace {

using tarvel::FilterState;
using tarvel::PhraseMatcher;
using tarvel::SimdLevel;

constexpr std::uint8_t kOwnTable = 1;
constexpr std::uint8_t kNegativeLength = 2;

const FilterState& BuiltInTable() {
  static const FilterState* state = [] {
    static FilterState s;
    tarvel::ResetToInitial(s);
    tarvel::FillPhraseTable(s);
    return &s;
  }();
  return *state;
}

// Reads the table part; returns the number of bytes it took.
std::size_t ReadTable(const std::uint8_t* data, std::size_t size, FilterState& state) {
  std::memset(state.phrases, 0, sizeof state.phrases);
  state.phrase_count = 0;
  if (size == 0) return 0;
  state.phrase_count = static_cast<std::int8_t>(data[0]);
  std::size_t at = 1;
  for (int k = 0; k < tarvel::kPhraseSlots && k < state.phrase_count && at < size; ++k) {
    const void* nul = std::memchr(data + at, 0, size - at);
    const std::size_t len = nul ? static_cast<const std::uint8_t*>(nul) - (data + at) : size - at;
    std::memcpy(state.phrases[k], data + at,
                len < tarvel::kPhraseSlotBytes ? len : tarvel::kPhraseSlotBytes);
    at += len + (nul ? 1 : 0);
  }
  return at;
}

void Check(const FilterState& state, const PhraseMatcher& matcher, const std::uint8_t* buffer,
           std::int32_t length) {
  const int plain = tarvel::testing::MatchPhrasesPlain(state, buffer, length);
  const std::int32_t first = tarvel::testing::FirstPhrasePlain(state, buffer, length);
  if (matcher.FirstFound(buffer, length) != first ||
      tarvel::FirstPhraseFound(state, buffer, length) != first) {
    std::abort();
  }
  for (int level = 0; level <= static_cast<int>(tarvel::SupportedSimdLevel()); ++level) {
    if (matcher.Match(buffer, length, static_cast<SimdLevel>(level)) != plain) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > (1u << 20)) return 0;
  const std::uint8_t mode = data[0];
  ++data, --size;
  if ((mode & kOwnTable) == 0) {
    static const auto matcher =
        PhraseMatcher::Build(BuiltInTable().phrases, BuiltInTable().phrase_count);
    const auto length = static_cast<std::int32_t>(size);
    Check(BuiltInTable(), *matcher, data, (mode & kNegativeLength) ? -length : length);
    if (tarvel::MatchPhrases(BuiltInTable(), data, length) !=
        tarvel::testing::MatchPhrasesPlain(BuiltInTable(), data, length)) {
      std::abort();
    }
    return 0;
  }
  static FilterState* const state = new FilterState();  // one block, rewritten per input
  const std::size_t used = ReadTable(data, size, *state);
  const auto length = static_cast<std::int32_t>(size - used);
  if (state->phrase_count <= 0) return 0;
  const auto matcher = PhraseMatcher::Build(state->phrases, state->phrase_count);
  Check(*state, *matcher, data + used, (mode & kNegativeLength) ? -length : length);
  return 0;
}
