#include "filter/url_match.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/testing/state_builder.h"

namespace tarvel {
namespace {

using testing::AddEntries;
using testing::NewState;

Host MakeHost(const std::string& text) {
  return ExtractHost(("Host: " + text).data(), text.size() + 6);
}

struct ListRow {
  const char* name;
  ListKind kind;
  std::string entry;
  std::string host;
  int match;
};

class MatchUrlListTest : public ::testing::TestWithParam<ListRow> {};

TEST_P(MatchUrlListTest, Answers) {
  const ListRow& row = GetParam();
  auto state = NewState();
  AddEntries(*state, row.kind, {row.entry});
  EXPECT_EQ(MatchUrlList(ListOf(*state, row.kind), MakeHost(row.host)), row.match);
}

constexpr ListKind kW = ListKind::kWhite;
constexpr ListKind kB = ListKind::kBlack;

INSTANTIATE_TEST_SUITE_P(
    Rows, MatchUrlListTest,
    ::testing::Values(ListRow{"Exact", kB, "example.org", "example.org", 1},
                      ListRow{"Subdomain", kB, "example.org", "www2.example.org", 1},
                      ListRow{"Inside", kB, "example.org", "example.org.example.net", 1},
                      ListRow{"SubstringUpper", kB, "AMPLE", "example.org", 1},
                      ListRow{"HostUpper", kB, "example.org", "EXAMPLE.ORG", 1},
                      ListRow{"Port", kB, "example.org", "example.org:8080", 1},
                      ListRow{"Different", kB, "example.org", "example.net", 0},
                      ListRow{"StarEntry", kB, "ex*le.org", "example.org", 1},
                      ListRow{"QuestionEntry", kB, "exa?ple", "example.org", 1},
                      ListRow{"QuestionNoChar", kB, "exa?ple", "exaple.org", 0},
                      ListRow{"Bracket", kB, "[x]", "a[x]b", 1},
                      ListRow{"BracketNoClass", kB, "[x]", "axb", 0},
                      ListRow{"EmptyBlackSkipped", kB, "", "example.org", 0},
                      ListRow{"EmptyWhiteMatchesAll", kW, "", "example.org", 1},
                      ListRow{"NonAsciiNotFolded", kB, "\xc4", "\xe4", 0},
                      ListRow{"AtEndOfLongestHost", kB, "aB", std::string(98, 'a') + "b", 1},
                      ListRow{"StarAtEndOfLongestHost", kB, "a*B", std::string(98, 'a') + "b", 1},
                      ListRow{"LongerThanHost", kB, std::string(100, 'a'), std::string(99, 'a'),
                              0}),
    [](const ::testing::TestParamInfo<ListRow>& info) { return std::string(info.param.name); });

TEST(MatchUrlList, OnlyFlagOneIsActive) {
  for (int flag : {0, 2, -1}) {
    auto state = NewState();
    AddEntries(*state, kB, {"example.org"});
    state->black_active[0] = flag;
    EXPECT_EQ(MatchUrlList(ListOf(*state, kB), MakeHost("example.org")), 0) << flag;
  }
}

TEST(MatchUrlList, SlotsBeyondCountAreNotRead) {
  auto state = NewState();
  std::strcpy(state->black_entries[0], "example.org");
  state->black_active[0] = 1;  // count stays 0
  EXPECT_EQ(MatchUrlList(ListOf(*state, kB), MakeHost("example.org")), 0);
}

TEST(MatchUrlList, CountBeyondListStopsAtLastSlot) {
  auto state = NewState();
  state->black_count = 5000;
  std::memset(state->black_entries[kListSlots - 1], 'z', kEntryBytes);  // 100 chars, no NUL
  state->black_active[kListSlots - 1] = 1;
  EXPECT_EQ(MatchUrlList(ListOf(*state, kB), MakeHost("a" + std::string(98, 'z'))), 0);
  EXPECT_EQ(MatchUrlList(ListOf(*state, kB), MakeHost(std::string(99, 'z'))), 0);
  state->black_entries[kListSlots - 1][50] = '\0';
  EXPECT_EQ(MatchUrlList(ListOf(*state, kB), MakeHost(std::string(60, 'z'))), 1);
}

TEST(MatchUrlList, NegativeCountMatchesNothing) {
  auto state = NewState();
  AddEntries(*state, kB, {"example.org"});
  state->black_count = -3;
  EXPECT_EQ(MatchUrlList(ListOf(*state, kB), MakeHost("example.org")), 0);
}

TEST(MatchUrlList, EmptyWhiteListMatchesNothing) {
  auto state = NewState();
  EXPECT_EQ(MatchUrlList(ListOf(*state, kW), MakeHost("example.org")), 0);
}

}  // namespace
}  // namespace tarvel
