#include "provider/win/lower_table.h"

namespace tarvel {

WSPPROC_TABLE LowerProcTable = {};

namespace {

CRITICAL_SECTION g_startup_lock;

constexpr int kEntryCount = sizeof(WSPPROC_TABLE) / sizeof(void*);
static_assert(kEntryCount == 30, "WSPPROC_TABLE has 30 entries");

// The table as an array of pointer-sized slots, each stored whole.
using Slot = void*;
Slot* Slots(WSPPROC_TABLE& table) { return reinterpret_cast<Slot*>(&table); }

}  // namespace

void InitStartupLock() { InitializeCriticalSection(&g_startup_lock); }

void InstallProcTables(LPWSPPROC_TABLE handed_out) {
  const WSPPROC_TABLE& own = OwnProcTable();
  Slot* lower = Slots(LowerProcTable);
  Slot* out = Slots(*handed_out);
  const Slot* mine = reinterpret_cast<const Slot*>(&own);
  EnterCriticalSection(&g_startup_lock);
  for (int i = 0; i < kEntryCount; ++i) {
    std::atomic_ref<Slot>(lower[i]).store(out[i], std::memory_order_release);
  }
  for (int i = 0; i < kEntryCount; ++i) {
    std::atomic_ref<Slot>(out[i]).store(const_cast<Slot>(mine[i]), std::memory_order_release);
  }
  LeaveCriticalSection(&g_startup_lock);
}

}  // namespace tarvel
