// Host patterns as an administrator types them: checked before they reach a
// list (live or in a file), and read from plain text files, hosts files
// included.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "state/list_format.h"

namespace tarvel::ctl {

// A list entry holds at most this many characters; the filter would cut a
// longer one, and removing it again by the same text would then fail.
inline constexpr std::size_t kMaxPatternLength = list_format::kMaxEntryLength;

// Why `pattern` should not become a list entry, or "" when it may. Refused:
// the empty pattern (an empty whitelist entry lets every host through), more
// than 100 characters, and any byte outside printable ASCII (blanks, control
// characters, non-ASCII), which no host name on the wire holds.
[[nodiscard]] std::string PatternProblem(std::string_view pattern);

struct PatternText {
  std::vector<std::string> patterns;  // in text order, each once
  int duplicates = 0;                 // patterns skipped as already taken
  int local_names = 0;                // hosts-file names such as localhost skipped
};

// Reads one host pattern per line. Skipped: blank lines, everything from '#'
// to the end of a line, a UTF-8 byte order mark. A hosts-file line, an IPv4
// or IPv6 address followed by host names, gives its host names, except the
// local names hosts files carry (localhost, broadcasthost, ip6-... and the
// like), which as substring patterns would block far more than intended.
// Returns "" on success, else a one-line reason that starts with "line N: ".
[[nodiscard]] std::string ReadPatternText(std::string_view text, PatternText* out);

}  // namespace tarvel::ctl
