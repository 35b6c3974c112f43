// Every slot as the list defines it: the pattern "*" + entry + "*" folded
// to lower case, matched against the folded host. The reference that
// MatchUrlList must agree with on every input.
#include "tests/testing/url_match_plain.h"

#include "filter/ascii.h"
#include "filter/wildcard.h"

namespace tarvel::testing {

int MatchUrlListPlain(const UrlList& list, const Host& host) {
  char folded[kHostMax + 1];
  for (std::size_t i = 0; i <= host.length; ++i) folded[i] = ToLowerAscii(host.text[i]);

  for (int i = 0; i < kListSlots && i < LoadAcquire(*list.count); ++i) {
    if (Load(list.active[i]) != 1) continue;
    const std::size_t n = EntryLength(list.entries[i]);
    if (n == 0 && list.kind == ListKind::kBlack) continue;
    char pattern[kEntryBytes + 3];
    pattern[0] = '*';
    for (std::size_t k = 0; k < n; ++k) pattern[k + 1] = ToLowerAscii(list.entries[i][k]);
    pattern[n + 1] = '*';
    pattern[n + 2] = '\0';
    if (MatchWildcard(pattern, folded) == 1) return 1;
  }
  return 0;
}

}  // namespace tarvel::testing
