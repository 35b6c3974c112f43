// block, unblock, allow, disallow, white-only, smart, https: live control of
// the running filters, over the Machine interface.
#pragma once

#include <vector>

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

std::vector<CommandSpec> LiveCommands(Machine& machine);

}  // namespace tarvel::ctl
