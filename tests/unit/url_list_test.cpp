#include "state/url_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "filter/url_match.h"
#include "tests/testing/state_builder.h"

namespace tarvel {
namespace {

constexpr ListKind kW = ListKind::kWhite;
constexpr ListKind kB = ListKind::kBlack;

std::string Slot(const FilterState& s, ListKind kind, int i) {
  const UrlList list = ListOf(s, kind);
  return std::string(list.entries[i], EntryLength(list.entries[i]));
}

TEST(AddUrl, TwiceTakesTwoSlotsDelClearsFirst) {
  auto s = testing::NewState();
  EXPECT_EQ(AddUrl(*s, kB, "example.org"), 1);
  EXPECT_EQ(AddUrl(*s, kB, "example.org"), 1);
  EXPECT_EQ(s->black_count, 2);
  EXPECT_EQ(DelUrl(*s, kB, "example.org"), 1);
  EXPECT_EQ(s->black_active[0], 0);
  EXPECT_EQ(Slot(*s, kB, 0), "");
  EXPECT_EQ(s->black_active[1], 1);
  EXPECT_EQ(s->black_count, 2);
  EXPECT_EQ(s->white_count, 0);
}

TEST(DelUrl, CaseCountsAndMissingIsSuccess) {
  auto s = testing::NewState();
  AddUrl(*s, kB, "example.org");
  EXPECT_EQ(DelUrl(*s, kB, "Example.org"), 1);
  EXPECT_EQ(s->black_active[0], 1);
  EXPECT_EQ(DelUrl(*s, kB, "example.or"), 1);
  EXPECT_EQ(s->black_active[0], 1);
}

TEST(AddUrl, AfterRemovalAppendsAtCount) {
  auto s = testing::NewState();
  AddUrl(*s, kW, "a");
  AddUrl(*s, kW, "b");
  DelUrl(*s, kW, "a");
  AddUrl(*s, kW, "c");
  EXPECT_EQ(s->white_count, 3);
  EXPECT_EQ(Slot(*s, kW, 0), "");
  EXPECT_EQ(s->white_active[0], 0);
  EXPECT_EQ(Slot(*s, kW, 2), "c");
}

TEST(DelUrl, EmptyTextClearsFirstEmptySlot) {
  auto s = testing::NewState();
  AddUrl(*s, kW, "a");
  AddUrl(*s, kW, "");
  EXPECT_EQ(s->white_active[1], 1);
  DelUrl(*s, kW, "");  // the active empty entry is the first empty slot
  EXPECT_EQ(s->white_active[1], 0);

  auto t = testing::NewState();
  AddUrl(*t, kW, "a");
  AddUrl(*t, kW, "");
  DelUrl(*t, kW, "a");
  DelUrl(*t, kW, "");  // finds the slot cleared before, every time
  DelUrl(*t, kW, "");
  EXPECT_EQ(t->white_active[1], 1);
}

TEST(AddUrl, LongTextKeepsFirst100) {
  auto s = testing::NewState();
  const std::string text(150, 'h');
  AddUrl(*s, kW, text.c_str());
  EXPECT_EQ(Slot(*s, kW, 0), std::string(100, 'h'));
  DelUrl(*s, kW, text.c_str());
  EXPECT_EQ(s->white_active[0], 1);
  DelUrl(*s, kW, std::string(100, 'h').c_str());
  EXPECT_EQ(s->white_active[0], 0);
}

TEST(AddUrl, ShortTextOverOldBytesIsPadded) {
  auto s = testing::NewState();
  std::memset(s->black_entries[0], 'x', kEntryBytes);
  AddUrl(*s, kB, "ab");
  for (int i = 2; i < kEntryBytes; ++i) EXPECT_EQ(s->black_entries[0][i], '\0') << i;
}

TEST(AddUrl, FullListWritesNothing) {
  auto s = testing::NewState();
  for (int i = 0; i < kListSlots; ++i) ASSERT_EQ(AddUrl(*s, kW, "w"), 1);
  // The slot after the white entries is the first black one.
  EXPECT_EQ(AddUrl(*s, kW, "overflow"), 0);
  EXPECT_EQ(s->white_count, kListSlots);
  EXPECT_EQ(Slot(*s, kB, 0), "");
  EXPECT_EQ(s->black_active[0], 0);
  s->black_count = 5000;
  EXPECT_EQ(AddUrl(*s, kB, "x"), 0);
  s->black_count = -1;
  EXPECT_EQ(AddUrl(*s, kB, "x"), 0);
}

TEST(AddUrl, NullTextRefused) {
  auto s = testing::NewState();
  EXPECT_EQ(AddUrl(*s, kB, nullptr), 0);
  EXPECT_EQ(DelUrl(*s, kB, nullptr), 0);
  EXPECT_EQ(s->black_count, 0);
}

TEST(SetFlag, StoresValueUnchanged) {
  auto s = testing::NewState();
  EXPECT_EQ(SetFlag(s->white_only, 2), 1);
  EXPECT_EQ(s->white_only, 2);
  EXPECT_FALSE(IsOn(s->white_only));
  SetFlag(s->smart_filter, 1);
  EXPECT_TRUE(IsOn(s->smart_filter));
}

// --- Editing while others edit and read -----------------------------------------

// Threads add distinct texts at once, more than the list holds: every
// addition that returned 1 sits whole in a slot of its own, and the others
// found the list full.
TEST(UrlListRace, AdditionsAtOnceEachTakeASlotWhole) {
  constexpr int kThreads = 4;
  constexpr int kEach = 600;
  constexpr int kRounds = 30;  // overlaps need the threads on cores at once
  for (int round = 0; round < kRounds; ++round) {
    auto s = testing::NewState();
    std::vector<std::vector<std::string>> taken(kThreads);
    std::vector<std::thread> threads;
    std::atomic<int> ready{0};
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&s, &taken, &ready, t] {
        ready.fetch_add(1);
        while (ready.load() < kThreads) {
        }
        for (int k = 0; k < kEach; ++k) {
          // Lengths differ, so that two texts written over each other show.
          const std::string text =
              std::string(1 + (k % 7) * 9, static_cast<char>('a' + t)) + "." + std::to_string(k);
          if (AddUrl(*s, kB, text.c_str()) == 1) taken[t].push_back(text);
        }
      });
    }
    for (auto& thread : threads) thread.join();
    std::multiset<std::string> expected;
    for (const auto& texts : taken) expected.insert(texts.begin(), texts.end());
    ASSERT_EQ(expected.size(), static_cast<std::size_t>(kListSlots)) << "round " << round;
    ASSERT_EQ(s->black_count, kListSlots);
    std::multiset<std::string> slots;
    for (int i = 0; i < kListSlots; ++i) {
      ASSERT_EQ(s->black_active[i], 1) << "slot " << i;
      slots.insert(Slot(*s, kB, i));
    }
    ASSERT_EQ(slots, expected) << "round " << round;
  }
}

// While entries come and go, a reader judging a host that holds none of
// them never matches: not a half-written text, and not a half-cleared one
// (an empty white entry would let every host through).
TEST(UrlListRace, ReaderNeverMatchesAPartlyWrittenEntry) {
  auto s = testing::NewState();
  std::atomic<bool> done{false};
  std::thread editor([&] {
    for (int k = 0; k < kListSlots; ++k) {
      const std::string text = "zq" + std::to_string(k) + ".example";
      AddUrl(*s, kW, text.c_str());
      DelUrl(*s, kW, text.c_str());
    }
    done = true;
  });
  Host host = {};
  std::memcpy(host.text, "judge.test", 11);
  host.length = 10;
  long matched = 0;
  while (!done) matched += MatchUrlList(ListOf(*s, kW), host);
  editor.join();
  EXPECT_EQ(matched, 0);
  EXPECT_EQ(s->white_count, kListSlots);
}

TEST(FilterState, InitialContent) {
  auto s = testing::NewState();
  EXPECT_EQ(s->attach_counter, 0);
  EXPECT_EQ(s->phrase_count, 0);
  EXPECT_EQ(s->white_count + s->black_count + s->white_only + s->smart_filter, 0);
  EXPECT_EQ(s->lists_ready, 1);
}

}  // namespace
}  // namespace tarvel
