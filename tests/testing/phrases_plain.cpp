// The phrase test as the table defines it: every phrase split anew, every
// word searched from the start of the buffer. Kept as the reference that
// MatchPhrases must agree with on every input.
#include "tests/testing/phrases_plain.h"

#include "filter/ascii.h"

namespace tarvel::testing {
namespace {

constexpr int kMaxWords = 5;

struct Words {
  unsigned char text[kMaxWords][kPhraseSlotBytes + 1];
  int length[kMaxWords];
  int count;
};

// Splits a slot as a "%s%s%s%s%s" scan would: runs of non-space bytes, at most
// five, within the slot's bytes up to its first NUL.
void SplitSlot(const char (&slot)[kPhraseSlotBytes], Words& words) {
  words.count = 0;
  int i = 0;
  while (words.count < kMaxWords) {
    while (i < kPhraseSlotBytes && slot[i] != '\0' &&
           IsSpaceAscii(static_cast<unsigned char>(slot[i])))
      ++i;
    if (i == kPhraseSlotBytes || slot[i] == '\0') break;
    int n = 0;
    while (i < kPhraseSlotBytes && slot[i] != '\0' &&
           !IsSpaceAscii(static_cast<unsigned char>(slot[i]))) {
      words.text[words.count][n++] = static_cast<unsigned char>(slot[i++]);
    }
    words.length[words.count++] = n;
  }
}

// First start p < length - L where the L bytes equal the word, ASCII case
// ignored; the last start the caller's contract allows is length - L - 1.
bool FindWord(const unsigned char* buf, std::int32_t length, const unsigned char* word, int L) {
  const std::int64_t m = static_cast<std::int64_t>(length) - L;
  for (std::int64_t p = 0; p < m; ++p) {
    int k = 0;
    while (k < L && EqualIgnoringAsciiCase(buf[p + k], word[k])) ++k;
    if (k == L) return true;
  }
  return false;
}

}  // namespace

int MatchPhrasesPlain(const FilterState& state, const void* buffer, std::int32_t length) {
  return FirstPhrasePlain(state, buffer, length) >= 0 ? 1 : 0;
}

std::int32_t FirstPhrasePlain(const FilterState& state, const void* buffer, std::int32_t length) {
  if (buffer == nullptr || length == 0) return -1;
  if (Load(state.phrase_count) <= 0) return -1;
  const auto* buf = static_cast<const unsigned char*>(buffer);
  for (int k = 0; k < kPhraseSlots && k < Load(state.phrase_count); ++k) {
    Words words;
    SplitSlot(state.phrases[k], words);
    // A slot without words is a phrase whose words are all found: it matches
    // anything. Only a block written by something other than set-up has one.
    bool all = true;
    for (int w = 0; w < words.count && all; ++w) {
      all = FindWord(buf, length, words.text[w], words.length[w]);
    }
    if (all) return k;
  }
  return -1;
}

}  // namespace tarvel::testing
