// Shared memory beside FilterState: what the module keeps for every process
// that holds it beyond the lists and flags, without moving a byte of
// FilterState. The module's shared data is one SharedData: FilterState at
// offset 0, exactly as before, then SharedExtensions.
//
// Like FilterState, the layout is an interface between processes and
// between the 32- and 64-bit builds: fixed-size integers and bytes only,
// every offset pinned below, the same on i686 and x86_64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "state/block_log.h"
#include "state/categories.h"
#include "state/filter_state.h"

namespace tarvel {

// Set in a new block; a reader that finds another value (or a shared section
// too short for SharedData: an older tarvel.dll) knows no extensions.
inline constexpr std::int32_t kExtensionsLayout = 0x31585654;  // "TVX1"

struct alignas(8) SharedExtensions {
  std::int32_t layout;  // kExtensionsLayout
  // "issni": a send that begins with a TLS ClientHello is judged by the
  // host it names, and datagrams to UDP port 443 (QUIC) are refused. On
  // only when it holds exactly 1.
  std::int32_t https_filter;
  // "islck": the exports that change the filter refuse callers that are
  // neither LocalSystem nor an elevated administrator. On only when it holds
  // exactly 1.
  std::int32_t locked;
  // 1 once an export changed a list: the lists are no longer the files'
  // alone, and a later load of the files must not overwrite them.
  std::int32_t lists_edited;
  // When a process last tried the list files again after a set-up that
  // could not read them: the tick count of milliseconds (wrapping), 0 never.
  std::int32_t list_retry_ms;
  // The sequence word of `categories`: even while no writer is inside,
  // raised by every change; a process reloads its categories when it
  // differs from the one it loaded.
  std::int32_t categories_generation;
  // Room for 32-bit flags and counts. A new one goes first in this room:
  // declare it right before `reserved`, take one from the array's size and
  // pin its offset (24, 28); nothing after it moves, and a tarvelctl
  // that does not know it still reads the rest. A new block holds 0 there,
  // so a new flag starts off.
  std::int32_t reserved[2];
  BlockLog block_log;
  // The active categories. Last, so that a reader that finds the section
  // too short for them (an older tarvel.dll) still reads everything before.
  SharedCategories categories;
};

static_assert(offsetof(SharedExtensions, layout) == 0);
static_assert(offsetof(SharedExtensions, https_filter) == 4);
static_assert(offsetof(SharedExtensions, locked) == 8);
static_assert(offsetof(SharedExtensions, lists_edited) == 12);
static_assert(offsetof(SharedExtensions, list_retry_ms) == 16);
static_assert(offsetof(SharedExtensions, categories_generation) == 20);
static_assert(offsetof(SharedExtensions, reserved) == 24);
static_assert(offsetof(SharedExtensions, block_log) == 32);
static_assert(offsetof(SharedExtensions, categories) == 32 + sizeof(BlockLog));
static_assert(sizeof(SharedExtensions) == 32 + sizeof(BlockLog) + sizeof(SharedCategories));
static_assert(alignof(SharedExtensions) == 8);

// The module's shared data section (".inidata").
struct SharedData {
  FilterState filter;
  SharedExtensions extensions;
};

static_assert(offsetof(SharedData, filter) == 0);
static_assert(offsetof(SharedData, extensions) == sizeof(FilterState));
static_assert(sizeof(SharedData) == 683296 + sizeof(SharedCategories));
// What a section must hold for the extensions before the categories (the
// size of SharedData before they came).
inline constexpr std::size_t kSharedBytesBeforeCategories =
    offsetof(SharedData, extensions) + offsetof(SharedExtensions, categories);
static_assert(kSharedBytesBeforeCategories == 683296);

// The content a newly created extension block has: all zero but the layout.
inline void ResetToInitial(SharedExtensions& e) {
  std::memset(&e, 0, sizeof e);
  e.layout = kExtensionsLayout;
}

}  // namespace tarvel
