// selftest: proves on the machine where it runs that the running filter is
// in the path of an ordinary program's sockets and cuts a request naming a
// blacklisted host, over the Machine interface.
#pragma once

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

CommandSpec SelfTestCommand(Machine& machine);

}  // namespace tarvel::ctl
