#include "state/url_list.h"

#include <atomic>
#include <cstring>

namespace tarvel {

int AddUrl(FilterState& state, ListKind kind, const char* text) {
  if (text == nullptr) return 0;
  const MutableUrlList list = ListOf(state, kind);
  const std::int32_t slot = Load(*list.count);
  if (slot < 0 || slot >= kListSlots) return 0;
  char* entry = list.entries[slot];
  std::size_t n = 0;
  while (n < kEntryBytes && text[n] != '\0') ++n;
  std::memcpy(entry, text, n);
  std::memset(entry + n, 0, kEntryBytes - n);
  Store(list.active[slot], 1);
  StoreRelease(*list.count, slot + 1);
  return 1;
}

int DelUrl(FilterState& state, ListKind kind, const char* text) {
  if (text == nullptr) return 0;
  const MutableUrlList list = ListOf(state, kind);
  const std::size_t text_length = std::strlen(text);
  for (std::int32_t i = 0; i < kListSlots && i < LoadAcquire(*list.count); ++i) {
    char* entry = list.entries[i];
    if (EntryLength(list.entries[i]) != text_length) continue;
    if (std::memcmp(entry, text, text_length) != 0) continue;
    // The flag goes first: a reader must not see an active slot whose text
    // is being cleared.
    Store(list.active[i], 0);
    std::atomic_thread_fence(std::memory_order_release);
    std::memset(entry, 0, kEntryBytes);
    return 1;
  }
  return 1;
}

int SetFlag(std::int32_t& flag, std::int32_t value) {
  Store(flag, value);
  return 1;
}

}  // namespace tarvel
