// The block of filter state that every process holding tarvel.dll shares.
//
// Its layout is an interface between processes (and between the 32- and
// 64-bit builds of the module): members are fixed-size integers and byte
// arrays only, never pointers or handles, and their offsets are pinned below.
// A flag counts as on only when it holds exactly 1.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarvel {

inline constexpr int kListSlots = 2000;
inline constexpr int kEntryBytes = 100;
inline constexpr int kPhraseSlots = 100;
inline constexpr int kPhraseSlotBytes = 50;

struct FilterState {
  std::int32_t white_active[kListSlots];
  std::int32_t black_active[kListSlots];
  std::int32_t attach_counter;
  std::int32_t phrase_count;
  std::int32_t black_count;
  std::int32_t white_count;
  std::int32_t white_only;
  std::int32_t smart_filter;
  std::int32_t smart_em;  // "issmaem"; carried, never read
  std::int32_t smart_we;  // "issmawe"; carried, never read
  std::int32_t smart_nc;  // "issmanc"; carried, never read
  std::int32_t lists_ready;
  char phrases[kPhraseSlots][kPhraseSlotBytes];
  char white_entries[kListSlots][kEntryBytes];
  char black_entries[kListSlots][kEntryBytes];
};

static_assert(offsetof(FilterState, white_active) == 0);
static_assert(offsetof(FilterState, black_active) == 8000);
static_assert(offsetof(FilterState, attach_counter) == 16000);
static_assert(offsetof(FilterState, phrase_count) == 16004);
static_assert(offsetof(FilterState, black_count) == 16008);
static_assert(offsetof(FilterState, white_count) == 16012);
static_assert(offsetof(FilterState, white_only) == 16016);
static_assert(offsetof(FilterState, smart_filter) == 16020);
static_assert(offsetof(FilterState, smart_em) == 16024);
static_assert(offsetof(FilterState, smart_we) == 16028);
static_assert(offsetof(FilterState, smart_nc) == 16032);
static_assert(offsetof(FilterState, lists_ready) == 16036);
static_assert(offsetof(FilterState, phrases) == 16040);
static_assert(offsetof(FilterState, white_entries) == 21040);
static_assert(offsetof(FilterState, black_entries) == 221040);
static_assert(sizeof(FilterState) == 421040);
static_assert(alignof(FilterState) == 4);

enum class ListKind { kWhite, kBlack };

// A view of one of the two lists: its slots, active flags and count live in
// three separate places of the block.
template <typename Int, typename Entry>
struct UrlListView {
  ListKind kind;
  Int* active;
  Entry (*entries)[kEntryBytes];
  Int* count;

  // Every view reads as a read-only view.
  operator UrlListView<const std::int32_t, const char>() const {
    return {kind, active, entries, count};
  }
};
using UrlList = UrlListView<const std::int32_t, const char>;
using MutableUrlList = UrlListView<std::int32_t, char>;

inline UrlList ListOf(const FilterState& s, ListKind kind) {
  if (kind == ListKind::kWhite) return {kind, s.white_active, s.white_entries, &s.white_count};
  return {kind, s.black_active, s.black_entries, &s.black_count};
}
inline MutableUrlList ListOf(FilterState& s, ListKind kind) {
  if (kind == ListKind::kWhite) return {kind, s.white_active, s.white_entries, &s.white_count};
  return {kind, s.black_active, s.black_entries, &s.black_count};
}

// Length of a slot's text: its bytes up to the first NUL, at most the slot.
inline std::size_t EntryLength(const char (&entry)[kEntryBytes]) {
  std::size_t n = 0;
  while (n < kEntryBytes && entry[n] != '\0') ++n;
  return n;
}

// Other processes read and write the block while this one does, so every
// 32-bit member is accessed whole, as an atomic. Relaxed loads compile to
// plain moves on x86; the release/acquire pair orders an addition's text and
// flag before its count.
inline std::int32_t Load(const std::int32_t& v) {
  return std::atomic_ref<std::int32_t>(const_cast<std::int32_t&>(v))
      .load(std::memory_order_relaxed);
}
inline std::int32_t LoadAcquire(const std::int32_t& v) {
  return std::atomic_ref<std::int32_t>(const_cast<std::int32_t&>(v))
      .load(std::memory_order_acquire);
}
inline void Store(std::int32_t& v, std::int32_t x) {
  std::atomic_ref<std::int32_t>(v).store(x, std::memory_order_relaxed);
}
inline void StoreRelease(std::int32_t& v, std::int32_t x) {
  std::atomic_ref<std::int32_t>(v).store(x, std::memory_order_release);
}
inline bool IsOn(const std::int32_t& flag) { return Load(flag) == 1; }

// The content a newly created block has: all zero but the lists-ready flag.
void ResetToInitial(FilterState& s);

}  // namespace tarvel
