// Neither MatchPhrases (once its tables exist), MatchUrlList, the per-socket
// table of port-test answers nor a verdict allocates; a passing verdict
// leaves the record of blocks as it was.
// This test binary replaces the global operator new and, through the
// linker's --wrap, malloc, calloc and realloc, and counts every call.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "filter/phrases.h"
#include "filter/socket_facts.h"
#include "filter/url_match.h"
#include "filter/verdict.h"
#include "state/block_log.h"
#include "state/category_set.h"
#include "tests/testing/client_hello.h"
#include "tests/testing/phrase_inputs.h"
#include "tests/testing/state_builder.h"

namespace {

std::atomic<long> g_allocations{0};

void* Counted(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}

void* CountedAligned(std::size_t n, std::align_val_t align) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  const auto a = static_cast<std::size_t>(align);
  if (void* p = std::aligned_alloc(a, (n + a - 1) / a * a)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) { return Counted(n); }
void* operator new[](std::size_t n) { return Counted(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return Counted(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return Counted(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t n, std::align_val_t a) { return CountedAligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return CountedAligned(n, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

extern "C" {
void* __real_malloc(std::size_t n);
void* __real_calloc(std::size_t n, std::size_t size);
void* __real_realloc(void* p, std::size_t n);
void* __wrap_malloc(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __real_malloc(n);
}
void* __wrap_calloc(std::size_t n, std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __real_calloc(n, size);
}
void* __wrap_realloc(void* p, std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return __real_realloc(p, n);
}
}

namespace tarvel {
namespace {

long Allocations() { return g_allocations.load(std::memory_order_relaxed); }

TEST(NoAllocation, CountingSeesTheFirstCallBuildTables) {
  auto state = testing::NewState();
  std::strcpy(state->phrases[0], "counted table words");
  state->phrase_count = 1;
  const long before = Allocations();
  MatchPhrases(*state, "some words.", 11);
  EXPECT_GT(Allocations(), before);
}

TEST(NoAllocation, MatchPhrasesOnEveryLevel) {
  auto state = testing::NewStateWithPhrases();
  const std::string page = testing::OrdinaryPage(65536, 1);
  std::string with_key = page;
  with_key.replace(30000, 8, " Sussex ");
  std::string with_phrase = page;
  with_phrase.replace(65000, 10, " orgy sex ");
  MatchPhrases(*state, page.data(), 10);  // builds the tables
  for (SimdLevel level : {SimdLevel::kNone, SimdLevel::kSsse3, SimdLevel::kAvx2}) {
    const SimdLevel previous = CapPhraseScanLevel(level);
    const long before = Allocations();
    int answers = 0;
    for (const std::string* text : {&page, static_cast<const std::string*>(&with_key),
                                    static_cast<const std::string*>(&with_phrase)}) {
      for (std::int32_t length : {65536, 1460, 512, 2, 1, 0, -4}) {
        answers += MatchPhrases(*state, text->data(), length);
      }
    }
    const long after = Allocations();
    CapPhraseScanLevel(previous);
    EXPECT_EQ(after, before) << "level " << static_cast<int>(level);
    EXPECT_EQ(answers, 1);
  }
}

TEST(NoAllocation, MatchUrlList) {
  auto state = testing::NewState();
  for (int i = 0; i < kListSlots; ++i) {
    const std::string entry = "blocked" + std::to_string(i) + (i % 10 == 0 ? ".*.net" : ".com");
    std::strncpy(state->black_entries[i], entry.c_str(), kEntryBytes);
    state->black_active[i] = 1;
    std::strncpy(state->white_entries[i], entry.c_str(), kEntryBytes);
    state->white_active[i] = 1;
  }
  state->black_count = state->white_count = kListSlots;
  Host host{};
  std::strcpy(host.text, "www.Example.org:8080");
  host.length = std::strlen(host.text);
  const long before = Allocations();
  const int black = MatchUrlList(ListOf(*state, ListKind::kBlack), host);
  const int white = MatchUrlList(ListOf(*state, ListKind::kWhite), host);
  EXPECT_EQ(Allocations(), before);
  EXPECT_EQ(black + white, 0);
}

// Made, asked (system, then kept), connected again, closed, all closed.
TEST(NoAllocation, SocketFacts) {
  static SocketFacts facts;  // static, as the module's own table is
  auto read = [](std::uint64_t s) { return PortReading{true, s % 8 == 0 ? 1 : 0}; };
  const long before = Allocations();
  int answers = 0;
  for (std::uint64_t s = 4; s <= 4 * 40000; s += 4) {
    facts.Made(s);
    answers += IsHttpSocketKept(facts, s, read);
    answers += IsHttpSocketKept(facts, s, read);
    facts.Reconnected(s);
    if (s % 3 == 0) facts.Forget(s);
  }
  facts.ForgetAll();
  EXPECT_EQ(Allocations(), before);
  EXPECT_EQ(answers, 40000);
}

// A call site that allocates nothing: its record goes to a real ring.
class RingSite final : public CallSite {
 public:
  explicit RingSite(BlockLog& log) : log_(log) {}
  int exempt = 0;
  int http = 1;
  int quic = 0;
  int IsExemptProcess() override { return exempt; }
  int IsHttpSocket() override { return http; }
  int IsQuicSocket() override { return quic; }
  int LowerCall() override { return 5; }
  void LowerCutConnection() override {}
  void RecordBlock(const BlockFacts& facts) override { AppendBlock(log_, EntryOf(facts)); }
  void FailWithFault() override {}
  void FailRefused() override {}

 private:
  BlockLog& log_;
};

TEST(NoAllocation, VerdictsAndTheRecord) {
  auto state = testing::NewStateWithPhrases();
  state->lists_ready = 1;
  state->smart_filter = 1;
  testing::AddEntries(*state, ListKind::kBlack, {"blocked.example"});
  auto log = std::make_unique<BlockLog>();
  std::memset(log.get(), 0, sizeof *log);
  auto before = std::make_unique<BlockLog>(*log);
  std::string allowed =
      "GET / HTTP/1.1\r\nHost: www.allowed.example\r\n\r\n" + testing::OrdinaryPage(1400, 3);
  std::string blocked = "GET / HTTP/1.1\r\nHost: blocked.example\r\n\r\n";
  std::string page = testing::OrdinaryPage(65536, 5);
  std::string phrase_page = page;
  phrase_page.replace(60000, 10, " orgy sex ");
  BufferDesc pass_send{static_cast<std::uint32_t>(allowed.size()), allowed.data()};
  BufferDesc pass_recv{static_cast<std::uint32_t>(page.size()), page.data()};
  BufferDesc block_send{static_cast<std::uint32_t>(blocked.size()), blocked.data()};
  BufferDesc block_recv{static_cast<std::uint32_t>(phrase_page.size()), phrase_page.data()};
  std::string hello_pass = testing::BrowserClientHello("www.allowed.example");
  std::string hello_block = testing::BrowserClientHello("blocked.example");
  BufferDesc hello_pass_send{static_cast<std::uint32_t>(hello_pass.size()), hello_pass.data()};
  BufferDesc hello_block_send{static_cast<std::uint32_t>(hello_block.size()), hello_block.data()};
  const auto off = testing::NewExtensions(0);
  const auto https = testing::NewExtensions(1);
  RingSite site(*log);
  MatchPhrases(*state, page.data(), 10);  // builds the tables

  const long at_start = Allocations();
  FilterSend(*state, *off, &pass_send, 1, site);
  FilterSend(*state, *https, &hello_pass_send, 1, site);
  FilterRecv(*state, &pass_recv, 1, Overlap::kNone, site);
  site.http = 0;  // off ports 80 and 8080 nothing is judged
  FilterSend(*state, *off, &block_send, 1, site);
  FilterRecv(*state, &block_recv, 1, Overlap::kNone, site);
  site.http = 1;
  site.exempt = 1;
  FilterSend(*state, *off, &block_send, 1, site);
  FilterRecv(*state, &block_recv, 1, Overlap::kNone, site);
  EXPECT_EQ(Allocations(), at_start);
  EXPECT_EQ(std::memcmp(log.get(), before.get(), sizeof *log), 0)
      << "a passing verdict wrote to the record";

  site.exempt = 0;
  FilterSend(*state, *off, &block_send, 1, site);
  FilterRecv(*state, &block_recv, 1, Overlap::kNone, site);
  FilterSend(*state, *https, &hello_block_send, 1, site);
  site.quic = 1;
  FilterSend(*state, *https, &pass_send, 1, site);
  EXPECT_EQ(Allocations(), at_start) << "the block path allocated";
  EXPECT_EQ(RecordsNumbered(*log), 4u);
}

// One compiled file in memory, mapped in place.
class InPlaceFiles final : public CategoryFiles {
 public:
  explicit InPlaceFiles(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}
  bool Map(const char*, const char*, std::uint32_t serial, MappedCategory* out, std::uint32_t* used,
           CategoryProblem*) override {
    out->bytes = bytes_.data();
    out->size = bytes_.size();
    *used = serial;
    return true;
  }
  void Unmap(const MappedCategory&) override {}
  void PauseThread() override {}

 private:
  std::vector<unsigned char> bytes_;
};

TEST(NoAllocation, CategoryLookupOnceLoaded) {
  InPlaceFiles files(BuildCategoryFile("adult", {"cat.example", "other.example"}));
  std::int32_t generation = 0;
  auto shared = std::make_unique<SharedCategories>();
  PublishCategory(generation, *shared, "adult", 1);
  CategorySet set;
  CategoryHit hit;
  ASSERT_TRUE(set.Find(generation, *shared, files, "a.cat.example", 13, &hit));  // loads
  const long before = Allocations();
  int found = 0;
  for (int i = 0; i < 1000; ++i) {
    found += set.Find(generation, *shared, files, "a.cat.example", 13, &hit) ? 1 : 0;
    found += set.Find(generation, *shared, files, "www.allowed.example", 19, &hit) ? 1 : 0;
  }
  EXPECT_EQ(Allocations(), before);
  EXPECT_EQ(found, 1000);
  set.Release(files);
}

}  // namespace
}  // namespace tarvel
