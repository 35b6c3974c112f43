#include "state/url_list.h"

#include <atomic>
#include <cstring>

namespace tarvel {
namespace {

// Takes slot [count] for this caller alone by raising the count with one
// interlocked step: two additions at the same moment, in one process or in
// two, get two different slots. False when the list is full.
bool ReserveSlot(std::int32_t& count, std::int32_t* slot) {
  std::atomic_ref<std::int32_t> ref(count);
  std::int32_t seen = ref.load(std::memory_order_relaxed);
  do {
    if (seen < 0 || seen >= kListSlots) return false;
  } while (!ref.compare_exchange_weak(seen, seen + 1, std::memory_order_acq_rel,
                                      std::memory_order_relaxed));
  *slot = seen;
  return true;
}

bool TextEquals(const char (&entry)[kEntryBytes], const char* text, std::size_t length) {
  return EntryLength(entry) == length && std::memcmp(entry, text, length) == 0;
}

}  // namespace

int AddUrl(FilterState& state, ListKind kind, const char* text) {
  if (text == nullptr) return 0;
  const MutableUrlList list = ListOf(state, kind);
  std::int32_t slot = 0;
  if (!ReserveSlot(*list.count, &slot)) return 0;
  // The slot was never used (slots are not reused), so its flag is 0 and
  // readers pass it over until the text is whole and the flag says so.
  char* entry = list.entries[slot];
  std::size_t n = 0;
  while (n < kEntryBytes && text[n] != '\0') ++n;
  std::memcpy(entry, text, n);
  std::memset(entry + n, 0, kEntryBytes - n);
  StoreRelease(list.active[slot], 1);
  return 1;
}

int DelUrl(FilterState& state, ListKind kind, const char* text) {
  if (text == nullptr) return 0;
  const MutableUrlList list = ListOf(state, kind);
  const std::size_t text_length = std::strlen(text);
  for (std::int32_t i = 0; i < kListSlots && i < LoadAcquire(*list.count); ++i) {
    const char(&entry)[kEntryBytes] = list.entries[i];
    if (LoadAcquire(list.active[i]) != 1) {
      // A removed slot (or one an addition is still writing) reads as empty:
      // removing the empty text stops at it, and it holds nothing to clear.
      if (text_length == 0 && entry[0] == '\0') return 1;
      continue;
    }
    if (!TextEquals(entry, text, text_length)) continue;
    // The flag goes first, in one interlocked step: of two removals at once
    // only one clears the slot, and a reader re-checks the flag after reading
    // the text, so it never takes a half-cleared text for an entry.
    std::int32_t active = 1;
    if (!std::atomic_ref<std::int32_t>(list.active[i])
             .compare_exchange_strong(active, 0, std::memory_order_acq_rel)) {
      continue;
    }
    std::atomic_thread_fence(std::memory_order_release);
    std::memset(list.entries[i], 0, kEntryBytes);
    return 1;
  }
  return 1;
}

int SetFlag(std::int32_t& flag, std::int32_t value) {
  Store(flag, value);
  return 1;
}

}  // namespace tarvel
