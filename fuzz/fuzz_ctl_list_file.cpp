// Any bytes read as a list file by tarvelctl: a file with a valid header
// writes back to the bytes the filter reads from it, and reads back to the
// same entries; the findings of "list check" are made without fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/tarvelctl/list_commands.h"
#include "tools/tarvelctl/list_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel::ctl;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const ListFile list = ParseListFile(bytes);
  if (list.header != HeaderState::kValid) {
    if (!list.entries.empty()) std::abort();
    return 0;
  }
  const std::string written = SerializeListFile(list);
  if (written.size() != kRecordBytes * (1 + list.entries.size())) std::abort();
  const ListFile again = ParseListFile(written);
  if (again.header != HeaderState::kValid || again.entries != list.entries) std::abort();
  if (again.trailing_bytes != 0) std::abort();
  ListFileFindings(list);
  return 0;
}
