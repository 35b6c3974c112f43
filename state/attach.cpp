#include "state/attach.h"

#include <atomic>
#include <limits>

#include "filter/phrases.h"

namespace tarvel {
namespace {

void ReadFlagInto(SettingsStore& settings, const char* name, std::int32_t& flag) {
  std::int32_t value = Load(flag);
  if (settings.ReadFlag(name, &value) == 1) Store(flag, value);
}

// Adds 1, released: a process that sees the counter above 0 sees the block
// as its set-up left it.
void CountNotification(std::int32_t& counter) {
  std::atomic_ref<std::int32_t> ref(counter);
  std::int32_t seen = ref.load(std::memory_order_relaxed);
  while (seen != std::numeric_limits<std::int32_t>::max() &&
         !ref.compare_exchange_weak(seen, seen + 1, std::memory_order_release,
                                    std::memory_order_relaxed)) {
  }
}

// Takes the retry's turn: true when the last try is at least kListRetryMs
// ago (or there was none) and no other process took the turn meanwhile.
bool ClaimRetry(std::int32_t& stamp, std::uint32_t now) {
  std::atomic_ref<std::int32_t> ref(stamp);
  std::int32_t seen = ref.load(std::memory_order_relaxed);
  const std::uint32_t last = static_cast<std::uint32_t>(seen);
  if (last != 0 && now - last < kListRetryMs) return false;
  const std::int32_t mine = static_cast<std::int32_t>(now == 0 ? 1 : now);
  return ref.compare_exchange_strong(seen, mine, std::memory_order_relaxed);
}

bool RetryWanted(const FilterState& state, const SharedExtensions& extensions) {
  return !IsOn(state.lists_ready) && !IsOn(extensions.lists_edited);
}

}  // namespace

void SetUpBlock(FilterState& state, SharedExtensions& extensions, SettingsStore& settings,
                ListFiles& files) {
  Store(state.lists_ready, 1);
  ReadFlagInto(settings, settings::kWhiteOnly, state.white_only);
  ReadFlagInto(settings, settings::kSmartFilter, state.smart_filter);
  ReadFlagInto(settings, settings::kHttpsFilter, extensions.https_filter);
  ReadFlagInto(settings, settings::kLocked, extensions.locked);
  SetUpCategories(extensions.categories_generation, extensions.categories, settings);
  FillPhraseTable(state);
  if (LoadUrlListFile(state, ListKind::kWhite, settings, files) != 1) Store(state.lists_ready, 0);
  if (LoadUrlListFile(state, ListKind::kBlack, settings, files) != 1) Store(state.lists_ready, 0);
}

int RetryLists(FilterState& state, SharedExtensions& extensions, AttachPlatform& platform) {
  if (!RetryWanted(state, extensions)) return 0;
  if (!ClaimRetry(extensions.list_retry_ms, platform.NowMs())) return 0;
  const SetUpEntry entry = platform.EnterSetUp();
  if (entry == SetUpEntry::kBusy) return 0;
  int ready = 0;
  if (RetryWanted(state, extensions)) {
    const bool white =
        LoadUrlListFile(state, ListKind::kWhite, platform.Settings(), platform.Files()) == 1;
    const bool black =
        LoadUrlListFile(state, ListKind::kBlack, platform.Settings(), platform.Files()) == 1;
    if (white && black) {
      Store(state.lists_ready, 1);
      ready = 1;
    }
  }
  if (entry == SetUpEntry::kEntered) platform.LeaveSetUp();
  return ready;
}

int ModuleAttach(FilterState& state, SharedExtensions& extensions, AttachPlatform& platform,
                 Notification reason) {
  if (LoadAcquire(state.attach_counter) != 0) {
    CountNotification(state.attach_counter);
    if (reason == Notification::kProcessAttach) RetryLists(state, extensions, platform);
    return 1;
  }
  // A process that waited here while another set the block up finds the
  // counter above 0 once it gets in: the counting happens inside. One whose
  // wait ran out must not set up beside the holder, which would load the
  // lists twice over or interleave their entries for the block's life.
  const SetUpEntry entry = platform.EnterSetUp();
  if (entry != SetUpEntry::kBusy && LoadAcquire(state.attach_counter) == 0) {
    SetUpBlock(state, extensions, platform.Settings(), platform.Files());
  }
  CountNotification(state.attach_counter);
  if (entry == SetUpEntry::kEntered) platform.LeaveSetUp();
  return 1;
}

}  // namespace tarvel
