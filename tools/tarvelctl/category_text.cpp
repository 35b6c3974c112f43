#include "tools/tarvelctl/category_text.h"

#include <algorithm>
#include <string_view>

#include "filter/category_match.h"

namespace tarvel::ctl {
namespace {

constexpr std::size_t kSkippedShown = 5;

// Views into the text: a list of a million lines is read without a copy
// of each line.
std::string_view Trimmed(std::string_view line) {
  const std::size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const std::size_t last = line.find_last_not_of(" \t\r");
  return line.substr(first, last - first + 1);
}

constexpr std::string_view kBlanks = " \t\n\v\f\r";

// The next word of `rest` (blanks between words), taken off its front; ""
// when none is left.
std::string_view NextWord(std::string_view* rest) {
  const std::size_t first = rest->find_first_not_of(kBlanks);
  if (first == std::string_view::npos) {
    *rest = {};
    return {};
  }
  const std::size_t end = std::min(rest->find_first_of(kBlanks, first), rest->size());
  const std::string_view word = rest->substr(first, end - first);
  rest->remove_prefix(end);
  return word;
}

bool IsAddress(std::string_view token) {
  if (token.find(':') != std::string_view::npos) return true;  // IPv6
  int dots = 0;
  for (char c : token) {
    if (c == '.') {
      ++dots;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  return dots == 3;
}

void Skip(CategoryText* into, std::size_t line, std::string_view text) {
  ++into->skipped;
  if (into->first_skipped.size() < kSkippedShown) {
    into->first_skipped.push_back("line " + std::to_string(line) + ": " + std::string(text));
  }
}

void Take(CategoryText* into, std::size_t line, std::string_view entry) {
  ++into->entries;
  std::string domain;
  if (CleanCategoryDomain(std::string(entry), &domain)) {
    into->domains.push_back(std::move(domain));
  } else {
    Skip(into, line, entry);
  }
}

void ReadLine(std::string_view raw, std::size_t number, CategoryText* into) {
  const std::string_view line = Trimmed(raw);
  if (line.empty() || line[0] == '#' || line[0] == '!' || line[0] == ';') return;
  if (line.compare(0, 2, "||") == 0) {
    // Only a rule that names a whole domain: "||domain^".
    if (line.size() > 3 && line.back() == '^' && line.find('^') == line.size() - 1) {
      Take(into, number, line.substr(2, line.size() - 3));
    } else {
      Skip(into, number, line);
    }
    return;
  }
  std::string_view words = line.substr(0, line.find('#'));
  const std::string_view first = NextWord(&words);
  if (IsAddress(first)) {
    for (std::string_view name = NextWord(&words); !name.empty(); name = NextWord(&words)) {
      Take(into, number, name);
    }
    return;
  }
  if (!NextWord(&words).empty()) {
    Skip(into, number, line);  // two words, neither an address: no format of ours
    return;
  }
  Take(into, number, first.compare(0, 2, "*.") == 0 ? first.substr(2) : first);
}

}  // namespace

void ReadCategoryText(const std::string& text, CategoryText* into) {
  const std::string_view all(text);
  std::size_t number = 0;
  std::size_t start = 0;
  while (start < all.size()) {
    const std::size_t end = std::min(all.find('\n', start), all.size());
    ReadLine(all.substr(start, end - start), ++number, into);
    start = end + 1;
  }
}

void FinishCategoryText(CategoryText* text) {
  const std::size_t before = text->domains.size();
  text->domains = WithoutCoveredDomains(std::move(text->domains));
  text->dropped = before - text->domains.size();
}

}  // namespace tarvel::ctl
