// Pieces the Windows commands share.
#pragma once

#include <string>
#include <vector>

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

// "install needs administrator rights: ..."
std::string NeedsAdministrator(const std::string& command);

// The refusal of a 32-bit tarvelctl on 64-bit Windows for `command`.
std::string NeedsNativeTool(const std::string& command);

// "64-bit programs" / "32-bit programs" / "all programs" (32-bit Windows).
std::string ProgramsOf(Machine& machine, CatalogKind kind);

// The tarvel.dll to load: the --dll option made absolute, else the module
// the catalog names for this program's kind, expanded. "" and `error` set
// when neither is there.
std::string FilterModule(Machine& machine, const Invocation& in, std::string* error);

// A setting's name and what it holds, as config show and status print them.
std::vector<std::string> DescribeSettings(Machine& machine, bool* lists_load);

// Active entries of a list in a block.
int ActiveEntries(const FilterState& state, ListKind kind);

}  // namespace tarvel::ctl
