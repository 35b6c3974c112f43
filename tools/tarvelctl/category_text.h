// The text lists a category is compiled from, as the public blocklists
// publish them. Each line's format is told on its own: a hosts line
// ("0.0.0.0 host", "127.0.0.1 a b", "::1 host", a '#' comment after the
// names), a plain domain, an adblock rule "||domain^" (other adblock rules
// are skipped), "*.domain", a comment ('#', '!', ';') or a blank line.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tarvel::ctl {

struct CategoryText {
  std::vector<std::string> domains;        // clean, each once, none under another
  std::size_t entries = 0;                 // host names read, kept or not
  std::size_t skipped = 0;                 // entries and rules that are no host name
  std::size_t dropped = 0;                 // duplicates and domains under another
  std::vector<std::string> first_skipped;  // "line N: TEXT", the first 5
};

// Reads one or more texts' lines into `into` (call once per text, then
// Finish).
void ReadCategoryText(const std::string& text, CategoryText* into);
// Drops the duplicates and covered domains of everything read.
void FinishCategoryText(CategoryText* text);

}  // namespace tarvel::ctl
