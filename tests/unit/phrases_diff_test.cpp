// MatchPhrases against the plain phrase-by-phrase search, on every vector
// level this processor has and on the automaton alone.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "filter/phrase_matcher.h"
#include "filter/phrases.h"
#include "tests/testing/guarded_buffer.h"
#include "tests/testing/phrase_inputs.h"
#include "tests/testing/phrases_plain.h"
#include "tests/testing/simd_levels.h"
#include "tests/testing/state_builder.h"

namespace tarvel {
namespace {

using testing::GuardedBuffer;
using testing::MatchPhrasesPlain;
using testing::Rng;

std::string Printable(const unsigned char* p, std::int32_t length) {
  std::string out;
  for (std::int32_t i = 0; i < length && i < 300; ++i) {
    const unsigned char c = p[i];
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

std::string SlotsOf(const FilterState& state) {
  std::string out = "count " + std::to_string(state.phrase_count) + ":";
  for (int k = 0; k < std::min(state.phrase_count, kPhraseSlots); ++k) {
    out += " [" +
           Printable(reinterpret_cast<const unsigned char*>(state.phrases[k]),
                     static_cast<std::int32_t>(strnlen(state.phrases[k], kPhraseSlotBytes))) +
           "]";
  }
  return out;
}

class PhrasesAgree : public ::testing::TestWithParam<SimdLevel> {
 protected:
  void SetUp() override {
    if (GetParam() > SupportedSimdLevel()) GTEST_SKIP() << "this processor lacks the level";
    previous_cap_ = CapPhraseScanLevel(GetParam());
  }
  void TearDown() override { CapPhraseScanLevel(previous_cap_); }

  // Both answers on the same bytes, which end exactly where the heap copy
  // (or the readable page) ends, and the same first phrase; returns the
  // plain answer.
  int Agree(const FilterState& state, const PhraseMatcher& matcher, const unsigned char* p,
            std::int32_t length) {
    const int plain = MatchPhrasesPlain(state, p, length);
    EXPECT_EQ(matcher.Match(p, length, GetParam()), plain)
        << "length " << length << ": " << Printable(p, length) << "\n"
        << SlotsOf(state);
    const std::int32_t first = testing::FirstPhrasePlain(state, p, length);
    EXPECT_EQ(matcher.FirstFound(p, length), first)
        << "length " << length << ": " << Printable(p, length) << "\n"
        << SlotsOf(state);
    EXPECT_EQ(FirstPhraseFound(state, p, length), first);
    return plain;
  }

  int AgreeOnCopy(const FilterState& state, const PhraseMatcher& matcher,
                  const std::string& bytes) {
    auto copy = std::make_unique<unsigned char[]>(bytes.size() + (bytes.empty() ? 1 : 0));
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    return Agree(state, matcher, copy.get(), static_cast<std::int32_t>(bytes.size()));
  }

  SimdLevel previous_cap_ = SimdLevel::kAvx2;
};

std::size_t RandomLength(Rng& rng) {
  switch (rng() % 8) {
    case 0:
      return rng() % 64;
    case 1:
      return 64 + rng() % 200;
    case 7:
      return rng() % 20 == 0 ? 60000 + rng() % 10000 : 2000 + rng() % 4000;
    default:
      return rng() % 1500;
  }
}

TEST_P(PhrasesAgree, BuiltInTableOnWordMixes) {
  auto state = testing::NewStateWithPhrases();
  const auto matcher = PhraseMatcher::Build(state->phrases, state->phrase_count);
  const auto words = testing::TableWords(*state);
  Rng rng(1234);
  int ones = 0;
  constexpr int kRuns = 1500;
  for (int run = 0; run < kRuns; ++run) {
    ones += AgreeOnCopy(*state, *matcher, testing::WordMix(rng, RandomLength(rng), words));
    if (HasFailure()) return;
  }
  // Both answers must be common, or the mixes prove little.
  EXPECT_GT(ones, kRuns / 5);
  EXPECT_LT(ones, kRuns * 4 / 5);
}

TEST_P(PhrasesAgree, ThroughMatchPhrasesOnWordMixes) {
  auto state = testing::NewStateWithPhrases();
  const auto words = testing::TableWords(*state);
  Rng rng(99);
  for (int run = 0; run < 300; ++run) {
    const std::string bytes = testing::WordMix(rng, RandomLength(rng), words);
    auto copy = std::make_unique<char[]>(bytes.size() + 1);
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    const auto length = static_cast<std::int32_t>(bytes.size());
    ASSERT_EQ(MatchPhrases(*state, copy.get(), length),
              MatchPhrasesPlain(*state, copy.get(), length))
        << Printable(reinterpret_cast<const unsigned char*>(copy.get()), length);
  }
}

TEST_P(PhrasesAgree, BuffersEndingAtAnUnreadablePage) {
  auto state = testing::NewStateWithPhrases();
  const auto matcher = PhraseMatcher::Build(state->phrases, state->phrase_count);
  const auto words = testing::TableWords(*state);
  GuardedBuffer guarded(70000);
  Rng rng(7);
  for (std::size_t length = 0; length < 400; ++length) {
    Agree(*state, *matcher, guarded.Place(testing::WordMix(rng, length, words)),
          static_cast<std::int32_t>(length));
  }
  for (std::size_t length : {4095u, 4096u, 4097u, 65535u, 65536u, 65537u}) {
    Agree(*state, *matcher, guarded.Place(testing::WordMix(rng, length, words)),
          static_cast<std::int32_t>(length));
  }
}

// The longest built-in word at every start position, its partner word out of
// the way: every way a word can lie across the places where a long buffer is
// cut into parts read side by side, and across vector blocks.
TEST_P(PhrasesAgree, LongWordAtEveryPosition) {
  auto state = testing::NewStateWithPhrases();
  const auto matcher = PhraseMatcher::Build(state->phrases, state->phrase_count);
  const std::string word = "Masturbation";
  for (std::size_t n : {300u, 1031u}) {
    for (std::size_t s = 0; s + word.size() <= n; ++s) {
      std::string bytes(n, '.');
      bytes.replace(s, word.size(), word);
      bytes.replace(s >= 4 ? 0 : n - 4, 3, "sEx");
      ASSERT_EQ(AgreeOnCopy(*state, *matcher, bytes), s + word.size() < n ? 1 : 0) << s;
    }
  }
}

struct EdgeRow {
  const char* name;
  const char* table;  // one slot; null: the built-in table
  std::string bytes;
  std::int32_t length;  // may differ from the bytes held
};

TEST_P(PhrasesAgree, EdgeLengthsAndBytes) {
  const EdgeRow rows[] = {
      {"NegativeLength", nullptr, "orgy sex and more", -1},
      {"MostNegativeLength", nullptr, "orgy sex and more", INT_MIN},
      {"ZeroLength", nullptr, "orgy sex", 0},
      {"OneByte", nullptr, "s", 1},
      {"WordEndsAtLastByte", nullptr, "orgy sex", 8},
      {"WordEndsOneBefore", nullptr, "orgy sex!", 9},
      {"LengthShorterThanText", nullptr, "orgy sex!", 8},
      {"HyphenFlippedInBit5", nullptr, "x\rrated porn sex!", 17},
      {"NulsBetween", nullptr, std::string("\0orgy\0sex\0", 10), 10},
      {"WordlessSlotNegativeLength", " \t ", "ab", -7},
      {"WordlessSlotOneByte", "", "a", 1},
      {"AtSignIsNotBacktick", "a@b", "a`b!", 4},
      {"AtSignFound", "a@b", "A@B!", 4},
      {"BracketIsNotBrace", "x[y", "x{y!", 4},
      {"HighBytesNotFolded", "\xc1z", "\xe1z!", 3},
      {"HighBytesExact", "\xc1z", "\xc1Z!", 3},
      {"WordOfFiftyBytes", "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz",
       std::string(50, 'Z') + ".", 51},
  };
  for (const EdgeRow& row : rows) {
    SCOPED_TRACE(row.name);
    auto state = row.table == nullptr ? testing::NewStateWithPhrases() : testing::NewState();
    if (row.table != nullptr) {
      std::memcpy(state->phrases[0], row.table, strnlen(row.table, kPhraseSlotBytes));
      state->phrase_count = 1;
    }
    const auto matcher = PhraseMatcher::Build(state->phrases, state->phrase_count);
    Agree(*state, *matcher, reinterpret_cast<const unsigned char*>(row.bytes.data()), row.length);
  }
}

TEST_P(PhrasesAgree, RandomTables) {
  Rng rng(2024);
  auto state = testing::NewState();
  int ones = 0, runs = 0;
  for (int table = 0; table < 150; ++table) {
    testing::TableShape shape;
    shape.slots = rng() % 10 == 0 ? kPhraseSlots : 1 + static_cast<int>(rng() % 40);
    shape.max_word_bytes = 2 + static_cast<int>(rng() % 5);
    shape.alphabet = 3 + static_cast<int>(rng() % 8);
    shape.odd_bytes = rng() % 3 != 0;
    shape.wordless_slot = rng() % 25 == 0;
    testing::WriteRandomTable(rng, shape, *state);
    const auto matcher = PhraseMatcher::Build(state->phrases, state->phrase_count);
    for (int b = 0; b < 12; ++b, ++runs) {
      ones +=
          AgreeOnCopy(*state, *matcher, testing::TableMix(rng, RandomLength(rng) % 1000, *state));
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(ones, runs / 10);
  EXPECT_LT(ones, runs * 9 / 10);
}

TEST_P(PhrasesAgree, TablesTooLargeForTheAutomaton) {
  Rng rng(5);
  auto state = testing::NewState();
  testing::TableShape shape;
  shape.slots = 100;
  shape.max_word_bytes = 12;
  shape.alphabet = 26;
  testing::WriteRandomTable(rng, shape, *state);
  const auto matcher = PhraseMatcher::Build(state->phrases, state->phrase_count);
  ASSERT_FALSE(matcher->has_automaton());
  for (int b = 0; b < 100; ++b)
    AgreeOnCopy(*state, *matcher, testing::TableMix(rng, rng() % 2000, *state));
}

TEST_P(PhrasesAgree, TablesNeedingTooManyKeys) {
  // Ninety one-word phrases with nothing in common: no small set of keys.
  auto state = testing::NewState();
  Rng rng(11);
  for (int k = 0; k < 90; ++k) {
    state->phrases[k][0] = static_cast<char>('a' + k % 26);
    state->phrases[k][1] = static_cast<char>('a' + k / 26);
    state->phrases[k][2] = static_cast<char>('A' + rng() % 26);
  }
  state->phrase_count = 90;
  const auto matcher = PhraseMatcher::Build(state->phrases, state->phrase_count);
  ASSERT_TRUE(matcher->has_automaton());
  ASSERT_FALSE(matcher->has_prefilter());
  for (int b = 0; b < 200; ++b)
    AgreeOnCopy(*state, *matcher, testing::TableMix(rng, rng() % 600, *state));
}

INSTANTIATE_TEST_SUITE_P(Levels, PhrasesAgree, testing::AllSimdLevels(), testing::SimdLevelName);

}  // namespace
}  // namespace tarvel
