// MatchPhrases: one pass over the buffer with tables built once per phrase
// table (filter/phrase_matcher.h).
//
// The tables are found again on every call by comparing the table they were
// built from with the shared one: the shared table is written once at set-up
// and never changes after, so in practice one set of tables serves the
// process; a different table (another block, or one seen while set-up was
// still writing it) gets tables of its own, and an answer never comes from
// the tables of another table. Tables are published with a release store and
// freed only when the module is unloaded, so a thread that found them may
// use them without a lock.
#include "filter/phrases.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "filter/phrase_matcher.h"

namespace tarvel {
namespace {

struct MatcherNode {
  std::unique_ptr<PhraseMatcher> matcher;
  const MatcherNode* next;
};

// Newest first. A process sees one table; the bound only keeps a writer
// that kept changing the table from growing the list without end.
constexpr int kMaxTables = 16;
std::atomic<const MatcherNode*> g_matchers{nullptr};
std::atomic<int> g_tables_built{0};
std::atomic<int> g_level_cap{static_cast<int>(SimdLevel::kAvx2)};

// Frees the tables when the module is unloaded (or the process ends): a
// process may load and unload the module many times in its life, and no
// load may leave its tables behind. No thread runs this code by then; a
// call that still came would find no tables and build new ones.
struct TablesOwner {
  ~TablesOwner() {
    const MatcherNode* n = g_matchers.exchange(nullptr);
    while (n != nullptr) {
      const MatcherNode* next = n->next;
      delete n;
      n = next;
    }
  }
} g_tables_owner;

const PhraseMatcher* FindMatcher(const FilterState& state, std::int32_t count, SimdLevel level) {
  for (const MatcherNode* n = g_matchers.load(std::memory_order_acquire); n != nullptr;
       n = n->next) {
    if (n->matcher->SameTable(state.phrases, count, level)) return n->matcher.get();
  }
  return nullptr;
}

// Builds and publishes tables for the current table; null when the bound is
// reached or memory ran out. Two threads may both build for the same table;
// both sets are correct and both are kept.
const PhraseMatcher* AddMatcher(const FilterState& state, std::int32_t count) {
  if (g_tables_built.fetch_add(1, std::memory_order_relaxed) >= kMaxTables) return nullptr;
  MatcherNode* node = nullptr;
  try {
    node = new MatcherNode{PhraseMatcher::Build(state.phrases, count), nullptr};
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  const MatcherNode* head = g_matchers.load(std::memory_order_relaxed);
  do {
    node->next = head;
  } while (!g_matchers.compare_exchange_weak(head, node, std::memory_order_release,
                                             std::memory_order_relaxed));
  return node->matcher.get();
}

SimdLevel ScanLevel() {
  const auto cap = static_cast<SimdLevel>(g_level_cap.load(std::memory_order_relaxed));
  return std::min(cap, SupportedSimdLevel());
}

}  // namespace

std::int32_t FirstPhraseFound(const FilterState& state, const void* buffer, std::int32_t length) {
  if (buffer == nullptr || length == 0) return -1;
  const std::int32_t count = Load(state.phrase_count);
  if (count <= 0) return -1;
  const PhraseMatcher* matcher = FindMatcher(state, count, ScanLevel());
  if (matcher != nullptr) return matcher->FirstFound(buffer, length);
  const std::size_t n = length > 1 ? static_cast<std::size_t>(length) - 1 : 0;
  return FirstSlotFound(state, static_cast<const unsigned char*>(buffer), n);
}

int MatchPhrases(const FilterState& state, const void* buffer, std::int32_t length) {
  if (buffer == nullptr || length == 0) return 0;
  const std::int32_t count = Load(state.phrase_count);
  if (count <= 0) return 0;
  const SimdLevel level = ScanLevel();
  const PhraseMatcher* matcher = FindMatcher(state, count, level);
  if (matcher == nullptr) matcher = AddMatcher(state, count);
  if (matcher == nullptr) {
    const std::size_t n = length > 1 ? static_cast<std::size_t>(length) - 1 : 0;
    return FirstSlotFound(state, static_cast<const unsigned char*>(buffer), n) >= 0 ? 1 : 0;
  }
  return matcher->Match(buffer, length, level);
}

SimdLevel CapPhraseScanLevel(SimdLevel cap) {
  return static_cast<SimdLevel>(g_level_cap.exchange(static_cast<int>(cap)));
}

}  // namespace tarvel
