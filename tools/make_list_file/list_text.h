// Plain-text host lists turned into list files.
//
// The text holds one host pattern a line; blanks around a pattern, empty
// lines and lines starting with '#' are skipped; line ends may be "\n" or
// "\r\n". The list file is the header record and one 100-byte record per
// pattern, in the order of the text.
#pragma once

#include <string>
#include <string_view>

namespace tarvel {

// Puts the list file's bytes into `file` and gives true; or gives false
// with a message in `error` (naming the line) for a pattern of more than 100
// characters, a NUL byte, or more than 2000 patterns (the filter would load
// only the first 2000).
bool MakeListFile(std::string_view text, std::string& file, std::string& error);

}  // namespace tarvel
