// An entry E matches a host when the pattern "*E*", folded, matches the
// folded host. With no '*' or '?' in E that is exactly "E occurs in the
// host", so such entries (nearly all) are found by a plain substring search;
// the others go through MatchWildcard on the pattern built on the stack.
// The host is folded once per call, and a slot whose first byte is a
// literal that the host does not hold is passed over after one byte.
#include "filter/url_match.h"

#include <cstring>

#include "filter/ascii.h"
#include "filter/wildcard.h"

namespace tarvel {
namespace {

struct FoldedHost {
  char text[kHostMax + 1];
  std::size_t length;
  bool holds[256];  // which bytes occur in text
};

void FoldHost(const Host& host, FoldedHost& folded) {
  std::memset(folded.holds, 0, sizeof folded.holds);
  std::size_t n = 0;
  while (n < host.length && n < kHostMax && host.text[n] != '\0') {
    const unsigned char c = ToLowerAscii(static_cast<unsigned char>(host.text[n]));
    folded.text[n++] = static_cast<char>(c);
    folded.holds[c] = true;
  }
  folded.text[n] = '\0';
  folded.length = n;
}

bool IsWildcard(char c) { return c == '*' || c == '?'; }

// The entry's text (lower-cased as it is read) occurs in the host.
bool OccursIn(const FoldedHost& host, const char* entry, std::size_t n) {
  if (n > host.length) return false;
  const char first = ToLowerAscii(entry[0]);
  for (std::size_t h = 0; h + n <= host.length; ++h) {
    if (host.text[h] != first) continue;
    std::size_t k = 1;
    while (k < n && host.text[h + k] == ToLowerAscii(entry[k])) ++k;
    if (k == n) return true;
  }
  return false;
}

bool MatchesWithWildcards(const FoldedHost& host, const char* entry, std::size_t n) {
  char pattern[kEntryBytes + 3];
  pattern[0] = '*';
  for (std::size_t k = 0; k < n; ++k) pattern[k + 1] = ToLowerAscii(entry[k]);
  pattern[n + 1] = '*';
  pattern[n + 2] = '\0';
  return MatchWildcard(pattern, host.text) == 1;
}

bool EntryMatches(const FoldedHost& host, const char (&entry)[kEntryBytes]) {
  std::size_t n = 0;
  bool wild = false;
  while (n < kEntryBytes && entry[n] != '\0') wild |= IsWildcard(entry[n++]);
  return wild ? MatchesWithWildcards(host, entry, n) : OccursIn(host, entry, n);
}

}  // namespace

int MatchUrlList(const UrlList& list, const Host& host) {
  FoldedHost folded;
  FoldHost(host, folded);
  for (int i = 0; i < kListSlots && i < LoadAcquire(*list.count); ++i) {
    if (Load(list.active[i]) != 1) continue;
    const char (&entry)[kEntryBytes] = list.entries[i];
    const unsigned char first = ToLowerAscii(static_cast<unsigned char>(entry[0]));
    if (first == '\0') {
      // "**" matches every host; the black list skips empty entries.
      if (list.kind == ListKind::kWhite) return 1;
      continue;
    }
    // A literal first byte must itself occur in the host.
    if (!IsWildcard(static_cast<char>(first)) && !folded.holds[first]) continue;
    if (EntryMatches(folded, entry)) return 1;
  }
  return 0;
}

}  // namespace tarvel
