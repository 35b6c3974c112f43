// What the Windows commands say about the machine: refusals, which programs
// a filter serves, and the settings as config show and status print them.
#pragma once

#include <string>
#include <vector>

#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

// "install needs administrator rights: ..."
std::string NeedsAdministrator(const std::string& command);

// The refusal of a 32-bit tarvelctl on 64-bit Windows for `command`.
std::string NeedsNativeTool(const std::string& command);

// "64-bit programs" / "32-bit programs" / "all programs" (32-bit Windows).
std::string ProgramsOf(Machine& machine, CatalogKind kind);

// A setting's name and what it holds, as config show and status print them.
std::vector<std::string> DescribeSettings(Machine& machine, bool* lists_load);

}  // namespace tarvel::ctl
