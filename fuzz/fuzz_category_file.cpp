// The category file reader on any bytes: refused, or opened and every
// entry found again by its own domain and by a subdomain of it; hosts cut
// from the input are looked up in either case.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "filter/category_match.h"
#include "state/category_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The reader asks for 8-byte alignment, as a mapped view gives.
  std::vector<std::uint64_t> aligned((size + 7) / 8 + 1);
  std::memcpy(aligned.data(), data, size);
  std::string reason;
  const tarvel::CategoryView view = tarvel::OpenCategoryFile(aligned.data(), size, &reason);
  if (view.valid() != reason.empty()) std::abort();
  if (view.valid()) {
    for (std::uint32_t i = 0; i < view.count && i < 64; ++i) {
      const std::string domain = tarvel::CategoryDomain(view, i);
      const std::string under = "a." + domain;
      if (tarvel::MatchCategory(view, domain.data(), domain.size()) < 0) std::abort();
      if (tarvel::MatchCategory(view, under.data(), under.size()) < 0) std::abort();
    }
  }
  const std::string host(reinterpret_cast<const char*>(data), size < 300 ? size : 300);
  tarvel::MatchCategory(view, host.data(), host.size());
  return 0;
}
