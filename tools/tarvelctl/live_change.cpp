#include "tools/tarvelctl/live_change.h"

#include "tools/tarvelctl/running_filters.h"

namespace tarvel::ctl {
namespace {

constexpr char kNotRunningReason[] =
    "no other program holds tarvel.dll, so the filter is not running and a live change would end "
    "with this command";

}  // namespace

Outcome Failed(const std::string& reason) { return {Took::kNo, reason}; }

const char kNeedsRights[] =
    "needs administrator rights: the filter is locked (run it from an elevated prompt)";

bool RefusedByLock(const LiveFilter& live, int result) {
  const SharedExtensions* extensions = live.Extensions();
  return result != 1 && extensions != nullptr && IsOn(extensions->locked);
}

std::unique_ptr<LiveFilter> OpenFilter(Machine& machine, const Invocation& in, Outcome* outcome) {
  std::string error;
  const std::string module = FilterModule(machine, in, &error);
  if (module.empty()) {
    *outcome = Failed(error);
    return nullptr;
  }
  std::unique_ptr<LiveFilter> live = machine.LoadFilter(module, &error);
  if (!live) {
    *outcome = Failed(error);
    return nullptr;
  }
  // Loading it here counted one attach; more means other programs hold it.
  const FilterState* state = live->State();
  if (state != nullptr && Load(state->attach_counter) <= 1) {
    *outcome = {Took::kNotRunning, kNotRunningReason};
    return nullptr;
  }
  return live;
}

Outcome ChangeOtherFilter(Machine& machine, const Invocation& in,
                          const std::vector<std::string>& command, bool persisted,
                          const std::string& not_in, std::ostream& out) {
  const ProgramRun run = RunOtherTool(machine, in, command);
  if (!run.started) return Failed(run.error);
  out << WithoutCarriageReturns(run.out);
  if (run.code == kExitOk || (run.code == kExitNotInList && persisted)) return {};
  if (run.code == kExitNotInList) return {Took::kNo, not_in, true};
  if (run.code == kExitNotRunning) return {Took::kNotRunning, kNotRunningReason};
  return Failed(FailureOf(run));
}

int FinishOwn(const Invocation& in, const Outcome& own, Console& console) {
  const bool persist = in.Has("--persist");
  switch (own.took) {
    case Took::kYes:
      if (!persist && !in.Has(kOwnOnly)) {
        console.out
            << "The change lasts while some program holds tarvel.dll; add --persist to keep it.\n";
      }
      return kExitOk;
    case Took::kNotRunning:
      if (persist) {
        console.out << "Note: " << own.reason << "; it starts from the files and settings.\n";
        return kExitOk;
      }
      return Fail(console, own.reason + "; add --persist to change what it starts from",
                  in.Has(kOwnOnly) ? kExitNotRunning : kExitFailed);
    case Took::kNo:
      break;
  }
  if (!own.not_in) return Fail(console, own.reason);
  return in.Has(kOwnOnly) ? kExitNotInList : kExitFailed;
}

int FinishBoth(Machine& machine, const Invocation& in, const Outcome& own, const Outcome& other,
               Console& console) {
  const bool persist = in.Has("--persist");
  const std::pair<CatalogKind, const Outcome*> filters[] = {{machine.OwnKind(), &own},
                                                            {OtherKind(machine), &other}};
  std::string took;
  std::string missed;
  for (const auto& [kind, outcome] : filters) {
    const std::string programs = KindName(kind) + " programs";
    if (outcome->took == Took::kNotRunning && persist) {
      console.out << "Note: the filter of " << programs
                  << " is not running; it starts from the files and settings.\n";
    } else if (outcome->took == Took::kYes) {
      took += (took.empty() ? "" : " and ") + programs;
    } else if (outcome->took == Took::kNotRunning) {
      missed += (missed.empty() ? "" : "; ") + programs +
                ": not running, so a live change would end with this command (add --persist to "
                "change what it starts from)";
    } else {
      missed += (missed.empty() ? "" : "; ") + programs + ": " + outcome->reason;
    }
  }
  if (missed.empty()) {
    if (!persist) {
      console.out << "The change lasts while some program holds tarvel.dll; add --persist to "
                     "keep it.\n";
    }
    return kExitOk;
  }
  if (took.empty()) return Fail(console, "no running filter took the change: " + missed);
  return Fail(console, "only the filter of " + took + " took the change; " + missed);
}

}  // namespace tarvel::ctl
