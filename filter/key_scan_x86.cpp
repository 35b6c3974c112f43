// Teddy-style candidate search: for each of the three fingerprint bytes,
// two byte shuffles look up the bucket masks of its low and high nibble; a
// position is a candidate when some bucket bit survives all six lookups.
// Each function reads the input with unaligned loads that stay below
// limit + 2, and the AVX2 one clears the upper register halves before it
// returns, so the caller's SSE code pays no transition penalty.
#include "filter/key_scan.h"

#if defined(TARVEL_X86)

#include <cstring>

namespace tarvel {
namespace {

constexpr std::size_t kBlock = 64;
constexpr std::size_t kCopyBytes = kBlock + kFingerprintBytes;

// Positions [from, limit) of the block at `base`, as mask bits.
inline std::uint64_t Window(std::size_t base, std::size_t from, std::size_t limit) {
  std::uint64_t mask = ~std::uint64_t{0};
  if (from > base) mask &= mask << (from - base);
  if (limit - base < kBlock) mask &= (std::uint64_t{1} << (limit - base)) - 1;
  return mask;
}

// The last, partial block: with a whole block of input before `limit` it is
// read again ending there; a shorter input is copied into a zeroed block, so
// that nothing at or past limit + 2 is read. Bytes of the zero padding can
// only yield candidates at or past `limit`, which the mask drops.
inline const unsigned char* LastBlockStart(const unsigned char* p, std::size_t from,
                                           std::size_t limit, unsigned char (&copy)[kCopyBytes],
                                           std::size_t& base) {
  if (limit >= kBlock) {
    base = limit - kBlock;
    return p + base;
  }
  base = from;
  std::memcpy(copy, p + from, limit + kFingerprintBytes - 1 - from);
  return copy;
}

#if defined(TARVEL_HAVE_SSSE3)

struct SsseTables {
  __m128i lo[kFingerprintBytes];
  __m128i hi[kFingerprintBytes];
};

TARVEL_TARGET_SSSE3 inline __m128i Lookup16(__m128i lo, __m128i hi, __m128i v) {
  const __m128i nibble = _mm_set1_epi8(0x0f);
  const __m128i low = _mm_shuffle_epi8(lo, _mm_and_si128(v, nibble));
  const __m128i high = _mm_shuffle_epi8(hi, _mm_and_si128(_mm_srli_epi16(v, 4), nibble));
  return _mm_and_si128(low, high);
}

TARVEL_TARGET_SSSE3 inline __m128i Buckets16(const SsseTables& t, const unsigned char* q) {
  __m128i b = Lookup16(t.lo[0], t.hi[0], _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)));
  for (int k = 1; k < kFingerprintBytes; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + k));
    b = _mm_and_si128(b, Lookup16(t.lo[k], t.hi[k], v));
  }
  return b;
}

TARVEL_TARGET_SSSE3 inline std::uint64_t Nonzero16(__m128i v) {
  const int zero = _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128()));
  return static_cast<std::uint64_t>(~zero & 0xffff);
}

TARVEL_TARGET_SSSE3 inline std::uint64_t Block16x4(const SsseTables& t, const unsigned char* q) {
  return Nonzero16(Buckets16(t, q)) | Nonzero16(Buckets16(t, q + 16)) << 16 |
         Nonzero16(Buckets16(t, q + 32)) << 32 | Nonzero16(Buckets16(t, q + 48)) << 48;
}

#endif  // TARVEL_HAVE_SSSE3

#if defined(TARVEL_HAVE_AVX2)

struct AvxTables {
  __m256i lo[kFingerprintBytes];
  __m256i hi[kFingerprintBytes];
};

TARVEL_TARGET_AVX2 inline __m256i Lookup32(__m256i lo, __m256i hi, __m256i v) {
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  const __m256i low = _mm256_shuffle_epi8(lo, _mm256_and_si256(v, nibble));
  const __m256i high = _mm256_shuffle_epi8(hi, _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
  return _mm256_and_si256(low, high);
}

TARVEL_TARGET_AVX2 inline __m256i Buckets32(const AvxTables& t, const unsigned char* q) {
  __m256i b = Lookup32(t.lo[0], t.hi[0], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)));
  for (int k = 1; k < kFingerprintBytes; ++k) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + k));
    b = _mm256_and_si256(b, Lookup32(t.lo[k], t.hi[k], v));
  }
  return b;
}

TARVEL_TARGET_AVX2 inline std::uint64_t Nonzero32(__m256i v) {
  const int zero = _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256()));
  return static_cast<std::uint32_t>(~zero);
}

TARVEL_TARGET_AVX2 inline std::uint64_t Block32x2(const AvxTables& t, const unsigned char* q) {
  return Nonzero32(Buckets32(t, q)) | Nonzero32(Buckets32(t, q + 32)) << 32;
}

TARVEL_TARGET_AVX2 inline CandidateBlock ScanAvx2(const KeyTables& kt, const unsigned char* p,
                                                  std::size_t from, std::size_t limit) {
  AvxTables t;
  for (int k = 0; k < kFingerprintBytes; ++k) {
    t.lo[k] =
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kt.lo[k])));
    t.hi[k] =
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kt.hi[k])));
  }
  std::size_t i = from;
  for (; i + kBlock <= limit; i += kBlock) {
    const __m256i a = Buckets32(t, p + i);
    const __m256i b = Buckets32(t, p + i + 32);
    const __m256i any = _mm256_or_si256(a, b);
    if (!_mm256_testz_si256(any, any)) return {i, Nonzero32(a) | Nonzero32(b) << 32};
  }
  if (i >= limit) return {limit, 0};
  unsigned char copy[kCopyBytes] = {};
  std::size_t base;
  const unsigned char* q = LastBlockStart(p, i, limit, copy, base);
  return {base, Block32x2(t, q) & Window(base, i, limit)};
}

#endif  // TARVEL_HAVE_AVX2

}  // namespace

#if defined(TARVEL_HAVE_SSSE3)
TARVEL_TARGET_SSSE3 TARVEL_ALIGN_STACK CandidateBlock NextCandidatesSsse3(const KeyTables& kt,
                                                                          const unsigned char* p,
                                                                          std::size_t from,
                                                                          std::size_t limit) {
  SsseTables t;
  for (int k = 0; k < kFingerprintBytes; ++k) {
    t.lo[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(kt.lo[k]));
    t.hi[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(kt.hi[k]));
  }
  std::size_t i = from;
  for (; i + kBlock <= limit; i += kBlock) {
    const __m128i a = _mm_or_si128(Buckets16(t, p + i), Buckets16(t, p + i + 16));
    const __m128i b = _mm_or_si128(Buckets16(t, p + i + 32), Buckets16(t, p + i + 48));
    if (Nonzero16(_mm_or_si128(a, b)) != 0) return {i, Block16x4(t, p + i)};
  }
  if (i >= limit) return {limit, 0};
  unsigned char copy[kCopyBytes] = {};
  std::size_t base;
  const unsigned char* q = LastBlockStart(p, i, limit, copy, base);
  return {base, Block16x4(t, q) & Window(base, i, limit)};
}

#endif

#if defined(TARVEL_HAVE_AVX2)
TARVEL_TARGET_AVX2 TARVEL_ALIGN_STACK CandidateBlock NextCandidatesAvx2(const KeyTables& kt,
                                                                        const unsigned char* p,
                                                                        std::size_t from,
                                                                        std::size_t limit) {
  const CandidateBlock found = ScanAvx2(kt, p, from, limit);
  _mm256_zeroupper();
  return found;
}

#endif

}  // namespace tarvel

#endif  // TARVEL_X86
