// The ring of blocked requests: records read back whole, the ring wraps,
// writers in several processes and threads at once each get a record of
// their own, and a reader running during the writes never takes a torn one.
#include "state/block_log.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tarvel {
namespace {

// A record whose every field follows from its writer's key (kept as the
// process id), so that a reader can tell a whole record from one mixed out
// of two; cheap to make, so that a reader checks at the writers' pace.
std::uint32_t KeyOf(std::uint32_t process, std::uint32_t thread, std::uint32_t k) {
  return process << 24 | thread << 16 | k;
}

BlockEntry EntryOfKey(std::uint32_t key) {
  BlockEntry e = {};
  e.time = 0x01DC000000000000ull + key * 0x9E3779B9ull;
  e.process_id = key;
  e.reason = 1 + key % kLastBlockReason;
  e.phrase = static_cast<std::int32_t>(key % 89);
  e.port = static_cast<std::uint16_t>(key);
  e.family = kAddressIPv4;
  std::memset(e.address, static_cast<int>(key & 0xFF), sizeof e.address);
  for (std::size_t i = 0; i + 1 < sizeof e.host; ++i) e.host[i] = 'a' + (key + i) % 26;
  for (std::size_t i = 0; i + 1 < sizeof e.program; ++i) e.program[i] = 'A' + (key * 7 + i) % 26;
  return e;
}

BlockEntry EntryFor(std::uint32_t process, std::uint32_t thread, std::uint32_t k) {
  return EntryOfKey(KeyOf(process, thread, k));
}

// True when `e` is one whole record as EntryOfKey made it.
bool IsWhole(const BlockEntry& e) {
  const BlockEntry expected = EntryOfKey(e.process_id);
  return std::memcmp(&e, &expected, sizeof e) == 0;
}

std::unique_ptr<BlockLog> NewLog() {
  auto log = std::make_unique<BlockLog>();
  std::memset(log.get(), 0, sizeof *log);
  return log;
}

// --- one writer -------------------------------------------------------------------

struct RingRow {
  const char* name;
  int appends;                          // records appended first, keys 0, 1, ...
  std::function<void(BlockLog&)> then;  // what happens next (a stalled writer...)
  std::uint64_t read;                   // the record read
  RecordRead expected;
  std::uint64_t dropped;
};

class Ring : public ::testing::TestWithParam<RingRow> {};

TEST_P(Ring, ReadsAsTheSequenceWordSays) {
  const RingRow& row = GetParam();
  auto log = NewLog();
  for (int i = 0; i < row.appends; ++i) {
    ASSERT_EQ(AppendBlock(*log, EntryFor(0, 0, static_cast<std::uint32_t>(i))),
              static_cast<std::uint64_t>(i));
  }
  if (row.then) row.then(*log);
  BlockEntry read;
  std::memset(&read, 0xAB, sizeof read);
  EXPECT_EQ(ReadRecord(*log, row.read, &read), row.expected);
  if (row.expected == RecordRead::kWhole) {
    const BlockEntry expected = EntryFor(0, 0, static_cast<std::uint32_t>(row.read));
    EXPECT_EQ(std::memcmp(&read, &expected, sizeof read), 0);
  }
  EXPECT_EQ(ReadBlockCounts(*log).dropped, row.dropped);
}

// A writer a whole ring behind that still holds its slot: record n's word odd.
void StallWriterOf(BlockLog& log, std::uint64_t n) {
  log.records[n % kBlockRecords].sequence = 2 * n + 1;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Ring,
    ::testing::Values(
        RingRow{"FirstRecordWhole", 1, nullptr, 0, RecordRead::kWhole, 0},
        RingRow{"NotYetWrittenIsPending", 3, nullptr, 3, RecordRead::kPending, 0},
        RingRow{"WrapOverwritesTheOldest", kBlockRecords + 1, nullptr, 0, RecordRead::kGone, 0},
        RingRow{"WrapKeepsTheNextOldest", kBlockRecords + 1, nullptr, 1, RecordRead::kWhole, 0},
        RingRow{"RecordBeingWrittenIsPending", 5, [](BlockLog& l) { StallWriterOf(l, 4); }, 4,
                RecordRead::kPending, 0},
        // Its writer stalled a lap behind: writing beside it would tear both
        // records, so the newer one is given up and counted.
        RingRow{"SlotStillHeldDropsTheNewRecord", 3,
                [](BlockLog& l) {
                  StallWriterOf(l, 1);
                  l.next_record = 1 + kBlockRecords;
                  EXPECT_EQ(AppendBlock(l, EntryFor(0, 0, 9)), kNoRecord);
                },
                1 + kBlockRecords, RecordRead::kPending, 1},
        // A writer that took its number a lap ago and finds a newer record
        // whole in its slot gives up rather than write over it.
        RingRow{"StaleWriterLeavesTheNewerRecord", kBlockRecords + 3,
                [](BlockLog& l) {
                  l.next_record = 2;
                  EXPECT_EQ(AppendBlock(l, EntryFor(0, 0, 2)), kNoRecord);
                },
                kBlockRecords + 2, RecordRead::kWhole, 1}),
    [](const ::testing::TestParamInfo<RingRow>& info) { return std::string(info.param.name); });

TEST(BlockCounts, AnUnknownReasonCountsApart) {
  auto log = NewLog();
  BlockEntry e = EntryFor(0, 0, 0);
  e.reason = 99;
  AppendBlock(*log, e);
  const BlockCounts counts = ReadBlockCounts(*log);
  EXPECT_EQ(counts.by_reason[0], 1u);
  EXPECT_EQ(counts.total, 1u);
}

// A cut keeps a NUL and never splits a UTF-8 character; the rest of the
// field is NUL, and nothing past it is written.
TEST(RecordText, CutAndPadded) {
  const struct {
    std::string text;
    std::string stored;
  } rows[] = {{"a.b", "a.b"},
              {"123456789", "1234567"},
              {"ab\xE2\x82\xAC\xE2\x82\xAC", "ab\xE2\x82\xAC"},  // the second would be split
              {"abcd\xC3\xA9xyz", "abcd\xC3\xA9x"}};
  for (const auto& row : rows) {
    char field[12];
    std::memset(field, 0xAB, sizeof field);
    SetRecordText(field, 8, row.text.data(), row.text.size());
    std::string expected = row.stored;
    expected.resize(8, '\0');
    EXPECT_EQ(std::string(field, 8), expected) << row.text;
    EXPECT_EQ(std::string(field + 8, 4), std::string(4, '\xAB')) << "wrote past the field";
  }
}

// --- several processes and threads -------------------------------------------------

// A log in memory shared with child processes, and a flag that starts them.
struct SharedLog {
  std::atomic<int> ready;  // writer threads waiting for the go
  std::atomic<int> go;
  std::atomic<int> stop;
  BlockLog log;
};

// The log in an anonymous shared mapping, which forked children share.
struct Unmap {
  void operator()(SharedLog* p) const { munmap(p, sizeof *p); }
};
using SharedMapping = std::unique_ptr<SharedLog, Unmap>;

SharedMapping MapShared() {
  void* p =
      mmap(nullptr, sizeof(SharedLog), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  std::memset(p, 0, sizeof(SharedLog));  // a new log; nothing started
  return SharedMapping(new (p) SharedLog);
}

// Forks `processes` children; each waits for the go, then appends with
// `threads` threads `per_thread` records each (or, when it is 0, until the
// stop), keys (child, thread, k). Returns the children's ids.
std::vector<pid_t> StartWriters(SharedLog& shared, int processes, int threads, int per_thread) {
  std::vector<pid_t> children;
  for (int p = 0; p < processes; ++p) {
    const pid_t pid = fork();
    if (pid != 0) {
      children.push_back(pid);
      continue;
    }
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
      writers.emplace_back([&shared, p, t, per_thread] {
        ++shared.ready;
        while (shared.go.load(std::memory_order_acquire) == 0) std::this_thread::yield();
        for (int k = 0; per_thread == 0 ? shared.stop.load() == 0 : k < per_thread; ++k) {
          AppendBlock(shared.log,
                      EntryFor(static_cast<std::uint32_t>(p + 1), static_cast<std::uint32_t>(t),
                               static_cast<std::uint32_t>(k & 0xFFFF)));
          // Spreads a short run over time, so that the writers overlap.
          if (per_thread != 0) std::this_thread::yield();
        }
      });
    }
    for (std::thread& w : writers) w.join();
    _exit(0);
  }
  return children;
}

// Starts the writers together, once all of them wait for the go.
void Go(SharedLog& shared, int writers) {
  for (int waited = 0; waited < 1000 && shared.ready.load() < writers; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  shared.go.store(1, std::memory_order_release);
}

bool AllEndedWell(const std::vector<pid_t>& children) {
  bool well = true;
  for (pid_t child : children) {
    int status = 0;
    well = waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           well;
  }
  return well;
}

// Each round starts all writers at once; several rounds, since how much
// they overlap is up to the scheduler.
TEST(BlockLogAtOnce, EveryBlockOfSeveralProcessesAndThreadsAppearsOnceWhole) {
  constexpr int kProcesses = 3;
  constexpr int kThreads = 4;
  constexpr int kPerThread = 80;  // 960 records: the ring keeps them all
  static_assert(kProcesses * kThreads * kPerThread <= kBlockRecords);
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    SharedMapping mapping = MapShared();
    ASSERT_NE(mapping, nullptr);
    SharedLog& shared = *mapping.get();
    const std::vector<pid_t> children = StartWriters(shared, kProcesses, kThreads, kPerThread);
    Go(shared, kProcesses * kThreads);
    ASSERT_TRUE(AllEndedWell(children));

    const std::uint64_t numbered = RecordsNumbered(shared.log);
    ASSERT_EQ(numbered, static_cast<std::uint64_t>(kProcesses * kThreads * kPerThread));
    std::set<std::uint32_t> keys;
    std::uint64_t by_reason[kBlockReasonSlots] = {};
    for (std::uint64_t n = 0; n < numbered; ++n) {
      BlockEntry e;
      ASSERT_EQ(ReadRecord(shared.log, n, &e), RecordRead::kWhole) << "record " << n;
      ASSERT_TRUE(IsWhole(e)) << "record " << n << " is torn";
      EXPECT_TRUE(keys.insert(e.process_id).second) << "key " << e.process_id << " twice";
      ++by_reason[e.reason];
    }
    EXPECT_EQ(keys.size(), numbered) << "blocks lost";
    const BlockCounts counts = ReadBlockCounts(shared.log);
    EXPECT_EQ(counts.total, numbered);
    EXPECT_EQ(counts.dropped, 0u);
    for (int r = 0; r < kBlockReasonSlots; ++r) {
      EXPECT_EQ(counts.by_reason[r], by_reason[r]) << "reason " << r;
    }
  }
}

// Writers in two processes wrap the ring many times while readers in this
// one copy records without pause: every record a reader takes is whole. One
// reader waits on the record about to be written and copies it the moment
// its word says whole, where a writer that published too early would be
// caught; the writers go on until it has caught enough such moments.
TEST(BlockLogAtOnce, ReadersDuringWritesNeverTakeATornRecord) {
  constexpr int kProcesses = 2;
  constexpr int kThreads = 2;
  constexpr long kMomentsWanted = 5000;
  SharedMapping mapping = MapShared();
  ASSERT_NE(mapping, nullptr);
  SharedLog& shared = *mapping.get();
  std::atomic<bool> writing{true};
  std::atomic<long> taken{0};
  std::atomic<long> torn{0};
  std::atomic<long> moments{0};
  auto take = [&](std::uint64_t n) {
    BlockEntry e;
    const RecordRead read = ReadRecord(shared.log, n, &e);
    if (read == RecordRead::kWhole) ++(IsWhole(e) ? taken : torn);
    return read;
  };
  // The writers fork before this process starts a thread: a child forked
  // while another thread holds a lock of the runtime would wait for it
  // forever.
  const std::vector<pid_t> children = StartWriters(shared, kProcesses, kThreads, 0);
  std::vector<std::thread> readers;
  readers.emplace_back([&] {
    while (writing.load()) {
      const std::uint64_t numbered = RecordsNumbered(shared.log);
      const std::uint64_t from = numbered > kBlockRecords ? numbered - kBlockRecords : 0;
      for (std::uint64_t n = from; n < numbered; ++n) take(n);
    }
  });
  readers.emplace_back([&] {
    while (writing.load()) {
      const std::uint64_t next = RecordsNumbered(shared.log);
      if (take(next) != RecordRead::kPending) continue;
      RecordRead read = RecordRead::kPending;
      for (int spin = 0; spin < 100000 && read == RecordRead::kPending; ++spin) read = take(next);
      if (read == RecordRead::kWhole) ++moments;
    }
  });
  Go(shared, kProcesses * kThreads);
  for (int waited = 0; waited < 500 && moments.load() < kMomentsWanted; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  shared.stop.store(1);
  const bool ended_well = AllEndedWell(children);
  writing = false;
  for (std::thread& r : readers) r.join();
  ASSERT_TRUE(ended_well);
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(moments.load(), 0) << "the reader never met a record as it became whole";

  // After the writers: the counts add up, and the ring holds the last lap
  // whole but for records given up.
  const std::uint64_t appended = RecordsNumbered(shared.log);
  const BlockCounts counts = ReadBlockCounts(shared.log);
  ASSERT_GT(appended, static_cast<std::uint64_t>(kBlockRecords));
  EXPECT_EQ(counts.total, appended);
  std::uint64_t whole = 0;
  for (std::uint64_t n = appended - kBlockRecords; n < appended; ++n) {
    BlockEntry e;
    if (ReadRecord(shared.log, n, &e) == RecordRead::kWhole) ++whole;
  }
  EXPECT_GE(whole + counts.dropped, static_cast<std::uint64_t>(kBlockRecords));
}

}  // namespace
}  // namespace tarvel
