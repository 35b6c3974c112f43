// The "category" commands of the Windows tarvelctl: compiling text lists
// into a category and making it active in the running filters (add,
// update, publish), taking it out (remove), and showing the categories
// (list), where a host falls (test), and a file's checks (check, compile).
#pragma once

#include <string>
#include <vector>

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

std::vector<CommandSpec> CategoryCommands(Machine& machine);

// The running filter's categories as status shows them in one line:
// "categories: adult (1000000 domains), gambling (off: ...)" or
// "categories: none".
std::string DescribeCategories(Machine& machine, const LiveFilter& live);

}  // namespace tarvel::ctl
