// Which vector instructions this processor runs and this operating system
// preserves across thread switches.
#pragma once

namespace tarvel {

// In increasing order: each level includes the ones below it.
enum class SimdLevel : int { kNone = 0, kSsse3 = 1, kAvx2 = 2 };

// The highest level usable here, determined once per process: SSSE3 from
// CPUID; AVX2 only when CPUID reports it and XGETBV shows that the operating
// system saves the 256-bit register state. kNone on a processor without
// SSSE3, and on any architecture but x86. Levels the build left out (AVX2 in
// a 32-bit build) are never reported.
SimdLevel SupportedSimdLevel();

}  // namespace tarvel
