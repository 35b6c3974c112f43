#include "filter/phrase_matcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "filter/ascii.h"
#include "filter/phrases.h"
#include "tests/testing/phrase_inputs.h"
#include "tests/testing/phrases_plain.h"
#include "tests/testing/simd_levels.h"
#include "tests/testing/state_builder.h"

namespace tarvel {
namespace {

using testing::Rng;

std::string Lower(std::string s) {
  for (char& c : s) c = ToLowerAscii(c);
  return s;
}

// The prefilter may clear a buffer only if every phrase has a word that
// holds a key: then a buffer without keys holds no phrase.
void ExpectEveryPhraseHoldsAKey(const FilterState& state, const PhraseMatcher& matcher) {
  const std::vector<std::string> keys = matcher.prefilter().keys();
  for (int k = 0; k < std::min(state.phrase_count, kPhraseSlots); ++k) {
    const SlotWords split = SplitSlot(state.phrases[k]);
    bool held = false;
    for (int w = 0; w < split.count && !held; ++w) {
      const std::string word = Lower(std::string(split.word[w].text, split.word[w].length));
      for (const std::string& key : keys) held = held || word.find(key) != std::string::npos;
    }
    EXPECT_TRUE(held) << "slot " << k << " ["
                      << std::string(state.phrases[k], strnlen(state.phrases[k], 50)) << "]";
  }
}

TEST(PhraseMatcher, BuiltInTableGetsAutomatonAndPrefilter) {
  auto state = testing::NewStateWithPhrases();
  const auto matcher = PhraseMatcher::Build(state->phrases, state->phrase_count);
  ASSERT_TRUE(matcher->has_automaton());
  ASSERT_TRUE(matcher->has_prefilter());
  // One key per bucket: the vector scan's candidates are then exact
  // three-byte fingerprints, and few on ordinary pages.
  EXPECT_LE(matcher->prefilter().keys().size(), 8u);
  ExpectEveryPhraseHoldsAKey(*state, *matcher);
}

TEST(PhraseMatcher, RandomTablesKeysCoverEveryPhrase) {
  Rng rng(31);
  auto state = testing::NewState();
  int with_prefilter = 0;
  for (int t = 0; t < 200; ++t) {
    testing::TableShape shape;
    shape.slots = 1 + static_cast<int>(rng() % 30);
    shape.max_word_bytes = 1 + static_cast<int>(rng() % 8);
    testing::WriteRandomTable(rng, shape, *state);
    const auto matcher = PhraseMatcher::Build(state->phrases, state->phrase_count);
    if (!matcher->has_prefilter()) continue;
    ++with_prefilter;
    ExpectEveryPhraseHoldsAKey(*state, *matcher);
    if (HasFailure()) return;
  }
  EXPECT_GT(with_prefilter, 100);
}

// The prefilter's answer against a plain search for its keys, with keys
// placed at every position near both ends and across the vector blocks.
class KeySearch : public ::testing::TestWithParam<SimdLevel> {};

bool NaiveAnyKey(const std::vector<std::string>& keys, const std::string& bytes) {
  const std::string lower = Lower(bytes);
  for (const std::string& key : keys) {
    if (lower.find(key) != std::string::npos) return true;
  }
  return false;
}

TEST_P(KeySearch, AgreesWithPlainSearch) {
  if (GetParam() > SupportedSimdLevel()) GTEST_SKIP() << "this processor lacks the level";
  auto state = testing::NewState();
  std::strcpy(state->phrases[0], "ab Horny");
  std::strcpy(state->phrases[1], "x-rated");
  std::strcpy(state->phrases[2], "q");  // a key shorter than a fingerprint
  state->phrase_count = 3;
  const auto matcher = PhraseMatcher::Build(state->phrases, state->phrase_count);
  ASSERT_TRUE(matcher->has_prefilter());
  const std::vector<std::string> keys = matcher->prefilter().keys();
  Rng rng(8);
  for (std::size_t n : {0u, 1u, 2u, 3u, 15u, 16u, 17u, 63u, 64u, 65u, 66u, 130u, 200u}) {
    for (const std::string& key : keys) {
      for (std::size_t at = 0; at <= n; ++at) {
        std::string bytes(n, '.');
        for (char& c : bytes) c = "rn.yoH@`\r-"[rng() % 10];  // pieces of keys, no q
        std::string placed = key.substr(0, n - at);           // cut short at the end
        for (char& c : placed) {
          if (rng() % 2 == 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
        bytes.replace(at, placed.size(), placed);
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
        ASSERT_EQ(matcher->prefilter().AnyKey(p, n, GetParam()), NaiveAnyKey(keys, bytes))
            << "n " << n << " key " << key << " at " << at << ": " << bytes;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, KeySearch, testing::AllSimdLevels(), testing::SimdLevelName);

TEST(MatchPhrasesTables, FollowATableChangedInPlace) {
  auto state = testing::NewStateWithPhrases();
  const char text[] = "an orgy sex party";
  EXPECT_EQ(MatchPhrases(*state, text, sizeof text - 1), 1);
  std::strcpy(state->phrases[56], "orgy sax");  // the only phrase with "orgy"
  EXPECT_EQ(MatchPhrases(*state, text, sizeof text - 1), 0);
  std::strcpy(state->phrases[56], "orgy sex");
  EXPECT_EQ(MatchPhrases(*state, text, sizeof text - 1), 1);
  state->phrase_count = 56;  // slot 56 no longer in use
  EXPECT_EQ(MatchPhrases(*state, text, sizeof text - 1), 0);
}

TEST(MatchPhrasesTables, StayExactOverManyTables) {
  // More tables than one process keeps tables for: the later ones are
  // answered slot by slot, with the same answers.
  Rng rng(4);
  auto state = testing::NewState();
  for (int t = 0; t < 40; ++t) {
    testing::TableShape shape;
    shape.slots = 1 + static_cast<int>(rng() % 10);
    testing::WriteRandomTable(rng, shape, *state);
    for (int b = 0; b < 10; ++b) {
      const std::string bytes = testing::TableMix(rng, rng() % 300, *state);
      const auto length = static_cast<std::int32_t>(bytes.size());
      ASSERT_EQ(MatchPhrases(*state, bytes.data(), length),
                testing::MatchPhrasesPlain(*state, bytes.data(), length))
          << "table " << t;
    }
  }
}

TEST(MatchPhrasesTables, ThreadsRacingToBuildAgree) {
  // A table no other test uses: the threads' first calls all find no tables
  // and build and publish them at the same time.
  auto state = testing::NewState();
  std::strcpy(state->phrases[0], "racing threads");
  std::strcpy(state->phrases[1], "lone");
  state->phrase_count = 2;
  const std::string hit = "threads are RACING here.";
  const std::string also = "a lone racer.";
  const std::string miss = "racing only, one thread.";
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (MatchPhrases(*state, hit.data(), static_cast<std::int32_t>(hit.size())) != 1) ++wrong;
        if (MatchPhrases(*state, also.data(), static_cast<std::int32_t>(also.size())) != 1) ++wrong;
        if (MatchPhrases(*state, miss.data(), static_cast<std::int32_t>(miss.size())) != 0) ++wrong;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

// What the kernel reports about this processor, from /proc/cpuinfo.
bool CpuFlag(const std::string& flag) {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    std::istringstream words(line.substr(line.find(':') + 1));
    std::string word;
    while (words >> word) {
      if (word == flag) return true;
    }
    return false;
  }
  return false;
}

TEST(SupportedSimdLevel, AgreesWithTheKernel) {
#if defined(__x86_64__)
  const SimdLevel expected = CpuFlag("avx2")    ? SimdLevel::kAvx2
                             : CpuFlag("ssse3") ? SimdLevel::kSsse3
                                                : SimdLevel::kNone;
  EXPECT_EQ(SupportedSimdLevel(), expected);
#else
  GTEST_SKIP() << "x86-64 only";
#endif
}

}  // namespace
}  // namespace tarvel
