// Every command of the Windows tarvelctl.
#pragma once

#include <vector>

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

// In the order "help" lists them.
std::vector<CommandSpec> AllCommands(Machine& machine);

}  // namespace tarvel::ctl
