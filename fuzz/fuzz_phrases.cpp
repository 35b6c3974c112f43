// MatchPhrases over the built-in table on the exact input bytes.
#include <cstdint>
#include <cstdlib>

#include "filter/phrases.h"

namespace {

const tarvel::FilterState& Table() {
  static const tarvel::FilterState* state = [] {
    static tarvel::FilterState s;
    tarvel::ResetToInitial(s);
    tarvel::FillPhraseTable(s);
    return &s;
  }();
  return *state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 20) return 0;
  const int r = tarvel::MatchPhrases(Table(), data, static_cast<std::int32_t>(size));
  if (r != 0 && r != 1) std::abort();
  return 0;
}
