#include "filter/phrase_matcher.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "filter/ascii.h"
#include "filter/equal_bytes.h"

namespace tarvel {

SlotWords SplitSlot(const char (&slot)[kPhraseSlotBytes]) {
  SlotWords words{};
  auto is_space = [](char c) { return IsSpaceAscii(static_cast<unsigned char>(c)); };
  int i = 0;
  while (words.count < kMaxPhraseWords) {
    while (i < kPhraseSlotBytes && slot[i] != '\0' && is_space(slot[i])) ++i;
    if (i == kPhraseSlotBytes || slot[i] == '\0') break;
    const int start = i;
    while (i < kPhraseSlotBytes && slot[i] != '\0' && !is_space(slot[i])) ++i;
    words.word[words.count++] = {slot + start, i - start};
  }
  return words;
}

bool ContainsWord(const unsigned char* p, std::size_t n, const char* word, int length) {
  const auto len = static_cast<std::size_t>(length);
  if (len == 0 || len > n) return len == 0;
  const unsigned char first = ToLowerAscii(static_cast<unsigned char>(word[0]));
  for (std::size_t s = 0; s + len <= n; ++s) {
    if (ToLowerAscii(p[s]) != first) continue;
    std::size_t k = 1;
    while (k < len && EqualIgnoringAsciiCase(p[s + k], static_cast<unsigned char>(word[k]))) ++k;
    if (k == len) return true;
  }
  return false;
}

namespace {

bool SlotFound(const char (&slot)[kPhraseSlotBytes], const unsigned char* p, std::size_t n) {
  const SlotWords split = SplitSlot(slot);
  bool all = true;
  for (int w = 0; w < split.count && all; ++w) {
    all = ContainsWord(p, n, split.word[w].text, split.word[w].length);
  }
  return all;
}

}  // namespace

std::int32_t FirstSlotFound(const FilterState& state, const unsigned char* p, std::size_t n) {
  for (int k = 0; k < kPhraseSlots && k < Load(state.phrase_count); ++k) {
    if (SlotFound(state.phrases[k], p, n)) return k;
  }
  return -1;
}

// Which words one pass has met so far, and how many words each phrase still
// lacks; lives on the stack of a single call. With `whole_pass` the pass
// goes on to the end, so that every phrase found is known.
class PhraseProgress {
 public:
  explicit PhraseProgress(const PhraseMatcher& m, bool whole_pass = false)
      : m_(m), whole_pass_(whole_pass) {
    std::memcpy(missing_, m.words_needed_.data(), m.words_needed_.size());
  }

  // The first phrase whose words were all met, or -1.
  std::int32_t FirstComplete() const {
    for (std::size_t ph = 0; ph < m_.words_needed_.size(); ++ph) {
      if (missing_[ph] == 0) return static_cast<std::int32_t>(ph);
    }
    return -1;
  }

  // True once some phrase has all its words.
  bool Found(std::uint16_t word) {
    std::uint64_t& bits = seen_[word >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (word & 63);
    if ((bits & bit) != 0) return false;
    bits |= bit;
    const std::uint32_t end = m_.phrases_of_begin_[word + 1];
    for (std::uint32_t i = m_.phrases_of_begin_[word]; i < end; ++i) {
      if (--missing_[m_.phrases_of_[i]] == 0) return true;
    }
    return false;
  }

  // The automaton's sink.
  bool operator()(const std::uint16_t* first, const std::uint16_t* last) {
    for (; first != last; ++first) {
      if (Found(*first) && !whole_pass_) return true;
    }
    return false;
  }

 private:
  static constexpr int kMaxWords = kPhraseSlots * kMaxPhraseWords;
  const PhraseMatcher& m_;
  const bool whole_pass_;
  std::uint64_t seen_[(kMaxWords + 63) / 64] = {};
  std::uint8_t missing_[kPhraseSlots];
};

std::size_t PhraseMatcher::used_slots() const {
  return static_cast<std::size_t>(std::min<std::int32_t>(count_, kPhraseSlots));
}

std::unique_ptr<PhraseMatcher> PhraseMatcher::Build(
    const char (&slots)[kPhraseSlots][kPhraseSlotBytes], std::int32_t count) {
  std::unique_ptr<PhraseMatcher> m(new PhraseMatcher());
  m->count_ = count;
  std::memcpy(m->slots_, slots, m->used_slots() * kPhraseSlotBytes);

  // Distinct words in lower case; each phrase as its set of word ids.
  std::map<std::string, std::uint16_t> ids;
  std::vector<std::vector<std::uint16_t>> phrases;
  for (std::size_t k = 0; k < m->used_slots(); ++k) {
    const SlotWords split = SplitSlot(m->slots_[k]);
    if (split.count == 0) {
      m->always_ = true;  // all of its no words are found in any buffer
      return m;
    }
    std::vector<std::uint16_t> phrase;
    for (int w = 0; w < split.count; ++w) {
      std::string word(split.word[w].text, static_cast<std::size_t>(split.word[w].length));
      for (char& c : word) c = ToLowerAscii(c);
      const auto [it, fresh] = ids.emplace(word, static_cast<std::uint16_t>(m->words_.size()));
      if (fresh) m->words_.push_back(word);
      if (std::find(phrase.begin(), phrase.end(), it->second) == phrase.end()) {
        phrase.push_back(it->second);
      }
    }
    phrases.push_back(std::move(phrase));
  }

  m->words_needed_.resize(phrases.size());
  std::vector<std::vector<std::uint8_t>> holders(m->words_.size());
  for (std::size_t ph = 0; ph < phrases.size(); ++ph) {
    m->words_needed_[ph] = static_cast<std::uint8_t>(phrases[ph].size());
    for (std::uint16_t w : phrases[ph]) holders[w].push_back(static_cast<std::uint8_t>(ph));
  }
  m->phrases_of_begin_.push_back(0);
  for (const auto& h : holders) {
    m->phrases_of_.insert(m->phrases_of_.end(), h.begin(), h.end());
    m->phrases_of_begin_.push_back(static_cast<std::uint32_t>(m->phrases_of_.size()));
  }

  if (m->automaton_.Build(m->words_)) m->prefilter_.Build(m->words_, phrases);
  return m;
}

bool PhraseMatcher::SameTable(const char (&slots)[kPhraseSlots][kPhraseSlotBytes],
                              std::int32_t count, SimdLevel level) const {
  if (count != count_) return false;
  return EqualBytes(slots_, slots, used_slots() * kPhraseSlotBytes,
                    std::min(level, SupportedSimdLevel()));
}

// Without an automaton (a table too large for one) each distinct word is
// searched on its own; still one search per word, not per phrase.
int PhraseMatcher::MatchWordByWord(const unsigned char* p, std::size_t n) const {
  PhraseProgress progress(*this);
  for (std::size_t w = 0; w < words_.size(); ++w) {
    if (ContainsWord(p, n, words_[w].data(), static_cast<int>(words_[w].size())) &&
        progress.Found(static_cast<std::uint16_t>(w))) {
      return 1;
    }
  }
  return 0;
}

int PhraseMatcher::Match(const void* buffer, std::int32_t length, SimdLevel level) const {
  if (buffer == nullptr || length == 0) return 0;
  if (always_) return 1;
  if (length <= 1 || words_needed_.empty()) return 0;
  const auto* p = static_cast<const unsigned char*>(buffer);
  const auto n = static_cast<std::size_t>(length) - 1;  // the last byte is never compared
  if (!automaton_.built()) return MatchWordByWord(p, n);
  level = std::min(level, SupportedSimdLevel());
  if (level != SimdLevel::kNone && prefilter_.built() && !prefilter_.AnyKey(p, n, level)) return 0;
  PhraseProgress progress(*this);
  return automaton_.Scan(p, n, progress) ? 1 : 0;
}

std::int32_t PhraseMatcher::FirstSlotFoundHere(const unsigned char* p, std::size_t n) const {
  for (std::size_t k = 0; k < used_slots(); ++k) {
    if (SlotFound(slots_[k], p, n)) return static_cast<std::int32_t>(k);
  }
  return -1;
}

std::int32_t PhraseMatcher::FirstFound(const void* buffer, std::int32_t length) const {
  if (buffer == nullptr || length == 0) return -1;
  const auto* p = static_cast<const unsigned char*>(buffer);
  const std::size_t n = length > 1 ? static_cast<std::size_t>(length) - 1 : 0;
  // A slot without words ends the table built: what lies before it is
  // searched as the table stands.
  if (always_ || !automaton_.built()) return FirstSlotFoundHere(p, n);
  PhraseProgress progress(*this, true);
  automaton_.Scan(p, n, progress);
  return progress.FirstComplete();
}

}  // namespace tarvel
