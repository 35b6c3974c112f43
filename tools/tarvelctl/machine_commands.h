// The commands that act on a Windows machine: install and uninstall, status
// and configuration, and live control of the running filter. They run over
// the Machine interface, so their logic is the same under test.
#pragma once

#include <vector>

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

// install, uninstall, status, config show, config set.
std::vector<CommandSpec> SetupCommands(Machine& machine);

// block, unblock, allow, disallow, white-only, smart.
std::vector<CommandSpec> LiveCommands(Machine& machine);

// Every command of the Windows tarvelctl, in the order "help" lists them.
std::vector<CommandSpec> AllCommands(Machine& machine);

}  // namespace tarvel::ctl
