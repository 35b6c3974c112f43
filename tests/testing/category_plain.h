// Category matching as its contract states it: the reference for
// MatchCategory.
#pragma once

#include <set>
#include <string>

namespace tarvel::testing {

// True when `host`, its ASCII letters folded and one trailing dot dropped,
// or the part after any of its dots, is one of `domains`.
bool MatchCategoryPlain(const std::set<std::string>& domains, std::string host);

}  // namespace tarvel::testing
