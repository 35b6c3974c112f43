// The per-call cost of the filter: MatchPhrases against the plain
// phrase-by-phrase search on ordinary pages, the floor of reading 64 KiB
// once (memchr for an absent byte), MatchUrlList against the
// pattern-per-slot version over a full list, a whole send verdict that
// passes against one that blocks and writes its record, and with the HTTPS
// filter: a send that is not a ClientHello with the filter off and on, and a
// ClientHello's verdict beside a Host header's against a full list.
// scripts/bench.sh runs this with interleaved repetitions and turns the
// medians into ratios.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "filter/category_match.h"
#include "filter/phrases.h"
#include "filter/url_match.h"
#include "filter/verdict.h"
#include "platform/cpu_features.h"
#include "state/block_log.h"
#include "state/category_file.h"
#include "tests/testing/category_plain.h"
#include "tests/testing/client_hello.h"
#include "tests/testing/phrase_inputs.h"
#include "tests/testing/phrases_plain.h"
#include "tests/testing/state_builder.h"
#include "tests/testing/url_match_plain.h"

namespace tarvel {
namespace {

constexpr std::size_t k64KiB = 65536;

const FilterState& Phrases() {
  static const auto state = testing::NewStateWithPhrases();
  return *state;
}

struct Page {
  std::string bytes;
  int answer;  // what both versions must say
};

Page Ordinary(std::size_t size) { return {testing::OrdinaryPage(size, 17), 0}; }

// A key word of the built-in phrases inside an everyday word, no phrase.
Page WithKeyWord() {
  std::string page = testing::OrdinaryPage(k64KiB, 17);
  page.replace(k64KiB / 2, 20, " Weather for Sussex ");
  return {page, 0};
}

Page WithPhraseNearEnd() {
  std::string page = testing::OrdinaryPage(k64KiB, 17);
  page.replace(k64KiB - 200, 10, " orgy sex ");
  return {page, 1};
}

// Both versions must agree before either is timed.
void CheckAnswer(const Page& page) {
  const auto length = static_cast<std::int32_t>(page.bytes.size());
  if (testing::MatchPhrasesPlain(Phrases(), page.bytes.data(), length) != page.answer ||
      MatchPhrases(Phrases(), page.bytes.data(), length) != page.answer) {
    std::fprintf(stderr, "benchmark page of %d bytes does not give %d\n", length, page.answer);
    std::abort();
  }
}

void PhrasesPlain(benchmark::State& st, const Page* page) {
  const auto length = static_cast<std::int32_t>(page->bytes.size());
  for (auto _ : st) {
    benchmark::DoNotOptimize(testing::MatchPhrasesPlain(Phrases(), page->bytes.data(), length));
  }
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations()) * length);
}

void PhrasesFast(benchmark::State& st, const Page* page, SimdLevel level) {
  const SimdLevel previous = CapPhraseScanLevel(level);
  const auto length = static_cast<std::int32_t>(page->bytes.size());
  for (auto _ : st) {
    benchmark::DoNotOptimize(MatchPhrases(Phrases(), page->bytes.data(), length));
  }
  CapPhraseScanLevel(previous);
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations()) * length);
}

void MemchrAbsent(benchmark::State& st, const Page* page) {
  for (auto _ : st) {
    benchmark::DoNotOptimize(std::memchr(page->bytes.data(), '\x01', page->bytes.size()));
  }
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations()) * page->bytes.size());
}

// A full black list of made-up host names and a host that none matches.
struct ListCase {
  std::unique_ptr<FilterState> state = testing::NewState();
  Host host{};
};

const ListCase& FullList() {
  static const ListCase* list = [] {
    static ListCase c;
    static const char* const kWords[] = {"casino", "bet",   "cheap", "pills",  "win",  "prize",
                                         "free",   "games", "loans", "crypto", "deal", "shop"};
    static const char* const kEnds[] = {".com", ".net", ".info", ".biz", ".ru", ".cn"};
    std::mt19937 rng(5);
    for (int i = 0; i < kListSlots; ++i) {
      const std::string entry = std::string(kWords[rng() % 12]) + "-" + kWords[rng() % 12] +
                                std::to_string(rng() % 1000) + kEnds[rng() % 6];
      std::strncpy(c.state->black_entries[i], entry.c_str(), kEntryBytes);
      c.state->black_active[i] = 1;
    }
    c.state->black_count = kListSlots;
    std::strcpy(c.host.text, "news.example.org");
    c.host.length = std::strlen(c.host.text);
    return &c;
  }();
  return *list;
}

// A host that the last slot of the full list matches.
const char* FullListHost() {
  static const std::string host = FullList().state->black_entries[kListSlots - 1];
  return host.c_str();
}

void UrlListPlain(benchmark::State& st) {
  const ListCase& c = FullList();
  for (auto _ : st) {
    benchmark::DoNotOptimize(
        testing::MatchUrlListPlain(ListOf(*c.state, ListKind::kBlack), c.host));
  }
}

void UrlListIndexed(benchmark::State& st) {
  const ListCase& c = FullList();
  for (auto _ : st) {
    benchmark::DoNotOptimize(MatchUrlList(ListOf(*c.state, ListKind::kBlack), c.host));
  }
}

// A call site whose facts are constants and whose lower calls do nothing:
// what is timed is the verdict's own work.
class QuietSite final : public CallSite {
 public:
  explicit QuietSite(int http) : http_(http) {}
  int IsExemptProcess() override { return 0; }
  int IsHttpSocket() override { return http_; }
  int IsQuicSocket() override { return 0; }
  int LowerCall() override { return 0; }
  void LowerCutConnection() override {}
  void RecordBlock(const BlockFacts&) override {}
  void FailWithFault() override {}
  void FailRefused() override {}

 private:
  int http_;
};

const SharedExtensions& HttpsFilter(bool on) {
  static const auto off_block = testing::NewExtensions(0);
  static const auto on_block = testing::NewExtensions(1);
  return on ? *on_block : *off_block;
}

struct SendCase {
  std::string first_buffer;
  int http;  // the port test's answer
  bool https;
  const FilterState* state;
};

void Send(benchmark::State& st, const SendCase* c) {
  std::string data = c->first_buffer;
  const BufferDesc buffer{static_cast<std::uint32_t>(data.size()), data.data()};
  QuietSite site(c->http);
  for (auto _ : st) {
    benchmark::DoNotOptimize(FilterSend(*c->state, HttpsFilter(c->https), &buffer, 1, site));
  }
}

// 1460 bytes of a TLS record of application data: what most sends carry.
std::string EncryptedData() {
  std::string data = std::string("\x17\x03\x03\x05\xaf", 5);
  data.resize(1460, '\x5a');
  return data;
}

// A call site whose lower calls do nothing and whose record goes to a ring,
// as the Windows one does (less the system calls for the time and address).
class RingSite final : public CallSite {
 public:
  int IsExemptProcess() override { return 0; }
  int IsHttpSocket() override { return 1; }
  int IsQuicSocket() override { return 0; }
  int LowerCall() override { return 0; }
  void LowerCutConnection() override {}
  void RecordBlock(const BlockFacts& facts) override {
    BlockEntry entry = EntryOf(facts);
    SetRecordText(entry.program, sizeof entry.program, "bench.exe", 9);
    AppendBlock(*log, entry);
  }
  void FailWithFault() override {}
  void FailRefused() override {}

  std::unique_ptr<BlockLog> log = std::make_unique<BlockLog>();
};

// A send of 1460 bytes with the lists ready, a full black list and the smart
// filter on: a host that passes, or one on the list (the block writes a
// record), or a phrase in the body (the block also finds which phrase).
void Verdict(benchmark::State& st, const char* host, const char* body_phrase) {
  static const auto state = [] {
    auto s = testing::NewStateWithPhrases();
    std::memcpy(s->black_entries, FullList().state->black_entries, sizeof s->black_entries);
    std::memcpy(s->black_active, FullList().state->black_active, sizeof s->black_active);
    s->black_count = kListSlots;
    s->lists_ready = 1;
    s->smart_filter = 1;
    return s;
  }();
  std::string request = "GET / HTTP/1.1\r\nHost: " + std::string(host) + "\r\n\r\n";
  request += testing::OrdinaryPage(1460 - request.size(), 17);
  if (body_phrase != nullptr) request.replace(1300, std::strlen(body_phrase), body_phrase);
  BufferDesc buffer{static_cast<std::uint32_t>(request.size()), request.data()};
  RingSite site;
  std::memset(site.log.get(), 0, sizeof *site.log);
  for (auto _ : st) {
    benchmark::DoNotOptimize(FilterSend(*state, HttpsFilter(false), &buffer, 1, site));
  }
}

const char* LevelName(SimdLevel level) {
  switch (level) {
    case SimdLevel::kAvx2:
      return "avx2";
    case SimdLevel::kSsse3:
      return "ssse3";
    case SimdLevel::kNone:
      break;
  }
  return "scalar";
}

// A category of about a million domains shaped like a blocklist's, and 64
// hosts of 4 labels, half under its domains, looked up in turn (warm).
struct CategoryCase {
  std::vector<unsigned char> file;
  CategoryView view;
  std::set<std::string> oracle;
  std::vector<std::string> hosts;
};

const CategoryCase& MillionDomains() {
  static const CategoryCase c = [] {
    CategoryCase made;
    std::mt19937 rng(20);
    const auto label = [&](int max) {
      std::string s;
      for (int n = 1 + static_cast<int>(rng() % max); n > 0; --n)
        s += static_cast<char>('a' + rng() % 26);
      return s;
    };
    std::vector<std::string> domains;
    for (int i = 0; i < 1000000; ++i) domains.push_back(label(10) + "." + label(8) + ".com");
    domains = WithoutCoveredDomains(std::move(domains));
    made.file = BuildCategoryFile("bench", domains);
    std::string reason;
    made.view = OpenCategoryFile(made.file.data(), made.file.size(), &reason);
    if (!made.view.valid()) std::abort();
    made.oracle.insert(domains.begin(), domains.end());
    for (int i = 0; i < 64; ++i) {
      made.hosts.push_back("www." + (i % 2 == 0 ? domains[rng() % domains.size()]
                                                : label(8) + "." + label(8) + ".org"));
    }
    return made;
  }();
  return c;
}

void CategoryCompiled(benchmark::State& st) {
  const CategoryCase& c = MillionDomains();
  std::size_t i = 0;
  for (auto _ : st) {
    const std::string& h = c.hosts[i++ & 63];
    benchmark::DoNotOptimize(MatchCategory(c.view, h.data(), h.size()));
  }
}

// Cold: before each lookup a buffer larger than the last-level cache is
// read through, so the fan-out, keys and text come from memory. Only the
// lookup is timed (manual time: pausing the timer costs more than a lookup).
void CategoryCold(benchmark::State& st) {
  const CategoryCase& c = MillionDomains();
  static std::vector<std::uint64_t> flush(64u << 20 >> 3, 1);
  std::size_t i = 0;
  std::uint64_t sink = 0;
  for (auto _ : st) {
    for (std::size_t k = 0; k < flush.size(); k += 8) sink += flush[k];
    benchmark::DoNotOptimize(sink);
    const std::string& h = c.hosts[i++ & 63];
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(MatchCategory(c.view, h.data(), h.size()));
    const auto end = std::chrono::steady_clock::now();
    st.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
}

// The plain answer: each suffix at a dot looked up in a std::set.
void CategoryOracle(benchmark::State& st) {
  const CategoryCase& c = MillionDomains();
  std::size_t i = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(testing::MatchCategoryPlain(c.oracle, c.hosts[i++ & 63]));
  }
}

void RegisterAll() {
  static const Page pages[] = {Ordinary(512),    Ordinary(1460), Ordinary(8192),
                               Ordinary(k64KiB), WithKeyWord(),  WithPhraseNearEnd()};
  static const char* const names[] = {"512B",  "1460B",     "8KiB",
                                      "64KiB", "64KiB_key", "64KiB_phrase_end"};
  const SimdLevel best = SupportedSimdLevel();
  for (std::size_t i = 0; i < std::size(pages); ++i) {
    CheckAnswer(pages[i]);
    const std::string n = names[i];
    benchmark::RegisterBenchmark(("phrases/plain/" + n).c_str(), PhrasesPlain, &pages[i]);
    benchmark::RegisterBenchmark(("phrases/fast/" + n).c_str(), PhrasesFast, &pages[i], best);
  }
  // Every lower level on the plain 64 KiB page, down to the automaton alone.
  for (int level = static_cast<int>(best) - 1; level >= 0; --level) {
    const auto l = static_cast<SimdLevel>(level);
    benchmark::RegisterBenchmark((std::string("phrases/fast_") + LevelName(l) + "/64KiB").c_str(),
                                 PhrasesFast, &pages[3], l);
  }
  benchmark::RegisterBenchmark("memchr_absent/64KiB", MemchrAbsent, &pages[3]);
  benchmark::RegisterBenchmark("url_list/plain/2000", UrlListPlain);
  benchmark::RegisterBenchmark("url_list/indexed/2000", UrlListIndexed);
  // The list holds no entry for the host: the whole list is scanned.
  const FilterState* list = FullList().state.get();
  static const SendCase sends[] = {
      {EncryptedData(), 0, false, list},
      {EncryptedData(), 0, true, list},
      {testing::BrowserClientHello("www.news.example.org"), 0, true, list},
      {"GET / HTTP/1.1\r\nHost: www.news.example.org\r\nUser-Agent: bench\r\n"
       "Accept: */*\r\n\r\n",
       1, true, list},
  };
  benchmark::RegisterBenchmark("send/data_https_off/1460B", Send, &sends[0]);
  benchmark::RegisterBenchmark("send/data_https_on/1460B", Send, &sends[1]);
  benchmark::RegisterBenchmark("send/client_hello/2000", Send, &sends[2]);
  benchmark::RegisterBenchmark("send/host_header/2000", Send, &sends[3]);
  benchmark::RegisterBenchmark("verdict/send_pass/1460B", Verdict, "news.example.org", nullptr);
  benchmark::RegisterBenchmark("verdict/send_block_listed/1460B", Verdict, FullListHost(), nullptr);
  benchmark::RegisterBenchmark("verdict/send_block_phrase/1460B", Verdict, "news.example.org",
                               " orgy sex ");
  benchmark::RegisterBenchmark("category/compiled/1M", CategoryCompiled);
  benchmark::RegisterBenchmark("category/oracle/1M", CategoryOracle);
  benchmark::RegisterBenchmark("category/compiled_cold/1M", CategoryCold)
      ->Iterations(200)
      ->UseManualTime();
  benchmark::AddCustomContext("vector_level", LevelName(best));
}

}  // namespace
}  // namespace tarvel

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  tarvel::RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
