// ExtractHost, then the host through both lists of a block with entries of
// every kind (plain, starred, questioned, empty).
#include <cstdint>
#include <cstdlib>

#include "filter/host.h"
#include "filter/url_match.h"
#include "state/url_list.h"

namespace {

tarvel::FilterState* Block() {
  static tarvel::FilterState* state = [] {
    static tarvel::FilterState s;
    tarvel::ResetToInitial(s);
    for (const char* e : {"example.org", "ex*le", "a?c", "", "[x]", "**", "?"}) {
      tarvel::AddUrl(s, tarvel::ListKind::kBlack, e);
      tarvel::AddUrl(s, tarvel::ListKind::kWhite, e);
    }
    return &s;
  }();
  return state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const tarvel::Host host = tarvel::ExtractHost(reinterpret_cast<const char*>(data), size);
  if (host.length > tarvel::kHostMax || host.text[host.length] != '\0') std::abort();
  tarvel::MatchUrlList(tarvel::ListOf(*Block(), tarvel::ListKind::kBlack), host);
  tarvel::MatchUrlList(tarvel::ListOf(*Block(), tarvel::ListKind::kWhite), host);
  return 0;
}
