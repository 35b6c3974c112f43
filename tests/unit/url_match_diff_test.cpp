// MatchUrlList against the pattern-per-slot reference on random lists.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "filter/url_list_index.h"
#include "filter/url_match.h"
#include "tests/testing/state_builder.h"
#include "tests/testing/url_match_plain.h"

namespace tarvel {
namespace {

using Rng = std::mt19937;

// Letters in both cases, the wildcards, brackets, the bytes beside the
// letter ranges ('@', '[', '`', '{') and two high bytes that differ in bit 5.
const std::string kBytes = "abcxyzABCXYZ.-:*?[]{}@`\xc1\xe1";

std::size_t Pick(Rng& rng, std::size_t n) { return rng() % n; }

std::string RandomText(Rng& rng, std::size_t max) {
  std::string s(Pick(rng, max + 1), 'a');
  for (char& c : s) c = kBytes[Pick(rng, kBytes.size())];
  return s;
}

// Often a piece of the host itself, in other letter case, sometimes with a
// wildcard put in: so that entries match about as often as not.
std::string RandomEntry(Rng& rng, const std::string& host) {
  if (host.empty() || Pick(rng, 3) == 0) return RandomText(rng, 8);
  const std::size_t start = Pick(rng, host.size());
  std::string e = host.substr(start, 1 + Pick(rng, host.size() - start));
  for (char& c : e) {
    if (std::isalpha(static_cast<unsigned char>(c)) && Pick(rng, 2) == 0) c ^= 0x20;
  }
  if (Pick(rng, 4) == 0) e[Pick(rng, e.size())] = "*?"[Pick(rng, 2)];
  if (Pick(rng, 6) == 0) e[Pick(rng, e.size())] ^= 0x20;  // '@' <-> '`', '[' <-> '{'
  return e;
}

Host MakeHost(const std::string& text) {
  Host host{};
  std::memcpy(host.text, text.data(), text.size());
  host.length = text.size();
  return host;
}

void FillList(Rng& rng, FilterState& state, ListKind kind, const std::string& host) {
  const MutableUrlList list = ListOf(state, kind);
  const int slots = static_cast<int>(Pick(rng, 40));
  for (int i = 0; i < slots; ++i) {
    std::memset(list.entries[i], 0, kEntryBytes);
    if (Pick(rng, 30) == 0) {
      std::memset(list.entries[i], "zZ?"[Pick(rng, 3)], kEntryBytes);  // 100 bytes, no NUL
    } else {
      const std::string e = Pick(rng, 15) == 0 ? "" : RandomEntry(rng, host);
      std::memcpy(list.entries[i], e.data(), e.size());
    }
    const int flags[] = {1, 1, 1, 1, 1, 1, 0, 2, -1};
    list.active[i] = flags[Pick(rng, std::size(flags))];
  }
  const int counts[] = {slots, slots, slots, slots / 2, 0, -1, kListSlots + 5};
  *list.count = counts[Pick(rng, std::size(counts))];
  // The slots were rewritten in place, as no addition or removal does.
  ForgetUrlListIndexes();
}

TEST(MatchUrlListAgrees, OnRandomListsAndHosts) {
  Rng rng(77);
  auto state = testing::NewState();
  int ones = 0;
  constexpr int kRuns = 4000;
  for (int run = 0; run < kRuns; ++run) {
    const ListKind kind = Pick(rng, 2) == 0 ? ListKind::kWhite : ListKind::kBlack;
    const std::string text = Pick(rng, 20) == 0 ? "" : RandomText(rng, kHostMax);
    FillList(rng, *state, kind, text);
    const Host host = MakeHost(text);
    const int plain = testing::MatchUrlListPlain(ListOf(*state, kind), host);
    ASSERT_EQ(MatchUrlList(ListOf(*state, kind), host), plain) << "host [" << text << "]";
    ones += plain;
  }
  EXPECT_GT(ones, kRuns / 5);
  EXPECT_LT(ones, kRuns * 4 / 5);
}

TEST(MatchUrlListAgrees, OnAFullListOfRealisticEntries) {
  Rng rng(3);
  auto state = testing::NewState();
  std::vector<std::string> entries;
  for (int i = 0; i < kListSlots; ++i) {
    entries.push_back("site" + std::to_string(rng() % 100000) + (i % 7 == 0 ? ".*.net" : ".com"));
  }
  const MutableUrlList list = ListOf(*state, ListKind::kBlack);
  for (int i = 0; i < kListSlots; ++i) {
    std::strncpy(list.entries[i], entries[i].c_str(), kEntryBytes);
    list.active[i] = 1;
  }
  *list.count = kListSlots;
  for (const std::string host :
       {"www.example.org", "SITE123.COM", "site5.foo.net", "site", "other.site77777.com.au", ""}) {
    EXPECT_EQ(MatchUrlList(ListOf(*state, ListKind::kBlack), MakeHost(host)),
              testing::MatchUrlListPlain(ListOf(*state, ListKind::kBlack), MakeHost(host)))
        << host;
  }
}

}  // namespace
}  // namespace tarvel
