// The record of blocked requests inside the real tarvel.dll: blocks made at
// once by several processes, several threads each, all appear once and
// whole with their process, program and remote address, and the counters
// grow by the blocks; a phrase in a page is recorded with its slot and an
// IPv6 peer. (Torn reads and the wrap are tested on the ring natively.)
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "filter/phrases.h"
#include "tests/wine/harness.h"

namespace tarvel::wine {
namespace {

using TextFn = int(__cdecl*)(const char*);
using ValueFn = int(__cdecl*)(int);

constexpr char kBlockedSuffix[] = ".blocklog.test";
constexpr int kBlockers = 3;
constexpr int kBlockerThreads = 4;
constexpr int kBlocksPerThread = 50;  // 600 records: the ring keeps them all
constexpr char kGoEvent[] = "Local\\tarvel-test-blocklog-go";
constexpr char kReadyEvent[] = "Local\\tarvel-test-blocklog-ready-";

std::string ChildRole() {
  char role[64] = {};
  GetEnvironmentVariableA("TARVEL_CHILD", role, sizeof role);
  return role;
}

// The host a blocker names: its process, thread and count, so that a record
// tells whose block it is.
std::string BlockedHost(unsigned long process, int thread, int k) {
  char host[96];
  std::snprintf(host, sizeof host, "p%lu-t%d-k%d%s", process, thread, k, kBlockedSuffix);
  return host;
}

struct BlockerThread {
  const WSPPROC_TABLE* table;
  SOCKET s;
  int thread;
};

DWORD WINAPI SendBlocked(void* context) {
  const auto& job = *static_cast<BlockerThread*>(context);
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, kGoEvent);
  if (go == nullptr || WaitForSingleObject(go, 30000) != WAIT_OBJECT_0) return 1;
  CloseHandle(go);
  for (int k = 0; k < kBlocksPerThread; ++k) {
    const std::string request =
        "GET / HTTP/1.1\r\nHost: " + BlockedHost(GetCurrentProcessId(), job.thread, k) + "\r\n\r\n";
    WSABUF buffer{static_cast<ULONG>(request.size()), const_cast<char*>(request.data())};
    DWORD sent = 0;
    INT error = 0;
    job.table->lpWSPSend(job.s, &buffer, 1, &sent, 0, nullptr, nullptr, nullptr, &error);
  }
  return 0;
}

// A blocker: several threads send requests for blacklisted hosts through
// tarvel over the recording provider, on one socket to the parent's port
// 8080. The recorder keeps no calls (call_count at its end), so that the
// threads share it safely.
TEST(BlockLogChild, BlocksFromSeveralThreads) {
  if (ChildRole() != "blocker") GTEST_SKIP() << "runs only as a child of BlockLog.*";
  char index[8] = {};
  GetEnvironmentVariableA("TARVEL_BLOCKER", index, sizeof index);
  const WSPPROC_TABLE table = StartOverRecorder('a', 5000 + std::atoi(index));
  Recorder().call_count = kMaxRecordedCalls;
  EnsureWinsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in server = LoopbackV4(8080);
  ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&server), sizeof server), 0)
      << WSAGetLastError();
  BlockerThread jobs[kBlockerThreads];
  HANDLE threads[kBlockerThreads];
  for (int t = 0; t < kBlockerThreads; ++t) {
    jobs[t] = {&table, s, t};
    threads[t] = CreateThread(nullptr, 0, SendBlocked, &jobs[t], 0, nullptr);
    ASSERT_NE(threads[t], nullptr);
  }
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, (kReadyEvent + std::string(index)).c_str());
  ASSERT_NE(ready, nullptr);
  SetEvent(ready);
  CloseHandle(ready);
  WaitForMultipleObjects(kBlockerThreads, threads, TRUE, INFINITE);
  for (HANDLE thread : threads) CloseHandle(thread);
  closesocket(s);
}

// Whether `e` is a whole record of a blocker's block: the host names the
// process the record names, the program, peer and reason are the blocker's.
bool IsBlockersRecord(const BlockEntry& e, unsigned long* process) {
  int thread = 0;
  int k = 0;
  const std::uint8_t loopback[4] = {127, 0, 0, 1};
  return std::sscanf(e.host, "p%lu-t%d-k%d", process, &thread, &k) == 3 &&
         BlockedHost(*process, thread, k) == e.host && e.process_id == *process &&
         std::strcmp(e.program, "tarvel_wine_tests.exe") == 0 &&
         e.reason == static_cast<std::uint32_t>(BlockReason::kBlacklisted) && e.phrase == -1 &&
         e.family == kAddressIPv4 && e.port == 8080 && std::memcmp(e.address, loopback, 4) == 0;
}

TEST(BlockLog, BlocksOfSeveralProcessesAndThreadsAppearOnceWhole) {
  ASSERT_EQ(TarvelExport<TextFn>("AddBlackUrl")(kBlockedSuffix + 1), 1);
  const BlockLog& log = TarvelExtensions().block_log;
  const std::uint64_t numbered_before = RecordsNumbered(log);
  const BlockCounts counts_before = ReadBlockCounts(log);
  EnsureWinsock();
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = LoopbackV4(8080);
  BOOL reuse = TRUE;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
             sizeof reuse);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, SOMAXCONN), 0);
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, kGoEvent);
  ASSERT_NE(go, nullptr);

  std::vector<HANDLE> ready_events;
  std::vector<std::unique_ptr<Child>> blockers;
  {
    ScopedEnv keep("TARVEL_TEST_SETTINGS", "keep");
    ScopedEnv role("TARVEL_CHILD", "blocker");
    for (int i = 0; i < kBlockers; ++i) {
      const std::string n = std::to_string(i);
      ready_events.push_back(CreateEventA(nullptr, TRUE, FALSE, (kReadyEvent + n).c_str()));
      ScopedEnv index("TARVEL_BLOCKER", n.c_str());
      blockers.push_back(std::make_unique<Child>("BlockLogChild.*"));
    }
  }
  // Every blocker's threads wait for the go; they start at the same moment.
  EXPECT_EQ(WaitForMultipleObjects(kBlockers, ready_events.data(), TRUE, 60000), WAIT_OBJECT_0);
  SetEvent(go);
  for (auto& blocker : blockers) EXPECT_EQ(blocker->Wait(), 0);
  for (HANDLE h : ready_events) CloseHandle(h);
  CloseHandle(go);
  closesocket(listener);

  const int blocks = kBlockers * kBlockerThreads * kBlocksPerThread;
  const std::uint64_t numbered = RecordsNumbered(log);
  ASSERT_EQ(numbered - numbered_before, static_cast<std::uint64_t>(blocks));
  std::set<std::string> seen;
  std::map<unsigned long, int> per_process;
  for (std::uint64_t n = numbered_before; n < numbered; ++n) {
    BlockEntry e;
    ASSERT_EQ(ReadRecord(log, n, &e), RecordRead::kWhole) << "record " << n;
    unsigned long p = 0;
    ASSERT_TRUE(IsBlockersRecord(e, &p)) << "record " << n << ": " << e.host;
    EXPECT_TRUE(seen.insert(e.host).second) << e.host << " twice";
    ++per_process[p];
  }
  EXPECT_EQ(per_process.size(), static_cast<std::size_t>(kBlockers));
  for (const auto& [process, count] : per_process) {
    EXPECT_EQ(count, kBlockerThreads * kBlocksPerThread) << "process " << process;
  }
  const BlockCounts counts = ReadBlockCounts(log);
  const auto blacklisted = static_cast<std::size_t>(BlockReason::kBlacklisted);
  EXPECT_EQ(counts.by_reason[blacklisted] - counts_before.by_reason[blacklisted],
            static_cast<std::uint64_t>(blocks));
  EXPECT_EQ(counts.total - counts_before.total, static_cast<std::uint64_t>(blocks));
  EXPECT_EQ(counts.dropped, counts_before.dropped);
}

TEST(BlockLog, PhraseInAPageRecordedWithItsSlotAndAnIPv6Peer) {
  SocketPair pair;
  ASSERT_TRUE(ConnectLoopback(AF_INET6, 8080, pair)) << WSAGetLastError();
  const WSPPROC_TABLE table = StartOverRecorder();
  ASSERT_EQ(TarvelExport<ValueFn>("SetSmartFilter")(1), 1);
  // The recorder receives nothing and leaves the count as it finds it: the
  // page stands for the bytes it delivered.
  char page[] = "<html>erotic stories</html>";
  WSABUF buffer{sizeof page, page};
  DWORD received = sizeof page, flags = 0;
  INT error = 0;
  const BlockLog& log = TarvelExtensions().block_log;
  const std::uint64_t before = RecordsNumbered(log);
  table.lpWSPRecv(pair.client, &buffer, 1, &received, &flags, nullptr, nullptr, nullptr, &error);
  TarvelExport<ValueFn>("SetSmartFilter")(0);
  ASSERT_EQ(RecordsNumbered(log), before + 1);
  BlockEntry e;
  ASSERT_EQ(ReadRecord(log, before, &e), RecordRead::kWhole);
  EXPECT_EQ(e.reason, static_cast<std::uint32_t>(BlockReason::kPhraseInReceive));
  ASSERT_GE(e.phrase, 0);
  EXPECT_STREQ(kBuiltInPhrases[e.phrase], "erotic stories");
  EXPECT_STREQ(e.host, "");
  EXPECT_EQ(e.process_id, GetCurrentProcessId());
  EXPECT_EQ(e.family, kAddressIPv6);
  EXPECT_EQ(std::memcmp(e.address, &in6addr_loopback, 16), 0);
  EXPECT_EQ(e.port, 8080);
  // Within a second of now, by the system clock.
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t now_ticks =
      static_cast<std::uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  EXPECT_LE(e.time, now_ticks);
  EXPECT_GT(e.time + 10000000, now_ticks);
}

}  // namespace
}  // namespace tarvel::wine
