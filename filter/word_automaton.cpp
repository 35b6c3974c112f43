#include "filter/word_automaton.h"

#include <cstdint>

namespace tarvel {
namespace {

constexpr std::int32_t kNone = -1;

// The trie and its failure links, with dense rows of `classes` entries.
struct Trie {
  std::uint32_t classes = 0;
  std::vector<std::int32_t> child;               // state * classes + class
  std::vector<std::vector<std::uint16_t>> ends;  // words ending exactly here

  std::size_t states() const { return ends.size(); }
  std::int32_t AddState() {
    child.insert(child.end(), classes, kNone);
    ends.emplace_back();
    return static_cast<std::int32_t>(ends.size() - 1);
  }
};

std::uint32_t NextPowerOfTwo(std::uint32_t x) {
  std::uint32_t p = 1;
  while (p < x) p <<= 1;
  return p;
}

}  // namespace

bool WordAutomaton::Build(const std::vector<std::string>& words) {
  *this = WordAutomaton();
  if (words.empty()) return false;

  // Classes: one per distinct byte of the words; a letter's upper case joins
  // its lower case.
  std::uint32_t classes = 1;
  for (const std::string& w : words) {
    for (unsigned char c : w) {
      if (class_of_[c] != 0) continue;
      class_of_[c] = static_cast<std::uint8_t>(classes);
      if (c >= 'a' && c <= 'z') class_of_[c - 'a' + 'A'] = static_cast<std::uint8_t>(classes);
      ++classes;
    }
  }

  // The trie; gives up as soon as the dense table could not fit.
  Trie trie;
  trie.classes = classes;
  trie.AddState();
  for (std::size_t id = 0; id < words.size(); ++id) {
    std::int32_t s = 0;
    for (unsigned char c : words[id]) {
      std::int32_t& slot = trie.child[s * classes + class_of_[c]];
      if (slot == kNone) {
        if ((trie.states() + 1) * classes > kMaxTransitions) {
          *this = WordAutomaton();
          return false;
        }
        const std::int32_t fresh = trie.AddState();
        trie.child[s * classes + class_of_[c]] = fresh;
        s = fresh;
      } else {
        s = slot;
      }
    }
    trie.ends[s].push_back(static_cast<std::uint16_t>(id));
    longest_ = std::max(longest_, words[id].size());
  }

  // Breadth-first: failure links, the full transition function (a missing
  // child continues from the failure state), and each state's words (its
  // own and those of its failure state, which is shallower).
  const std::size_t n = trie.states();
  std::vector<std::int32_t> fail(n, 0);
  std::vector<std::int32_t> order;
  order.reserve(n);
  order.push_back(0);
  std::vector<std::int32_t> delta(trie.child);
  for (std::uint32_t c = 0; c < classes; ++c) {
    std::int32_t& d = delta[c];
    if (d == kNone) {
      d = 0;
    } else {
      fail[d] = 0;
      order.push_back(d);
    }
  }
  std::vector<std::vector<std::uint16_t>> out(trie.ends);
  for (std::size_t k = 1; k < order.size(); ++k) {
    const std::int32_t s = order[k];
    const std::vector<std::uint16_t>& inherited = out[fail[s]];
    out[s].insert(out[s].end(), inherited.begin(), inherited.end());
    for (std::uint32_t c = 0; c < classes; ++c) {
      std::int32_t& d = delta[s * classes + c];
      if (d == kNone) {
        d = delta[fail[s] * classes + c];
      } else {
        fail[d] = delta[fail[s] * classes + c];
        order.push_back(d);
      }
    }
  }

  // Numbering: silent states from 0 in breadth-first order, reporting
  // states from output_from_.
  std::vector<std::uint32_t> number(n);
  std::uint32_t silent = 0, reporting = 0;
  for (std::int32_t s : order) {
    if (out[s].empty()) number[s] = silent++ * classes;
  }
  const std::uint32_t from = NextPowerOfTwo(silent * classes);
  for (std::int32_t s : order) {
    if (!out[s].empty()) number[s] = from + reporting++ * classes;
  }
  if (from + reporting * classes > kMaxTransitions) {
    *this = WordAutomaton();
    return false;
  }

  std::vector<std::uint16_t> next(from + reporting * classes, 0);
  output_begin_.assign(1, 0);
  for (std::int32_t s : order) {
    for (std::uint32_t c = 0; c < classes; ++c) {
      next[number[s] + c] = static_cast<std::uint16_t>(number[delta[s * classes + c]]);
    }
  }
  for (std::int32_t s : order) {
    if (out[s].empty()) continue;
    output_words_.insert(output_words_.end(), out[s].begin(), out[s].end());
    output_begin_.push_back(static_cast<std::uint32_t>(output_words_.size()));
  }
  classes_ = classes;
  output_from_ = from;
  next_ = std::move(next);
  return true;
}

}  // namespace tarvel
