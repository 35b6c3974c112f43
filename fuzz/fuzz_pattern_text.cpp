// Any text read as host patterns: every pattern taken is one a list entry
// may hold, none twice, and the patterns written one per line read back the
// same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "tools/tarvelctl/patterns.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel::ctl;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  PatternText read;
  if (!ReadPatternText(text, &read).empty()) return 0;
  std::set<std::string> seen;
  std::string lines;
  for (const std::string& pattern : read.patterns) {
    if (!PatternProblem(pattern).empty() || !seen.insert(pattern).second) std::abort();
    lines += pattern + "\n";
  }
  PatternText again;
  if (!ReadPatternText(lines, &again).empty() || again.patterns != read.patterns) std::abort();
  return 0;
}
