#include "filter/phrases.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/testing/state_builder.h"

namespace tarvel {
namespace {

struct PhraseRow {
  const char* name;
  std::string bytes;
  int match;
};

class MatchPhrasesTest : public ::testing::TestWithParam<PhraseRow> {};

TEST_P(MatchPhrasesTest, Answers) {
  auto state = testing::NewStateWithPhrases();
  const PhraseRow& row = GetParam();
  // An exact-size heap copy: reading past the end would be caught by ASan.
  auto copy = std::make_unique<char[]>(row.bytes.size() + 1);
  std::memcpy(copy.get(), row.bytes.data(), row.bytes.size());
  EXPECT_EQ(MatchPhrases(*state, copy.get(), static_cast<std::int32_t>(row.bytes.size())),
            row.match);
}

std::string Bytes(const char* s, std::size_t n) { return std::string(s, n); }

INSTANTIATE_TEST_SUITE_P(
    Rows, MatchPhrasesTest,
    ::testing::Values(
        PhraseRow{"WordAtLastByteNotFound", "groupsex", 0},
        PhraseRow{"OneMoreByteFinds", "groupsex.", 1}, PhraseRow{"MixedCase", "GrOuPsEx!", 1},
        PhraseRow{"TranssexualAlone", "transsexual", 0},
        PhraseRow{"TranssexualPlusOne", "transsexual ", 1},
        PhraseRow{"CapitalsEndingAtLastByte", "ORGY SEX", 0},
        PhraseRow{"CapitalsPlusOne", "ORGY SEX.", 1},
        PhraseRow{"ReverseOrderWithGaps", "porn and some chat about sex, ok", 1},
        PhraseRow{"WordsTogether", "sexchatporn!", 1},
        PhraseRow{"WordInsideLongerWord", "Middlesex orgy!", 1},
        PhraseRow{"MissingWord", "adult chat.", 0}, PhraseRow{"MissingSex", "porn nude.", 0},
        PhraseRow{"ZeroBytesAreOrdinary", Bytes("\0orgy\0sex\0", 10), 1},
        PhraseRow{"ZeroInsideWordBreaksIt", Bytes("orgy se\0x.", 10), 0},
        PhraseRow{"ControlBytesBetweenWords", "orgy\x13sex\x0d", 1},
        PhraseRow{"HyphenWord", "X-RATED porn sex!", 1},
        PhraseRow{"HyphenNotFolded", "x\x0drated porn sex!", 0},
        PhraseRow{"PlainHtml", "<html><body>Weather for Sussex county</body></html>", 0},
        PhraseRow{"OneByte", "x", 0}, PhraseRow{"Empty", "", 0}),
    [](const ::testing::TestParamInfo<PhraseRow>& info) { return std::string(info.param.name); });

TEST(MatchPhrases, NullBufferAndBadLengths) {
  auto state = testing::NewStateWithPhrases();
  const char text[] = "orgy sex and more";
  EXPECT_EQ(MatchPhrases(*state, nullptr, 100), 0);
  EXPECT_EQ(MatchPhrases(*state, text, 0), 0);
  EXPECT_EQ(MatchPhrases(*state, text, -5), 0);
  EXPECT_EQ(MatchPhrases(*state, text, 10), 1);
}

TEST(MatchPhrases, EmptyTableMatchesNothing) {
  auto state = testing::NewState();
  EXPECT_EQ(MatchPhrases(*state, "orgy sex and more", 17), 0);
}

TEST(MatchPhrases, SlotWithoutWordsMatchesAnything) {
  auto state = testing::NewState();
  state->phrase_count = 1;
  std::memcpy(state->phrases[0], " \t ", 3);
  EXPECT_EQ(MatchPhrases(*state, "ab", 2), 1);
}

TEST(MatchPhrases, AtMostFiveWordsCount) {
  auto state = testing::NewState();
  state->phrase_count = 1;
  std::strcpy(state->phrases[0], "a b c d e zzz");
  EXPECT_EQ(MatchPhrases(*state, "abcde.", 6), 1);
}

TEST(MatchPhrases, SlotWithoutNulIsBounded) {
  auto state = testing::NewState();
  state->phrase_count = 100;
  std::memset(state->phrases, 'q', sizeof state->phrases);
  const std::string fifty(50, 'q');
  EXPECT_EQ(MatchPhrases(*state, (fifty + ".").data(), 51), 1);
  EXPECT_EQ(MatchPhrases(*state, fifty.data(), 50), 0);
}

TEST(FillPhraseTable, FillsOnceOnFreshBlock) {
  auto state = testing::NewState();
  std::memset(state->phrases[95], 'x', kPhraseSlotBytes);  // untouched by the fill
  EXPECT_EQ(FillPhraseTable(*state), 1);
  EXPECT_EQ(state->phrase_count, 89);
  EXPECT_STREQ(state->phrases[0], "adult chat sex");
  EXPECT_STREQ(state->phrases[88], "fuck girl porn sex");
  EXPECT_EQ(state->phrases[89][0], '\0');
  EXPECT_EQ(state->phrases[95][0], 'x');
  const char* slot = state->phrases[88];
  for (std::size_t i = std::strlen(slot); i < kPhraseSlotBytes; ++i) EXPECT_EQ(slot[i], '\0');
}

TEST(FillPhraseTable, RefusesWhenBlockWasSetUp) {
  auto state = testing::NewState();
  state->attach_counter = 3;
  std::strcpy(state->phrases[0], "kept");
  EXPECT_EQ(FillPhraseTable(*state), 0);
  EXPECT_EQ(state->phrase_count, 0);
  EXPECT_STREQ(state->phrases[0], "kept");
}

TEST(BuiltInPhrases, ShapeOfTheTable) {
  int words_hist[6] = {};
  std::size_t longest = 0;
  for (const char* p : kBuiltInPhrases) {
    int words = 1;
    for (const char* c = p; *c; ++c) words += (*c == ' ');
    ++words_hist[words];
    longest = std::max(longest, std::strlen(p));
  }
  EXPECT_EQ(words_hist[1], 2);
  EXPECT_EQ(words_hist[2], 35);
  EXPECT_EQ(words_hist[3], 46);
  EXPECT_EQ(words_hist[4], 6);
  EXPECT_EQ(longest, 26u);
}

}  // namespace
}  // namespace tarvel
