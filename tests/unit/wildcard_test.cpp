#include "filter/wildcard.h"

#include <gtest/gtest.h>

namespace tarvel {
namespace {

struct WildRow {
  const char* name;
  const char* pattern;
  const char* text;
  int match;
};

class MatchWildcardTest : public ::testing::TestWithParam<WildRow> {};

TEST_P(MatchWildcardTest, Answers) {
  const WildRow& row = GetParam();
  EXPECT_EQ(MatchWildcard(row.pattern, row.text), row.match) << row.pattern << " vs " << row.text;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MatchWildcardTest,
    ::testing::Values(
        WildRow{"StarMatchesEmpty", "*", "", 1}, WildRow{"QuestionNeedsOne", "?", "", 0},
        WildRow{"EmptyMatchesEmpty", "", "", 1}, WildRow{"EmptyPatternNotText", "", "a", 0},
        WildRow{"PrefixIsNotWhole", "abd", "abde", 0},
        WildRow{"LongerPatternFails", "abd", "ab", 0}, WildRow{"StarAbStar", "*ab*", "aab", 1},
        WildRow{"ManyStars", "*a*b*d*", "xaybzd", 1},
        WildRow{"StarInsideEntry", "*ex*le.org*", "example.org", 1},
        WildRow{"QuestionInsideEntry", "*exa?ple*", "example.org", 1},
        WildRow{"QuestionIsExactlyOne", "*exa?ple*", "exaple.org", 0},
        WildRow{"BracketIsLiteral", "*[a]*", "x[a]y", 1},
        WildRow{"BracketIsNotAClass", "*[a]*", "xay", 0}, WildRow{"CaseCounts", "*A*", "a", 0},
        WildRow{"TrailingStarsSkipped", "ab**", "ab", 1}, WildRow{"TextStarIsPlain", "a", "*", 0},
        WildRow{"BacktrackToLatestStar", "*ab*cd", "abxabcdcd", 1},
        WildRow{"SuffixMustEnd", "*.org", "a.org.net", 0}),
    [](const ::testing::TestParamInfo<WildRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvel
