// install, uninstall, status, config show and config set: the commands that
// set tarvel up on a Windows machine. They run over the Machine interface, so
// their logic is the same under test.
#pragma once

#include <vector>

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

std::vector<CommandSpec> SetupCommands(Machine& machine);

}  // namespace tarvel::ctl
