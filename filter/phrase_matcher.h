// The tables behind MatchPhrases, built once for a phrase table.
//
// A phrase occurs in a buffer exactly when each of its words occurs wholly
// within the buffer's first length - 1 bytes (the last byte is never
// compared), ASCII case ignored. So one pass that notes which words occur,
// counting down the words each phrase still lacks, gives the same answer as
// searching phrase by phrase. The pass is an automaton over the distinct
// words, behind a vector prefilter that clears buffers holding none of a few
// key words.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filter/key_prefilter.h"
#include "filter/word_automaton.h"
#include "platform/cpu_features.h"
#include "state/filter_state.h"

namespace tarvel {

inline constexpr int kMaxPhraseWords = 5;

// The words of one slot as a "%s%s%s%s%s" scan takes them: up to five runs
// of non-space bytes within the slot's text (its bytes up to the first NUL,
// at most the whole slot); anything after the fifth word is ignored.
struct SlotWords {
  struct Word {
    const char* text;
    int length;
  };
  Word word[kMaxPhraseWords];
  int count;
};
SlotWords SplitSlot(const char (&slot)[kPhraseSlotBytes]);

// True if `word` (length bytes, any case) lies wholly inside p[0..n), ASCII
// case ignored.
bool ContainsWord(const unsigned char* p, std::size_t n, const char* word, int length);

// The first slot, in table order and with the count read again after each
// slot, whose words all lie wholly inside p[0..n), ASCII case ignored; -1
// when none does. A slot without words is found in any bytes. The search
// phrase by phrase, without tables.
std::int32_t FirstSlotFound(const FilterState& state, const unsigned char* p, std::size_t n);

class PhraseMatcher {
 public:
  // Builds the tables for the slots MatchPhrases visits with this count:
  // the first min(count, 100). count must be above 0. Throws std::bad_alloc.
  static std::unique_ptr<PhraseMatcher> Build(const char (&slots)[kPhraseSlots][kPhraseSlotBytes],
                                              std::int32_t count);

  // True if built from a table with this count and the same bytes in the
  // slots it visits; `level` caps the vector instructions of the compare.
  bool SameTable(const char (&slots)[kPhraseSlots][kPhraseSlotBytes], std::int32_t count,
                 SimdLevel level) const;

  // MatchPhrases on the table this was built from: 1 if a phrase occurs in
  // buffer[0 .. length - 1), else 0; a null buffer or a length of 0 gives 0,
  // and a slot without words matches every other buffer, whatever its
  // length. `level` caps the vector instructions used (the processor's own
  // limit applies as well); kNone runs the automaton alone. Does not
  // allocate.
  int Match(const void* buffer, std::int32_t length, SimdLevel level) const;

  // The slot of the first phrase, in table order, that Match finds in the
  // same bytes, or -1. Reads the whole buffer once through the automaton,
  // which notes every word; a table without one searches slot by slot.
  // Does not allocate.
  std::int32_t FirstFound(const void* buffer, std::int32_t length) const;

  bool has_automaton() const { return automaton_.built(); }
  bool has_prefilter() const { return prefilter_.built(); }
  const KeyPrefilter& prefilter() const { return prefilter_; }

 private:
  friend class PhraseProgress;

  PhraseMatcher() = default;
  int MatchWordByWord(const unsigned char* p, std::size_t n) const;
  std::int32_t FirstSlotFoundHere(const unsigned char* p, std::size_t n) const;
  std::size_t used_slots() const;

  std::int32_t count_ = 0;
  char slots_[kPhraseSlots][kPhraseSlotBytes] = {};
  bool always_ = false;  // a visited slot has no word

  std::vector<std::string> words_;               // distinct, lower case
  std::vector<std::uint8_t> words_needed_;       // per phrase: distinct words
  std::vector<std::uint32_t> phrases_of_begin_;  // per word, into phrases_of_
  std::vector<std::uint8_t> phrases_of_;         // phrases holding each word
  WordAutomaton automaton_;
  KeyPrefilter prefilter_;
};

}  // namespace tarvel
