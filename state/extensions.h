// Shared memory beside FilterState: what the filter keeps in the shared
// section besides the block whose layout is pinned. FilterState never moves
// or grows; the extensions lie right after it, in the same section, with a
// layout of their own that is the same on both architectures. A newly
// created block holds them all zero.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/filter_state.h"

namespace tarvel {

struct FilterExtensions {
  // "issni": a send that begins with a TLS ClientHello is judged by the
  // host it names, and datagrams to UDP port 443 (QUIC) are refused. On
  // only when it holds exactly 1.
  std::int32_t https_filter;
};

static_assert(offsetof(FilterExtensions, https_filter) == 0);
static_assert(sizeof(FilterExtensions) == 4);
static_assert(alignof(FilterExtensions) == 4);

// The shared section's content.
struct SharedBlock {
  FilterState state;
  FilterExtensions extensions;
};

static_assert(offsetof(SharedBlock, state) == 0);
static_assert(offsetof(SharedBlock, extensions) == 421040);

}  // namespace tarvel
