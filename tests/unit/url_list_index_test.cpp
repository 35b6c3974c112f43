// MatchUrlList with its per-process index: lists that change only by
// additions and removals, between calls and during them.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "filter/url_list_index.h"
#include "filter/url_match.h"
#include "state/url_list.h"
#include "tests/testing/state_builder.h"
#include "tests/testing/url_match_plain.h"

namespace tarvel {
namespace {

using Rng = std::mt19937;

Host MakeHost(const std::string& text) {
  Host host{};
  std::memcpy(host.text, text.data(), text.size());
  host.length = text.size();
  return host;
}

// Short texts, wildcards at every place of the first five, the empty text,
// and pieces of the hosts below in other letter case.
std::string AdversarialEntry(Rng& rng) {
  static const char* const kPieces[] = {"",        "a",       "ab",   "abc", "exam",
                                        "EXAMPLE", "ample.o", "news", "org", "le.org",
                                        "Xyz.",    "q.co",    "zzzz"};
  std::string e = kPieces[rng() % std::size(kPieces)];
  if (!e.empty() && rng() % 3 == 0) e[rng() % std::min<std::size_t>(e.size(), 5)] = "*?"[rng() % 2];
  return e;
}

std::string RandomHost(Rng& rng) {
  static const char* const kHosts[] = {"example.org", "NEWS.example.ORG", "xyz.q.com", "ab",
                                       "a",           "zzzzzz",           "",          "abc.news"};
  return kHosts[rng() % std::size(kHosts)];
}

// Several blocks, each edited only through AddUrl and DelUrl, matched in
// turn: the index follows additions, removals and changes of block.
TEST(UrlListIndexAgrees, WhileListsGrowAndShrinkBetweenCalls) {
  Rng rng(11);
  std::vector<std::unique_ptr<FilterState>> blocks;
  for (int b = 0; b < 3; ++b) blocks.push_back(testing::NewState());
  std::vector<std::string> added;
  for (int step = 0; step < 3000; ++step) {
    FilterState& block = *blocks[rng() % blocks.size()];
    const ListKind kind = rng() % 2 ? ListKind::kWhite : ListKind::kBlack;
    if (rng() % 3 == 0 && !added.empty()) {
      DelUrl(block, kind, added[rng() % added.size()].c_str());
    } else {
      added.push_back(AdversarialEntry(rng));
      AddUrl(block, kind, added.back().c_str());
    }
    const Host host = MakeHost(RandomHost(rng));
    ASSERT_EQ(MatchUrlList(ListOf(block, kind), host),
              testing::MatchUrlListPlain(ListOf(block, kind), host))
        << "step " << step << " host [" << host.text << "]";
  }
}

// The point of the index: on a full list that the host shares no 4-byte
// piece with, no entry's text is read. The entries are made unreadable
// after a first call; a scan of the list would fault.
TEST(UrlListIndex, NonMatchingHostReadsNoEntryText) {
  const std::size_t page = 4096;
  const std::size_t size = (sizeof(FilterState) + page - 1) / page * page;
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  FilterState* block = new (memory) FilterState{};
  ForgetUrlListIndexes();  // the block may stand where an earlier one stood
  for (int i = 0; i < kListSlots; ++i) {
    AddUrl(*block, ListKind::kBlack, ("zq" + std::to_string(i) + ".casino.test").c_str());
  }
  const UrlList list = ListOf(*block, ListKind::kBlack);
  const Host host = MakeHost("news.example.org");
  ASSERT_EQ(MatchUrlList(list, host), 0);

  auto* first = reinterpret_cast<char*>(block->black_entries);
  auto* from =
      reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(first) + page - 1) / page * page);
  auto* to = reinterpret_cast<char*>(
      reinterpret_cast<std::uintptr_t>(first + sizeof block->black_entries) / page * page);
  ASSERT_EQ(mprotect(from, to - from, PROT_NONE), 0);
  EXPECT_EQ(MatchUrlList(list, host), 0);
  ASSERT_EQ(mprotect(from, to - from, PROT_READ | PROT_WRITE), 0);
  EXPECT_EQ(MatchUrlList(list, MakeHost("ZQ1999.casino.test")), 1);
  munmap(memory, size);
}

// An editor adds and removes entries while readers match. A steady entry
// always matches, a host no entry holds never does, and an entry added for
// good matches on every call made after its addition returned.
TEST(UrlListIndexRace, ReadersSeeSteadyEntriesThroughEdits) {
  auto s = testing::NewState();
  AddUrl(*s, ListKind::kBlack, "steady.org");
  std::atomic<int> published{0};
  std::atomic<bool> done{false};
  std::thread editor([&] {
    for (int k = 0; k < 600; ++k) {
      const std::string passing = "zq" + std::to_string(k) + ".example";
      AddUrl(*s, ListKind::kBlack, passing.c_str());
      AddUrl(*s, ListKind::kBlack, k % 2 ? "y?" : "");
      DelUrl(*s, ListKind::kBlack, passing.c_str());
      AddUrl(*s, ListKind::kBlack, ("kept" + std::to_string(k) + ".net").c_str());
      published.store(k + 1, std::memory_order_release);
    }
    done = true;
  });
  std::atomic<long> wrong{0};
  auto reader = [&] {
    const UrlList list = ListOf(*s, ListKind::kBlack);
    while (!done) {
      const int seen = published.load(std::memory_order_acquire);
      if (MatchUrlList(list, MakeHost("www.steady.org")) != 1) ++wrong;
      if (MatchUrlList(list, MakeHost("judge.test")) != 0) ++wrong;
      if (seen > 0 &&
          MatchUrlList(list, MakeHost("KEPT" + std::to_string(seen - 1) + ".NET")) != 1) {
        ++wrong;
      }
    }
  };
  std::thread r1(reader), r2(reader);
  editor.join();
  r1.join();
  r2.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(MatchUrlList(ListOf(*s, ListKind::kBlack), MakeHost("zq5.example")), 0);
}

}  // namespace
}  // namespace tarvel
