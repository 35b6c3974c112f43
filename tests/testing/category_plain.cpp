#include "tests/testing/category_plain.h"

namespace tarvel::testing {

bool MatchCategoryPlain(const std::set<std::string>& domains, std::string host) {
  for (char& c : host) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  if (!host.empty() && host.back() == '.') host.pop_back();
  for (std::size_t at = 0; !host.empty();) {
    if (domains.count(host.substr(at)) == 1) return true;
    const std::size_t dot = host.find('.', at);
    if (dot == std::string::npos) return false;
    at = dot + 1;
  }
  return false;
}

}  // namespace tarvel::testing
