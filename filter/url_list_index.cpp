// One index per list kind, rebuilt when a list at another address is asked
// (tests use many blocks). Readers take no lock: the thread that extends the
// index holds a try-lock and bumps a sequence word before and after (odd
// while it writes); a reader that sees the word odd, or changed by the end of
// its call, or that loses the try-lock, leaves the answer to the full scan.
// A match is always tested on the slot itself by the list's rule, so only a
// "no match" depends on the index being whole.
#include "filter/url_list_index.h"

#include <atomic>
#include <cstdint>

#include "filter/ascii.h"

namespace tarvel {
namespace {

// A power of two above twice the list: probe runs stay short.
constexpr std::uint32_t kTableSlots = 4096;
constexpr int kTableBits = 12;
static_assert(kTableSlots == 1u << kTableBits && kTableSlots >= 2 * kListSlots);

// Past this many slots sharing a host's 4-byte pieces, the full scan is
// cheaper than testing them one by one.
constexpr int kCandidateBudget = 64;

struct ListIndex {
  std::atomic<std::uint32_t> sequence{0};
  std::atomic<bool> busy{false};
  // The list's flags array names the list.
  std::atomic<const std::int32_t*> list{nullptr};
  std::atomic<int> indexed{0};
  std::atomic<int> direct_count{0};
  // Each distinct folded first 4 bytes of the indexed slots, once: 0 marks
  // an empty place (such a key holds no NUL, so it is never 0). Its slots
  // form a chain from `heads` through `next`, ended by -1: many entries
  // share a start ("www.", a common word) and would otherwise make long
  // probe runs.
  std::atomic<std::uint32_t> keys[kTableSlots];
  std::atomic<std::int16_t> heads[kTableSlots];
  std::atomic<std::int16_t> next[kListSlots];
  // Slots tested on every call.
  std::atomic<std::int16_t> direct[kListSlots];
};

ListIndex g_indexes[2];

ListIndex& IndexOf(ListKind kind) { return g_indexes[kind == ListKind::kWhite ? 0 : 1]; }

bool IsWildcard(char c) { return c == '*' || c == '?'; }

std::uint32_t KeyOf(const char* p) {
  std::uint32_t key = 0;
  for (int k = 0; k < 4; ++k) {
    key |= std::uint32_t{ToLowerAscii(static_cast<unsigned char>(p[k]))} << (8 * k);
  }
  return key;
}

std::uint32_t PlaceOf(std::uint32_t key) { return (key * 2654435761u) >> (32 - kTableBits); }

int SlotsInUse(const UrlList& list) {
  const std::int32_t count = LoadAcquire(*list.count);
  if (count < 0) return 0;
  return count < kListSlots ? count : kListSlots;
}

// The slot's key, or false when the index cannot answer for it: its text
// is shorter than 4 bytes or has a wildcard among them.
bool KeyOfSlot(const char (&entry)[kEntryBytes], std::uint32_t* key) {
  for (int k = 0; k < 4; ++k) {
    if (entry[k] == '\0' || IsWildcard(entry[k])) return false;
  }
  *key = KeyOf(entry);
  return true;
}

void AddSlot(ListIndex& index, const UrlList& list, int slot) {
  std::uint32_t key = 0;
  // A flag other than 1 is a removed slot or an addition still writing its
  // text: the two look alike, so the slot is tested on every call.
  if (LoadAcquire(list.active[slot]) != 1 || !KeyOfSlot(list.entries[slot], &key)) {
    const int n = index.direct_count.load(std::memory_order_relaxed);
    index.direct[n].store(static_cast<std::int16_t>(slot), std::memory_order_relaxed);
    index.direct_count.store(n + 1, std::memory_order_relaxed);
    return;
  }
  std::uint32_t place = PlaceOf(key);
  std::uint32_t held = 0;
  while ((held = index.keys[place].load(std::memory_order_relaxed)) != 0 && held != key) {
    place = (place + 1) & (kTableSlots - 1);
  }
  const std::int16_t head =
      held == 0 ? std::int16_t{-1} : index.heads[place].load(std::memory_order_relaxed);
  index.next[slot].store(head, std::memory_order_relaxed);
  index.heads[place].store(static_cast<std::int16_t>(slot), std::memory_order_relaxed);
  index.keys[place].store(key, std::memory_order_relaxed);
}

void Clear(ListIndex& index) {
  for (auto& key : index.keys) key.store(0, std::memory_order_relaxed);
  index.indexed.store(0, std::memory_order_relaxed);
  index.direct_count.store(0, std::memory_order_relaxed);
}

// Brings the index over slots [0, count) of `list`, inside the odd phase of
// the sequence word. The caller holds the try-lock.
void Extend(ListIndex& index, const UrlList& list, int count) {
  const std::uint32_t sequence = index.sequence.load(std::memory_order_relaxed);
  index.sequence.store(sequence + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  // Slots only ever get added, so fewer slots than indexed means another
  // list at the same address.
  if (index.list.load(std::memory_order_relaxed) != list.active ||
      index.indexed.load(std::memory_order_relaxed) > count) {
    Clear(index);
    index.list.store(list.active, std::memory_order_relaxed);
  }
  for (int slot = index.indexed.load(std::memory_order_relaxed); slot < count; ++slot) {
    AddSlot(index, list, slot);
  }
  index.indexed.store(count, std::memory_order_relaxed);
  index.sequence.store(sequence + 2, std::memory_order_release);
}

bool Covers(const ListIndex& index, const UrlList& list, int count) {
  return index.list.load(std::memory_order_relaxed) == list.active &&
         index.indexed.load(std::memory_order_relaxed) == count;
}

// False when another thread holds the try-lock.
bool TryExtend(ListIndex& index, const UrlList& list, int count) {
  if (index.busy.exchange(true, std::memory_order_acquire)) return false;
  if (!Covers(index, list, count)) Extend(index, list, count);
  index.busy.store(false, std::memory_order_release);
  return true;
}

struct Lookup {
  const ListIndex& index;
  int count;
  SlotTest test;
  const void* context;
  int budget = kCandidateBudget;
};

IndexAnswer AskDirect(const Lookup& lookup) {
  const int n = lookup.index.direct_count.load(std::memory_order_relaxed);
  for (int d = 0; d < n && d < kListSlots; ++d) {
    const int slot = lookup.index.direct[d].load(std::memory_order_relaxed);
    if (slot < lookup.count && lookup.test(lookup.context, slot)) return IndexAnswer::kMatch;
  }
  return IndexAnswer::kNoMatch;
}

// Tests the slots whose key is `key`. A chain read while it changes may be
// cut or run on: the sequence word makes the caller discard that answer,
// and the budget bounds the walk.
IndexAnswer AskKey(Lookup& lookup, std::uint32_t key) {
  std::uint32_t place = PlaceOf(key);
  std::uint32_t held = 0;
  while ((held = lookup.index.keys[place].load(std::memory_order_relaxed)) != key) {
    if (held == 0) return IndexAnswer::kNoMatch;
    place = (place + 1) & (kTableSlots - 1);
  }
  int slot = lookup.index.heads[place].load(std::memory_order_relaxed);
  for (; slot >= 0 && slot < kListSlots;
       slot = lookup.index.next[slot].load(std::memory_order_relaxed)) {
    if (--lookup.budget < 0) return IndexAnswer::kAskTheList;
    if (slot < lookup.count && lookup.test(lookup.context, slot)) return IndexAnswer::kMatch;
  }
  return IndexAnswer::kNoMatch;
}

// An entry whose first 4 bytes are literal matches only where those 4 bytes,
// folded, stand side by side in the host: every other slot is passed over.
IndexAnswer AskIndexed(Lookup& lookup, const char* host, std::size_t length) {
  IndexAnswer answer = AskDirect(lookup);
  for (std::size_t at = 0; answer == IndexAnswer::kNoMatch && at + 4 <= length; ++at) {
    answer = AskKey(lookup, KeyOf(host + at));
  }
  return answer;
}

}  // namespace

IndexAnswer AskUrlListIndex(const UrlList& list, const char* host, std::size_t length,
                            SlotTest test, const void* context) {
  if (test == nullptr || (host == nullptr && length > 0)) return IndexAnswer::kAskTheList;
  ListIndex& index = IndexOf(list.kind);
  const int count = SlotsInUse(list);
  if (!Covers(index, list, count) && !TryExtend(index, list, count)) {
    return IndexAnswer::kAskTheList;
  }
  const std::uint32_t before = index.sequence.load(std::memory_order_acquire);
  if ((before & 1) != 0 || !Covers(index, list, count)) return IndexAnswer::kAskTheList;
  Lookup lookup{index, count, test, context};
  const IndexAnswer answer = AskIndexed(lookup, host, length);
  if (answer == IndexAnswer::kMatch) return answer;
  std::atomic_thread_fence(std::memory_order_acquire);
  if (index.sequence.load(std::memory_order_relaxed) != before) return IndexAnswer::kAskTheList;
  return answer;
}

void ForgetUrlListIndexes() {
  for (ListIndex& index : g_indexes) {
    while (index.busy.exchange(true, std::memory_order_acquire)) {
    }
    const std::uint32_t sequence = index.sequence.load(std::memory_order_relaxed);
    index.sequence.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    Clear(index);
    index.list.store(nullptr, std::memory_order_relaxed);
    index.sequence.store(sequence + 2, std::memory_order_release);
    index.busy.store(false, std::memory_order_release);
  }
}

}  // namespace tarvel
