// A quick test that clears most buffers without reading them word by word.
//
// A few key words are chosen so that every phrase has a word containing one
// of them: a buffer in which no key occurs holds no phrase. A vector scan
// looks for a three-byte fingerprint of each key in both letter cases, with
// nibble lookup tables as in the Teddy literal matcher (eight buckets of
// keys, one bit each); every candidate it reports is then checked byte by
// byte against the keys of its buckets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "filter/key_scan.h"
#include "platform/cpu_features.h"

namespace tarvel {

class KeyPrefilter {
 public:
  static constexpr int kMaxKeys = 16;
  static constexpr std::size_t kMaxKeyBytes = 50;

  // Chooses keys for `phrases` (each a non-empty list of ids into `words`;
  // words non-empty, letters in lower case) such that each phrase has a word
  // that contains a key, preferring keys that ordinary pages rarely hold.
  // Returns false, leaving the prefilter unusable, when that takes more than
  // kMaxKeys keys.
  bool Build(const std::vector<std::string>& words,
             const std::vector<std::vector<std::uint16_t>>& phrases);

  bool built() const { return key_count_ > 0; }

  // True if some key lies wholly inside p[0..n), ASCII case ignored. Reads
  // no byte outside p[0..n). `level` must be one the processor supports;
  // kNone checks every position without vector instructions.
  bool AnyKey(const unsigned char* p, std::size_t n, SimdLevel level) const;

  // The chosen keys, in lower case.
  std::vector<std::string> keys() const;

 private:
  struct Key {
    unsigned char text[kMaxKeyBytes];
    std::uint8_t length;
    std::uint8_t offset;  // where the fingerprint starts in the key
    std::uint8_t bucket;
  };

  bool KeyAt(const Key& key, const unsigned char* p, std::size_t n, std::size_t start) const;
  bool CandidateHolds(const unsigned char* p, std::size_t n, std::size_t q) const;
  bool ShortKeyNear(const unsigned char* p, std::size_t n, std::size_t from) const;
  void FillTables();

  KeyTables tables_{};
  Key keys_[kMaxKeys]{};
  int key_count_ = 0;
};

}  // namespace tarvel
