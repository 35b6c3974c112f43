// install and uninstall: tarvel.dll into the Winsock catalogs and out again.
#pragma once

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

CommandSpec InstallCommand(Machine& machine);
CommandSpec UninstallCommand(Machine& machine);

}  // namespace tarvel::ctl
