// The vector part of the key prefilter: where a bucket's three-byte
// fingerprint may start. Each function exists only in builds for processors
// that have its instructions (platform/simd.h) and must only be called when
// SupportedSimdLevel() reports them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/simd.h"

namespace tarvel {

inline constexpr int kFingerprintBytes = 3;

// Bucket masks by nibble: a byte b may be the k-th fingerprint byte of a key
// in bucket j when bit j is set in both lo[k][b & 15] and hi[k][b >> 4].
struct KeyTables {
  alignas(16) std::uint8_t lo[kFingerprintBytes][16];
  alignas(16) std::uint8_t hi[kFingerprintBytes][16];
};

// Buckets whose fingerprint matches the three bytes at p.
inline std::uint8_t BucketsAt(const KeyTables& t, const unsigned char* p) {
  std::uint8_t buckets = 0xff;
  for (int k = 0; k < kFingerprintBytes; ++k) buckets &= t.lo[k][p[k] & 15] & t.hi[k][p[k] >> 4];
  return buckets;
}

// Candidate fingerprint starts: bit j of `mask` stands for position base + j.
struct CandidateBlock {
  std::size_t base;
  std::uint64_t mask;  // 0: no candidate left
};

// The first block of up to 64 positions, at or after `from` and before
// `limit`, in which some bucket's fingerprint matches; only positions in
// [from, limit) are reported. Reads p[0 .. limit + 2) at most: a caller with
// n readable bytes passes limit = n - 2.
inline CandidateBlock NextCandidatesScalar(const KeyTables& t, const unsigned char* p,
                                           std::size_t from, std::size_t limit) {
  for (std::size_t base = from; base < limit; base += 64) {
    std::uint64_t mask = 0;
    for (std::size_t j = 0; j < 64 && base + j < limit; ++j) {
      if (BucketsAt(t, p + base + j) != 0) mask |= std::uint64_t{1} << j;
    }
    if (mask != 0) return {base, mask};
  }
  return {limit, 0};
}
#if defined(TARVEL_HAVE_SSSE3)
CandidateBlock NextCandidatesSsse3(const KeyTables& t, const unsigned char* p, std::size_t from,
                                   std::size_t limit);
#endif
#if defined(TARVEL_HAVE_AVX2)
CandidateBlock NextCandidatesAvx2(const KeyTables& t, const unsigned char* p, std::size_t from,
                                  std::size_t limit);
#endif

}  // namespace tarvel
