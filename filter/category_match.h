// Which entry of a category a host falls under, and the rules that make a
// list's text into a category's domains.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "state/category_file.h"

namespace tarvel {

// The entry that `host` (its first `length` bytes) falls under: one equal to
// the host, or to the part after any of its dots ("a.b.example.com" falls
// under "example.com", "badexample.com" does not), compared with ASCII
// letters folded and one trailing dot dropped; -1 when none. At most one
// lookup per label; no allocation, no lock, no byte read past `length`.
std::int64_t MatchCategory(const CategoryView& view, const char* host, std::size_t length);

// A list entry made a category domain: letters folded, one trailing dot and
// a leading "www." dropped. False when it is no host name: empty or over
// 253 bytes, a label empty or over 63, a character other than letters,
// digits, '-' and '_', no dot at all (localhost, a bare top-level name), or
// an IPv4 address.
bool CleanCategoryDomain(const std::string& entry, std::string* domain);

// The domains each once, sorted, without those under another of them.
std::vector<std::string> WithoutCoveredDomains(std::vector<std::string> domains);

}  // namespace tarvel
