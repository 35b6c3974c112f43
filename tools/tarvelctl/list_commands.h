// The "list" commands: making, filling, printing and checking list files.
// They touch files only, never the registry or the running filter, and run
// on every platform tarvelctl builds for.
#pragma once

#include <string>
#include <vector>

#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/list_file.h"

namespace tarvel::ctl {

std::vector<CommandSpec> ListCommands();

// What the filter will make of the file at `path`, in one line: "loads: 12
// entries" or "does not load: REASON". Sets `loads` accordingly.
std::string DescribeListFileLoad(const std::string& path, bool* loads);

// The findings of "list check" beyond the first line, each a line of text:
// records beyond 2000, a trailing partial record, entries that are empty,
// unusual or repeated.
std::vector<std::string> ListFileFindings(const ListFile& list);

}  // namespace tarvel::ctl
