// Whether two runs of bytes are equal, with the widest vector compare the
// caller allows: the phrase tables compare the whole phrase table on every
// call, and the C runtime's memcmp is not equally fast everywhere.
#pragma once

#include <cstddef>

#include "platform/cpu_features.h"

namespace tarvel {

// True if a[0..n) equals b[0..n). `level` must be one the processor
// supports (SupportedSimdLevel()).
bool EqualBytes(const void* a, const void* b, std::size_t n, SimdLevel level);

}  // namespace tarvel
