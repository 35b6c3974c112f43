// Module attach: the module's handler of every loader notification. The
// first notification that finds a new block sets it up from the settings and
// the two list files; every notification, in every process, is counted.
#pragma once

#include <cstdint>

#include "state/extensions.h"
#include "state/filter_state.h"
#include "state/list_file.h"
#include "state/settings.h"

namespace tarvel {

// The loader's notification codes (DLL_PROCESS_ATTACH and the others).
enum class Notification : std::uint32_t {
  kProcessDetach = 0,
  kProcessAttach = 1,
  kThreadAttach = 2,
  kThreadDetach = 3,
};

// How an attempt to enter the machine-wide set-up lock ended.
enum class SetUpEntry {
  kEntered,      // held by this process until LeaveSetUp
  kBusy,         // another process held it for the whole wait: that one sets up
  kUnavailable,  // no such lock can be had on this machine at all
};

// What module attach needs of its process and of the machine.
class AttachPlatform {
 public:
  // Keeps the set-ups of processes that attach at the same moment apart:
  // blocks while another process holds it, for a bounded time.
  virtual SetUpEntry EnterSetUp() = 0;
  virtual void LeaveSetUp() = 0;
  virtual SettingsStore& Settings() = 0;
  virtual ListFiles& Files() = 0;
  // A machine-wide clock in milliseconds that may wrap (the tick count).
  virtual std::uint32_t NowMs() = 0;

 protected:
  ~AttachPlatform() = default;
};

// Sets a new block up, in this order: lists ready; the white-only, smart
// filter, HTTPS filter and lock flags from "iswhi", "issma", "issni" and
// "islck" (a value
// that cannot be read leaves its flag as it was); the categories' folder and
// names from "catdir" and "cats" (SetUpCategories); the phrase table; the
// white list file, then the black list file, always both, each failure
// clearing the lists-ready flag.
void SetUpBlock(FilterState& state, SharedExtensions& extensions, SettingsStore& settings,
                ListFiles& files);

// The least time between two tries of the list files, machine-wide.
inline constexpr std::uint32_t kListRetryMs = 5000;

// After a set-up that could not read a list file (held by another program,
// not readable by the account that set up, between the renames of a
// replace): loads both list files again, under the set-up lock, and sets
// the lists ready when both load. At most once per kListRetryMs across all
// processes (the first to claim the time stamp tries), and never once an
// export has changed a list or the lists are ready. Returns 1 when it set
// the lists ready.
int RetryLists(FilterState& state, SharedExtensions& extensions, AttachPlatform& platform);

// One notification, whatever its code (the process's start-up lock is the
// entry routine's own business). When the attach counter is 0 the block is
// set up, once per block even when several processes attach at the same
// moment. A process that waited in vain for another's set-up leaves the
// set-up to that process; only when no lock can be had at all does it set
// up unguarded, rather than leave the block without lists for good. Then
// the counter grows by 1; it stops at its largest value rather than
// wrap round to 0, which would set a block in use up again.
//
// A later process attach, while the lists are not ready and no export has
// changed a list, tries the list files again (RetryLists). Returns 1.
int ModuleAttach(FilterState& state, SharedExtensions& extensions, AttachPlatform& platform,
                 Notification reason);

}  // namespace tarvel
