#include "filter/category_match.h"

#include <algorithm>
#include <cstring>

namespace tarvel {
namespace {

char Fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The entry whose domain is `suffix` exactly, or -1.
std::int64_t Find(const CategoryView& v, const char* suffix, std::size_t length) {
  const std::uint64_t key = CategoryKey(suffix, length);
  const std::size_t bucket = static_cast<std::size_t>(key >> v.fanout_shift);
  std::uint32_t lo = bucket == 0 ? 0 : v.fanout[bucket - 1];
  std::uint32_t hi = v.fanout[bucket];
  while (lo < hi) {
    const std::uint32_t mid = lo + (hi - lo) / 2;
    if (v.keys[mid] < key) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  for (std::uint32_t i = lo; i < v.count && v.keys[i] == key; ++i) {
    const unsigned char* at = v.text + v.offsets[i];
    if (at[0] == length && std::equal(suffix, suffix + length, at + 1)) return i;
  }
  return -1;
}

bool IsIpv4(const std::string& d) {
  int dots = 0;
  for (char c : d) {
    if (c == '.') {
      ++dots;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  return dots == 3;
}

}  // namespace

std::int64_t MatchCategory(const CategoryView& view, const char* host, std::size_t length) {
  if (!view.valid() || host == nullptr) return -1;
  if (length > 0 && host[length - 1] == '.') --length;
  if (length == 0 || length > kCategoryDomainMax) return -1;
  char folded[kCategoryDomainMax];
  for (std::size_t i = 0; i < length; ++i) folded[i] = Fold(host[i]);
  // A domain holds a dot, so the last label alone is never looked up.
  for (std::size_t at = 0; at < length;) {
    const void* dot = std::memchr(folded + at, '.', length - at);
    if (dot == nullptr) break;
    const std::int64_t found = Find(view, folded + at, length - at);
    if (found >= 0) return found;
    at = static_cast<std::size_t>(static_cast<const char*>(dot) - folded) + 1;
  }
  return -1;
}

bool CleanCategoryDomain(const std::string& entry, std::string* domain) {
  std::string d;
  d.reserve(entry.size());
  for (char c : entry) d += Fold(c);
  if (!d.empty() && d.back() == '.') d.pop_back();
  if (d.compare(0, 4, "www.") == 0) d.erase(0, 4);
  if (d.empty() || d.size() > kCategoryDomainMax || d.find('.') == std::string::npos) return false;
  std::size_t label = 0;
  for (char c : d) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok || ++label > 63) return false;
  }
  if (label == 0 || IsIpv4(d)) return false;
  *domain = std::move(d);
  return true;
}

std::vector<std::string> WithoutCoveredDomains(std::vector<std::string> domains) {
  // In the order of the domains read from their end, each dot counted below
  // every other byte, a domain comes right before everything under it, and
  // a parent kept is the last domain kept before any name it covers: one
  // pass with no lookup and no copy finds the duplicates and covered ones.
  std::sort(domains.begin(), domains.end(), [](const std::string& a, const std::string& b) {
    std::size_t i = a.size();
    std::size_t j = b.size();
    while (i > 0 && j > 0) {
      const auto x = static_cast<unsigned char>(a[--i] == '.' ? '\x01' : a[i]);
      const auto y = static_cast<unsigned char>(b[--j] == '.' ? '\x01' : b[j]);
      if (x != y) return x < y;
    }
    return i == 0 && j > 0;
  });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < domains.size(); ++i) {
    if (kept > 0) {
      const std::string& last = domains[kept - 1];
      const std::string& d = domains[i];
      const bool under = d.size() > last.size() && d[d.size() - last.size() - 1] == '.' &&
                         d.compare(d.size() - last.size(), last.size(), last) == 0;
      if (d == last || under) continue;
    }
    if (kept != i) domains[kept] = std::move(domains[i]);
    ++kept;
  }
  domains.resize(kept);
  std::sort(domains.begin(), domains.end());
  return domains;
}

}  // namespace tarvel
