// URL list matching exactly as the list defines it: the reference for
// MatchUrlList.
#pragma once

#include "filter/host.h"
#include "state/filter_state.h"

namespace tarvel::testing {

// Same contract as MatchUrlList.
int MatchUrlListPlain(const UrlList& list, const Host& host);

}  // namespace tarvel::testing
