// One live change across the running filters: this program's own kind's
// through the tarvel.dll it loads, the other kind's through the other
// tarvelctl of the package, and how the command ends by what each made of
// it. Shared by the list and flag commands and the category commands.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

// What one running filter made of a live change.
enum class Took { kYes, kNotRunning, kNo };

struct Outcome {
  Took took = Took::kYes;
  std::string reason;   // kNotRunning, kNo: why, as one phrase
  bool not_in = false;  // kNo: what to remove is not in the running filter,
                        // which the output says already
};

Outcome Failed(const std::string& reason);

// The refusal of a locked filter, as a live command states it.
extern const char kNeedsRights[];

// A locked filter refuses a caller without the rights: the export changes
// nothing and returns 0.
bool RefusedByLock(const LiveFilter& live, int result);

// Loads the filter and tells whether it is running elsewhere. On failure
// returns null and sets `outcome`.
std::unique_ptr<LiveFilter> OpenFilter(Machine& machine, const Invocation& in, Outcome* outcome);

// The same change made by the other kind's tarvelctl in its own filter, as
// `command` (its words and operands) there; what it wrote to its output is
// passed on. `persisted`: the change is in the files already, so what it
// removes and its filter does not hold is gone once the filter starts anew;
// `not_in`: the reason when the filter does not hold it.
Outcome ChangeOtherFilter(Machine& machine, const Invocation& in,
                          const std::vector<std::string>& command, bool persisted,
                          const std::string& not_in, std::ostream& out);

// The command's end over this program's filter alone: as the command always
// ended where there is one filter, and with kExitNotRunning under --own-only.
int FinishOwn(const Invocation& in, const Outcome& own, Console& console);

// The command's end over both filters: a filter that is not running is no
// failure when the change was persisted, since it starts from the files.
int FinishBoth(Machine& machine, const Invocation& in, const Outcome& own, const Outcome& other,
               Console& console);

}  // namespace tarvel::ctl
