#include "platform/cpu_features.h"

#include "platform/simd.h"

#if defined(TARVEL_X86)
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace tarvel {
namespace {

#if defined(TARVEL_X86)

struct CpuidRegs {
  unsigned a = 0, b = 0, c = 0, d = 0;
};

CpuidRegs Cpuid(unsigned leaf, unsigned subleaf) {
  CpuidRegs r;
#if defined(_MSC_VER) && !defined(__clang__)
  int out[4];
  __cpuidex(out, static_cast<int>(leaf), static_cast<int>(subleaf));
  r = {static_cast<unsigned>(out[0]), static_cast<unsigned>(out[1]), static_cast<unsigned>(out[2]),
       static_cast<unsigned>(out[3])};
#else
  // Leaves above the maximum leave the registers at zero: no feature.
  __get_cpuid_count(leaf, subleaf, &r.a, &r.b, &r.c, &r.d);
#endif
  return r;
}

constexpr unsigned kSsse3Bit = 1u << 9;  // leaf 1, ECX

#if defined(TARVEL_HAVE_AVX2)
constexpr unsigned kOsxsaveBit = 1u << 27;  // leaf 1, ECX
constexpr unsigned kAvxBit = 1u << 28;      // leaf 1, ECX
constexpr unsigned kAvx2Bit = 1u << 5;      // leaf 7, EBX
constexpr unsigned long long kXmmYmmState = 0x6;

// XCR0: which register states the operating system saves. Only executed
// when CPUID reports OSXSAVE, so the instruction exists.
TARVEL_TARGET_XSAVE unsigned long long EnabledRegisterStates() { return _xgetbv(0); }
#endif

SimdLevel Detect() {
  const unsigned max_leaf = Cpuid(0, 0).a;
  if (max_leaf < 1) return SimdLevel::kNone;
  const CpuidRegs basic = Cpuid(1, 0);
  if ((basic.c & kSsse3Bit) == 0) return SimdLevel::kNone;
#if defined(TARVEL_HAVE_AVX2)
  const bool avx_saved = (basic.c & kOsxsaveBit) != 0 && (basic.c & kAvxBit) != 0 &&
                         (EnabledRegisterStates() & kXmmYmmState) == kXmmYmmState;
  if (avx_saved && max_leaf >= 7 && (Cpuid(7, 0).b & kAvx2Bit) != 0) return SimdLevel::kAvx2;
#endif
  return SimdLevel::kSsse3;
}

#else

SimdLevel Detect() { return SimdLevel::kNone; }

#endif

}  // namespace

SimdLevel SupportedSimdLevel() {
  static const SimdLevel level = Detect();
  return level;
}

}  // namespace tarvel
