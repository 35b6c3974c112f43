// The lower provider's procedure table of this process, and the start-up
// lock that orders its replacement.
//
// All null until the first successful WSPStartup of the process; replaced
// whole, under the lock, by each later one. Entry points read their entry
// without the lock: each pointer is read and written whole, so a call racing
// a start-up uses the earlier or the later provider's entry, never a torn one.
#pragma once

#include <winsock2.h>
#include <ws2spi.h>

#include <atomic>

namespace tarvel {

// This process's copy of the lower provider's table: all null until the
// first successful WSPStartup, replaced whole by each later one.
extern WSPPROC_TABLE LowerProcTable;

// The current lower entry of a field, read whole.
template <typename Fn>
inline Fn LowerEntry(Fn& field) {
  return std::atomic_ref<Fn>(field).load(std::memory_order_acquire);
}

// Called once per process, before any WSPStartup can run.
void InitStartupLock();

// Copies `lower` into the process's table and overwrites all 30 entries of
// `handed_out` with this module's entry points, both under the start-up lock.
void InstallProcTables(LPWSPPROC_TABLE handed_out);

// This module's own 30 entry points, in WSPPROC_TABLE order.
const WSPPROC_TABLE& OwnProcTable();

}  // namespace tarvel
