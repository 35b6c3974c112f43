#include "tools/tarvelctl/patterns.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "filter/ascii.h"

namespace tarvel::ctl {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsHexOrColon(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

bool IsIpv4(std::string_view s) {
  int groups = 0;
  std::size_t i = 0;
  while (i <= s.size()) {
    std::size_t j = i;
    int value = 0;
    while (j < s.size() && IsDigit(s[j]) && j - i < 3) value = value * 10 + (s[j++] - '0');
    if (j == i || value > 255) return false;
    ++groups;
    if (j == s.size()) return groups == 4;
    if (s[j] != '.') return false;
    i = j + 1;
  }
  return false;
}

bool IsIpv6(std::string_view s) {
  return std::count(s.begin(), s.end(), ':') >= 2 && std::all_of(s.begin(), s.end(), IsHexOrColon);
}

bool IsAddress(std::string_view s) { return IsIpv4(s) || IsIpv6(s); }

// Names that hosts files map to the local machine or to the null address.
bool IsLocalName(std::string_view name) {
  static constexpr std::array<std::string_view, 12> kNames = {
      "localhost",     "localhost.localdomain", "local",        "broadcasthost",
      "ip6-localhost", "ip6-loopback",          "ip6-localnet", "ip6-mcastprefix",
      "ip6-allnodes",  "ip6-allrouters",        "ip6-allhosts", "0.0.0.0"};
  std::string lower(name);
  for (char& c : lower) c = ToLowerAscii(c);
  return std::find(kNames.begin(), kNames.end(), lower) != kNames.end();
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsSpaceAscii(static_cast<unsigned char>(line[i]))) ++i;
    std::size_t j = i;
    while (j < line.size() && !IsSpaceAscii(static_cast<unsigned char>(line[j]))) ++j;
    if (j > i) words.push_back(line.substr(i, j - i));
    i = j;
  }
  return words;
}

}  // namespace

std::string PatternProblem(std::string_view pattern) {
  if (pattern.empty()) {
    return "empty pattern (as a whitelist entry it would let every host through)";
  }
  if (pattern.size() > kMaxPatternLength) {
    return "pattern of " + std::to_string(pattern.size()) +
           " characters; a list entry holds at most " + std::to_string(kMaxPatternLength);
  }
  for (char c : pattern) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F) {
      return "pattern holds a blank, control or non-ASCII character, which no host name holds";
    }
  }
  return "";
}

std::string ReadPatternText(std::string_view text, PatternText* out) {
  if (out == nullptr) return "no output";
  *out = PatternText{};
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::unordered_set<std::string> seen;
  std::size_t line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    line = line.substr(0, line.find('#'));
    std::vector<std::string_view> words = Words(line);
    if (words.empty()) continue;
    const bool hosts_line = words.size() > 1 && IsAddress(words[0]);
    if (words.size() > 1 && !hosts_line) {
      return "line " + std::to_string(line_number) +
             ": more than one word; give one host pattern per line, or a hosts-file line "
             "(an address, then host names)";
    }
    if (hosts_line) words.erase(words.begin());
    for (std::string_view word : words) {
      if (hosts_line && IsLocalName(word)) {
        ++out->local_names;
        continue;
      }
      const std::string problem = PatternProblem(word);
      if (!problem.empty()) return "line " + std::to_string(line_number) + ": " + problem;
      if (!seen.emplace(word).second) {
        ++out->duplicates;
        continue;
      }
      out->patterns.emplace_back(word);
    }
  }
  return "";
}

}  // namespace tarvel::ctl
