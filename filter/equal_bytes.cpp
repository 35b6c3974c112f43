#include "filter/equal_bytes.h"

#include <cstdint>
#include <cstring>

#include "platform/simd.h"

namespace tarvel {
namespace {

// Differences are OR-ed together and tested once per chunk, not per byte.
bool EqualScalar(const unsigned char* a, const unsigned char* b, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) return false;
  }
  for (; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

#if defined(TARVEL_HAVE_SSSE3)
TARVEL_TARGET_SSSE3 TARVEL_ALIGN_STACK bool EqualSse(const unsigned char* a, const unsigned char* b,
                                                     std::size_t n) {
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    __m128i d = _mm_setzero_si128();
    for (std::size_t k = 0; k < 64; k += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i + k));
      const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i + k));
      d = _mm_or_si128(d, _mm_xor_si128(x, y));
    }
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(d, _mm_setzero_si128())) != 0xffff) return false;
  }
  return EqualScalar(a + i, b + i, n - i);
}
#endif

#if defined(TARVEL_HAVE_AVX2)
TARVEL_TARGET_AVX2 bool EqualAvx(const unsigned char* a, const unsigned char* b, std::size_t n) {
  std::size_t i = 0;
  bool equal = true;
  for (; i + 128 <= n && equal; i += 128) {
    __m256i d = _mm256_setzero_si256();
    for (std::size_t k = 0; k < 128; k += 32) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i + k));
      const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + k));
      d = _mm256_or_si256(d, _mm256_xor_si256(x, y));
    }
    equal = _mm256_testz_si256(d, d) != 0;
  }
  _mm256_zeroupper();
  return equal && EqualScalar(a + i, b + i, n - i);
}
#endif

}  // namespace

bool EqualBytes(const void* a, const void* b, std::size_t n, SimdLevel level) {
  const auto* x = static_cast<const unsigned char*>(a);
  const auto* y = static_cast<const unsigned char*>(b);
  switch (level) {
#if defined(TARVEL_HAVE_AVX2)
    case SimdLevel::kAvx2:
      return EqualAvx(x, y, n);
#endif
#if defined(TARVEL_HAVE_SSSE3)
    case SimdLevel::kSsse3:
      return EqualSse(x, y, n);
#endif
    default:
      return EqualScalar(x, y, n);
  }
}

}  // namespace tarvel
