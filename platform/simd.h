// The one place that knows how each compiler is told to emit vector
// instructions for a single function. Code that uses the intrinsics of
// <immintrin.h> marks each such function with one of the macros below and is
// only called after SupportedSimdLevel() (platform/cpu_features.h) said yes;
// the rest of the module stays plain code that runs on any x86 processor.
#pragma once

#if defined(__x86_64__) || defined(_M_X64) || defined(_M_AMD64)
#define TARVEL_X86 1
#define TARVEL_X86_64 1
#elif defined(__i386__) || defined(_M_IX86)
#define TARVEL_X86 1
#endif

#if defined(TARVEL_X86)
#include <immintrin.h>

// SSSE3 everywhere on x86. AVX2 only on x86-64: the 32-bit build keeps to
// the 16-byte registers.
#define TARVEL_HAVE_SSSE3 1
#if defined(TARVEL_X86_64)
#define TARVEL_HAVE_AVX2 1
#endif

#if defined(_MSC_VER) && !defined(__clang__)
// MSVC emits any intrinsic in any function and aligns its own stack.
#define TARVEL_TARGET_SSSE3
#define TARVEL_TARGET_AVX2
#define TARVEL_TARGET_XSAVE
#define TARVEL_ALIGN_STACK
#else
#define TARVEL_TARGET_SSSE3 __attribute__((target("ssse3")))
#define TARVEL_TARGET_AVX2 __attribute__((target("avx2")))
#define TARVEL_TARGET_XSAVE __attribute__((target("xsave")))
#if defined(TARVEL_X86_64)
#define TARVEL_ALIGN_STACK
#else
// For the entry of vector code: a 32-bit Windows caller keeps the stack only
// 4-byte aligned, so the function realigns it before spilling a register.
#define TARVEL_ALIGN_STACK __attribute__((force_align_arg_pointer))
#endif
#endif
#endif  // TARVEL_X86
