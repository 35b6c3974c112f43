// Matching a request's host against a URL list.
#pragma once

#include "filter/host.h"
#include "state/filter_state.h"

namespace tarvel {

// 1 if an active slot of `list` matches `host`, else 0. A slot matches when
// its text, wrapped in '*' on both sides, matches the host as a wildcard
// pattern, both folded to ASCII lower case: entries match as substrings, with
// '*' and '?' keeping their wildcard meaning inside. Slots are visited in
// order up to the count in use (re-read as the scan goes, never beyond the
// list). A slot counts only when its flag is exactly 1; an empty text matches
// every host in the white list and is skipped in the black list.
int MatchUrlList(const UrlList& list, const Host& host);

}  // namespace tarvel
