// An entry E matches a host when the pattern "*E*", folded, matches the
// folded host. With no '*' or '?' in E that is exactly "E occurs in the
// host", so such entries (nearly all) are found by a plain substring search;
// the others go through MatchWildcard on the pattern built on the stack.
// The host is folded once per call, with a note of the bytes and the pairs
// of adjacent bytes it holds: an entry that begins with a literal byte, or
// two, that the host lacks cannot match and is passed over after reading
// those bytes, which is nearly every entry of a long list. Before that, the
// list's index (filter/url_list_index.h) passes over every slot whose first
// 4 bytes the host lacks without reading it; the scan of every slot is left
// for the calls the index cannot answer.
#include "filter/url_match.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "filter/ascii.h"
#include "filter/url_list_index.h"
#include "filter/wildcard.h"

namespace tarvel {
namespace {

// Bit sets over bytes and over (hashed) pairs of adjacent bytes; a pair's
// hash may collide, which only lets an entry through to the full check.
constexpr std::size_t kPairBits = 4096;

struct FoldedHost {
  char text[kHostMax + 1];
  std::size_t length;
  std::uint64_t bytes[256 / 64];
  std::uint64_t pairs[kPairBits / 64];
};

std::size_t PairHash(unsigned char a, unsigned char b) { return ((a << 4) ^ b) % kPairBits; }

bool Has(const std::uint64_t* set, std::size_t bit) {
  return (set[bit / 64] >> (bit % 64) & 1) != 0;
}
void Add(std::uint64_t* set, std::size_t bit) { set[bit / 64] |= std::uint64_t{1} << (bit % 64); }

void FoldHost(const Host& host, FoldedHost& folded) {
  std::memset(folded.bytes, 0, sizeof folded.bytes);
  std::memset(folded.pairs, 0, sizeof folded.pairs);
  std::size_t n = 0;
  while (n < host.length && n < kHostMax && host.text[n] != '\0') {
    const unsigned char c = ToLowerAscii(static_cast<unsigned char>(host.text[n]));
    folded.text[n] = static_cast<char>(c);
    Add(folded.bytes, c);
    if (n > 0) Add(folded.pairs, PairHash(static_cast<unsigned char>(folded.text[n - 1]), c));
    ++n;
  }
  folded.text[n] = '\0';
  folded.length = n;
}

bool IsWildcard(char c) { return c == '*' || c == '?'; }

// False when the entry's first literal byte, or its first two literal bytes
// side by side, do not occur in the host: "*E*" then cannot match.
bool MayMatch(const FoldedHost& host, const char (&entry)[kEntryBytes]) {
  const unsigned char a = ToLowerAscii(static_cast<unsigned char>(entry[0]));
  if (IsWildcard(static_cast<char>(a))) return true;
  if (!Has(host.bytes, a)) return false;
  const unsigned char b = ToLowerAscii(static_cast<unsigned char>(entry[1]));
  return b == '\0' || IsWildcard(static_cast<char>(b)) || Has(host.pairs, PairHash(a, b));
}

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

// A removal clears the flag before the text, so a slot whose flag still
// reads 1 after its text was read held that whole text: a match found in a
// text that a removal was clearing meanwhile is not taken. Only a match pays
// for the second read.
bool StillActive(const std::int32_t& flag) {
  std::atomic_thread_fence(std::memory_order_acquire);
  return Load(flag) == 1;
}

// The list's rule for one slot: flag exactly 1 (acquired: the text is
// whole), text matching, and the flag still 1 after the text was read.
bool SlotMatches(const UrlList& list, const FoldedHost& folded, int slot) {
  if (LoadAcquire(list.active[slot]) != 1) return false;
  const char(&entry)[kEntryBytes] = list.entries[slot];
  bool matched = false;
  if (entry[0] == '\0') {
    // "**" matches every host; the black list skips empty entries.
    matched = list.kind == ListKind::kWhite;
  } else {
    matched = MayMatch(folded, entry) && EntryMatches(folded, entry);
  }
  return matched && StillActive(list.active[slot]);
}

struct SlotQuery {
  const UrlList& list;
  const FoldedHost& folded;
};

bool SlotQueryMatches(const void* context, int slot) {
  const SlotQuery& query = *static_cast<const SlotQuery*>(context);
  return SlotMatches(query.list, query.folded, slot);
}

int ScanAll(const UrlList& list, const FoldedHost& folded) {
  for (int i = 0; i < kListSlots && i < LoadAcquire(*list.count); ++i) {
    if (SlotMatches(list, folded, i)) return 1;
  }
  return 0;
}

}  // namespace

int MatchUrlList(const UrlList& list, const Host& host) {
  FoldedHost folded;
  FoldHost(host, folded);
  const SlotQuery query{list, folded};
  switch (AskUrlListIndex(list, folded.text, folded.length, SlotQueryMatches, &query)) {
    case IndexAnswer::kMatch:
      return 1;
    case IndexAnswer::kNoMatch:
      return 0;
    case IndexAnswer::kAskTheList:
      break;
  }
  return ScanAll(list, folded);
}

}  // namespace tarvel
