// A category's text read, compiled and opened: every domain kept is found,
// and each line of the input, as a host, gets the plain walk's answer over
// the kept domains.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "filter/category_match.h"
#include "state/category_file.h"
#include "tests/testing/category_plain.h"
#include "tools/tarvelctl/category_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  tarvel::ctl::CategoryText read;
  tarvel::ctl::ReadCategoryText(text, &read);
  tarvel::ctl::FinishCategoryText(&read);
  const std::vector<unsigned char> file = tarvel::BuildCategoryFile("fuzz", read.domains);
  std::string reason;
  const tarvel::CategoryView view = tarvel::OpenCategoryFile(file.data(), file.size(), &reason);
  if (!view.valid()) std::abort();
  const std::set<std::string> kept(read.domains.begin(), read.domains.end());
  for (const std::string& d : read.domains) {
    if (tarvel::MatchCategory(view, d.data(), d.size()) < 0) std::abort();
  }
  // Each line as a host: found exactly when the plain walk finds it.
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string host = text.substr(start, end - start);
    start = end + 1;
    if (host.size() > 200) continue;
    const bool found = tarvel::MatchCategory(view, host.data(), host.size()) >= 0;
    if (found != tarvel::testing::MatchCategoryPlain(kept, host)) std::abort();
  }
  return 0;
}
