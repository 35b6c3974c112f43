// tarvelctl log: the record of blocked requests that the running filter
// keeps in the memory every program holding tarvel.dll shares, one line or
// one JSON object per block, newest last.
#pragma once

#include <string>

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

CommandSpec LogCommand(Machine& machine);

// The counters of blocks by reason, as status shows them; "" when
// `extensions` is null.
std::string DescribeBlockCounts(const SharedExtensions* extensions);

}  // namespace tarvel::ctl
