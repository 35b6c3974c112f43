// One pass over a run of bytes that reports every occurrence of a set of
// words, with the case of ASCII letters ignored: an Aho-Corasick automaton
// made fully deterministic over classes of bytes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvel {

class WordAutomaton {
 public:
  // Largest table built: states times byte classes, each a 16-bit entry.
  static constexpr std::size_t kMaxTransitions = 65536;

  // Builds the automaton for `words`: each non-empty, its letters already in
  // lower case; a word's id is its index. Returns false, leaving the
  // automaton unusable, when the table would exceed kMaxTransitions.
  bool Build(const std::vector<std::string>& words);

  bool built() const { return !next_.empty(); }

  // Reads p[0..n) and, at every position where words end, calls
  // sink(first, last) with the ids of those words (the same id may come
  // again later). Returns true as soon as the sink returns true, false once
  // all bytes are read. Does not allocate.
  template <typename Sink>
  bool Scan(const unsigned char* p, std::size_t n, Sink& sink) const;

 private:
  // Long runs are cut into kStreams parts that are read in lockstep: each
  // step of one part waits for a table load, so four independent parts keep
  // the processor busy. Each part but the first starts longest_ - 1 bytes
  // early, so a word across a cut is seen whole by the part after it.
  static constexpr std::size_t kStreams = 4;
  static constexpr std::size_t kMinSplit = 256;

  template <typename Sink>
  bool Report(std::uint32_t state, Sink& sink) const {
    const std::size_t k = (state - output_from_) / classes_;
    return sink(output_words_.data() + output_begin_[k],
                output_words_.data() + output_begin_[k + 1]);
  }

  template <typename Sink>
  bool ScanRange(const unsigned char* p, std::size_t from, std::size_t to, std::uint32_t state,
                 Sink& sink) const;

  // Byte to class; the upper and lower case of a letter share one class,
  // bytes in no word share class 0.
  std::array<std::uint8_t, 256> class_of_{};
  std::uint32_t classes_ = 0;
  // next_[state + class] is the next state. States are stored premultiplied
  // by classes_; the start state is 0. States where a word ends are numbered
  // from output_from_, a power of two above every other state, so that one
  // OR of several states tells whether any of them reports.
  std::vector<std::uint16_t> next_;
  std::uint32_t output_from_ = 0;
  // Words ending at the k-th reporting state:
  // output_words_[output_begin_[k] .. output_begin_[k + 1]).
  std::vector<std::uint32_t> output_begin_;
  std::vector<std::uint16_t> output_words_;
  std::size_t longest_ = 0;
};

template <typename Sink>
bool WordAutomaton::ScanRange(const unsigned char* p, std::size_t from, std::size_t to,
                              std::uint32_t state, Sink& sink) const {
  const std::uint16_t* next = next_.data();
  const std::uint8_t* class_of = class_of_.data();
  for (std::size_t i = from; i < to; ++i) {
    state = next[state + class_of[p[i]]];
    if (state >= output_from_ && Report(state, sink)) return true;
  }
  return false;
}

template <typename Sink>
bool WordAutomaton::Scan(const unsigned char* p, std::size_t n, Sink& sink) const {
  if (n < kMinSplit) return ScanRange(p, 0, n, 0, sink);
  const std::size_t part = n / kStreams;
  const std::size_t back = longest_ - 1;  // < part, since longest_ <= 50
  std::size_t pos[kStreams];
  std::size_t end[kStreams];
  for (std::size_t j = 0; j < kStreams; ++j) {
    pos[j] = j == 0 ? 0 : j * part - back;
    end[j] = j + 1 == kStreams ? n : (j + 1) * part;
  }
  const std::size_t steps = part;  // the shortest part, the first
  const std::uint16_t* next = next_.data();
  const std::uint8_t* class_of = class_of_.data();
  const unsigned char* p0 = p + pos[0];
  const unsigned char* p1 = p + pos[1];
  const unsigned char* p2 = p + pos[2];
  const unsigned char* p3 = p + pos[3];
  std::uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  for (std::size_t i = 0; i < steps; ++i) {
    s0 = next[s0 + class_of[p0[i]]];
    s1 = next[s1 + class_of[p1[i]]];
    s2 = next[s2 + class_of[p2[i]]];
    s3 = next[s3 + class_of[p3[i]]];
    if ((s0 | s1 | s2 | s3) >= output_from_) {
      if (s0 >= output_from_ && Report(s0, sink)) return true;
      if (s1 >= output_from_ && Report(s1, sink)) return true;
      if (s2 >= output_from_ && Report(s2, sink)) return true;
      if (s3 >= output_from_ && Report(s3, sink)) return true;
    }
  }
  const std::uint32_t state[kStreams] = {s0, s1, s2, s3};
  for (std::size_t j = 0; j < kStreams; ++j) {
    if (ScanRange(p, pos[j] + steps, end[j], state[j], sink)) return true;
  }
  return false;
}

}  // namespace tarvel
