#include "tools/tarvelctl/category_text.h"

#include <algorithm>
#include <sstream>

#include "filter/category_match.h"

namespace tarvel::ctl {
namespace {

constexpr std::size_t kSkippedShown = 5;

std::string Trimmed(const std::string& line) {
  const std::size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const std::size_t last = line.find_last_not_of(" \t\r");
  return line.substr(first, last - first + 1);
}

bool IsAddress(const std::string& token) {
  if (token.find(':') != std::string::npos) return true;  // IPv6
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

void Skip(CategoryText* into, std::size_t line, const std::string& text) {
  ++into->skipped;
  if (into->first_skipped.size() < kSkippedShown) {
    into->first_skipped.push_back("line " + std::to_string(line) + ": " + text);
  }
}

void Take(CategoryText* into, std::size_t line, const std::string& entry) {
  ++into->entries;
  std::string domain;
  if (CleanCategoryDomain(entry, &domain)) {
    into->domains.push_back(std::move(domain));
  } else {
    Skip(into, line, entry);
  }
}

void ReadLine(const std::string& raw, std::size_t number, CategoryText* into) {
  const std::string line = Trimmed(raw);
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
  std::istringstream tokens(line.substr(0, line.find('#')));
  std::string first;
  tokens >> first;
  if (IsAddress(first)) {
    for (std::string name; tokens >> name;) Take(into, number, name);
    return;
  }
  std::string rest;
  if (tokens >> rest) {
    Skip(into, number, line);  // two words, neither an address: no format of ours
    return;
  }
  Take(into, number, first.compare(0, 2, "*.") == 0 ? first.substr(2) : first);
}

}  // namespace

void ReadCategoryText(const std::string& text, CategoryText* into) {
  std::size_t number = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    ReadLine(text.substr(start, end - start), ++number, into);
    start = end + 1;
  }
}

void FinishCategoryText(CategoryText* text) {
  const std::size_t before = text->domains.size();
  text->domains = WithoutCoveredDomains(std::move(text->domains));
  text->dropped = before - text->domains.size();
}

}  // namespace tarvel::ctl
