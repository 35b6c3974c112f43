// Categories inside the real tarvel.dll: compiled files in the block's
// folder, made active by SetCategory, cut a Host header's or a ClientHello's
// subdomain of an entry; the white list is their exception; a bad file
// leaves its category off and the process alive; and two processes sending
// from several threads while tarvelctl swaps the file under them see every
// send judged by the old file or the new one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "state/category_file.h"
#include "tests/testing/client_hello.h"
#include "tests/wine/harness.h"

namespace tarvel::wine {
namespace {

using TextFn = int(__cdecl*)(const char*);
using ValueFn = int(__cdecl*)(int);
using SetCategoryFn = int(__cdecl*)(const char*, unsigned int);

const char* const kPassed = "WSPSend";
const char* const kCut = "WSPShutdown,WSPSend";

std::string Request(const std::string& host) {
  return "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

std::string FileOf(const char* name, const std::vector<std::string>& domains) {
  const std::vector<unsigned char> bytes = BuildCategoryFile(name, domains);
  return std::string(bytes.begin(), bytes.end());
}

int SetCategory(const char* name, unsigned serial) {
  return TarvelExport<SetCategoryFn>("SetCategory")(name, serial);
}

int SlotOf(const char* name) {
  const SharedCategories& shared = TarvelExtensions().categories;
  for (std::size_t i = 0; i < kCategoriesMax; ++i) {
    if (std::string(shared.slots[i].name) == name) return static_cast<int>(i);
  }
  return -1;
}

// The last record of the log.
BlockEntry LastRecord() {
  const BlockLog& log = TarvelExtensions().block_log;
  BlockEntry e = {};
  EXPECT_EQ(ReadRecord(log, RecordsNumbered(log) - 1, &e), RecordRead::kWhole);
  return e;
}

// The file both trees build from the same domains: the same bytes on i686
// and x86_64, so either filter maps what either tarvelctl writes.
TEST(Categories, FileIsTheSameOnBothArchitectures) {
  const std::string file = FileOf("wine-same", {"a.example", "b.example", "sub.c.example"});
  EXPECT_EQ(file.size(), 1222u);
  EXPECT_EQ(CategoryChecksum(reinterpret_cast<const unsigned char*>(file.data()), file.size()),
            0x78cad54498c10db9ull);
}

TEST(Categories, SubdomainCutOverHttpAndTlsWithTheWhitelistAsExceptions) {
  WriteCategoryFile("wine-adult", 1, FileOf("wine-adult", {"cat.example", "good-cat.example"}));
  ASSERT_EQ(SetCategory("wine-adult", 1), 1);
  ASSERT_EQ(TarvelExport<TextFn>("AddWhiteUrl")("good-cat.example"), 1);
  SocketPair pair;
  ASSERT_TRUE(ConnectLoopback(AF_INET, 8080, pair)) << WSAGetLastError();
  const WSPPROC_TABLE table = StartOverRecorder();
  const int slot = SlotOf("wine-adult");
  ASSERT_GE(slot, 0);
  const std::uint64_t blocks_before = CategoryBlocks(TarvelExtensions().categories.slots[slot]);
  struct Row {
    const char* name;
    bool https;
    std::string bytes;
    const char* entries;
  } rows[] = {
      {"SubdomainOverHttp", false, Request("a.b.Cat.Example"), kCut},
      {"LookalikePasses", false, Request("badcat.example"), kPassed},
      {"WhitelistedPasses", false, Request("www.good-cat.example"), kPassed},
      {"HelloNamingSubdomain", true, testing::BrowserClientHello("x.cat.example"), kCut},
      {"WhitelistedHelloPasses", true, testing::BrowserClientHello("good-cat.example"), kPassed},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(TarvelExport<ValueFn>("SetHttpsFilter")(row.https ? 1 : 0), 1);
    EXPECT_EQ(SendRequest(table, pair.client, row.bytes), row.entries) << row.name;
  }
  TarvelExport<ValueFn>("SetHttpsFilter")(0);
  const BlockEntry e = LastRecord();
  EXPECT_EQ(e.reason, static_cast<std::uint32_t>(BlockReason::kCategory));
  EXPECT_STREQ(e.host, "x.cat.example");
  EXPECT_STREQ(e.host + kRecordCategoryAt, "wine-adult");
  EXPECT_EQ(CategoryBlocks(TarvelExtensions().categories.slots[slot]) - blocks_before, 2u);
  // Removed: the next send passes.
  ASSERT_EQ(TarvelExport<TextFn>("RemoveCategory")("wine-adult"), 1);
  EXPECT_EQ(SendRequest(table, pair.client, Request("a.b.cat.example")), kPassed);
  TarvelExport<TextFn>("DelWhiteUrl")("good-cat.example");
}

TEST(Categories, BadFileLeavesTheCategoryOffAndTheProcessAlive) {
  const std::string good = FileOf("wine-bad", {"bad-file.example"});
  std::string damaged = good;
  damaged[damaged.size() / 2] ^= 0x40;
  struct Row {
    const char* name;
    std::string bytes;  // empty: no file at all
    CategoryProblem problem;
  } rows[] = {
      {"Damaged", damaged, CategoryProblem::kRefused},
      {"Truncated", good.substr(0, good.size() - 8), CategoryProblem::kRefused},
      {"HeaderOnly", good.substr(0, 128), CategoryProblem::kRefused},
      {"Foreign", std::string(4096, '\x5a'), CategoryProblem::kRefused},
      {"Missing", "", CategoryProblem::kNoFile},
  };
  SocketPair pair;
  ASSERT_TRUE(ConnectLoopback(AF_INET, 8080, pair)) << WSAGetLastError();
  const WSPPROC_TABLE table = StartOverRecorder();
  unsigned serial = 100;
  for (const Row& row : rows) {
    ++serial;
    if (!row.bytes.empty()) WriteCategoryFile("wine-bad", serial, row.bytes);
    ASSERT_EQ(SetCategory("wine-bad", serial), 1) << row.name;
    EXPECT_EQ(SendRequest(table, pair.client, Request("www.bad-file.example")), kPassed)
        << row.name;
    const int slot = SlotOf("wine-bad");
    ASSERT_GE(slot, 0);
    EXPECT_EQ(CategoryProblemOf(TarvelExtensions().categories.slots[slot]), row.problem)
        << row.name;
  }
  // The good file after them is taken at the next send.
  WriteCategoryFile("wine-bad", ++serial, good);
  ASSERT_EQ(SetCategory("wine-bad", serial), 1);
  EXPECT_EQ(SendRequest(table, pair.client, Request("www.bad-file.example")), kCut);
  TarvelExport<TextFn>("RemoveCategory")("wine-bad");
}

// --- Two processes while the file is swapped -----------------------------------

constexpr char kSwapName[] = "wine-swap";
constexpr char kSwapReady[] = "Local\\tarvel-test-swap-ready-";
constexpr char kSwapStop[] = "Local\\tarvel-test-swap-stop";
constexpr int kSwapSenders = 2;
constexpr int kSwapThreads = 2;
constexpr int kSwaps = 12;

// The swap's text lists, in hosts format: every one holds
// "both.swap.example"; only the last holds "last.swap.example".
std::string SwapList(int serial) {
  const std::string path = TempPath("swap-" + std::to_string(serial) + ".txt");
  std::string text =
      "0.0.0.0 both.swap.example\r\n0.0.0.0 only" + std::to_string(serial) + ".swap.example\r\n";
  if (serial == kSwaps) text += "last.swap.example\r\n";
  WriteFileBytes(path, text);
  return path;
}

// tarvelctl.exe's `category add|update` of the swap's list, on this
// process's filter; its exit code.
int SwapByTarvelctl(const char* command, int serial) {
  const Ran ran =
      RunCaptured(BinDir() + "tarvelctl.exe",
                  std::string("category ") + command + " " + kSwapName + " \"" + SwapList(serial) +
                      "\" --own-only --dll \"" + BinDir() + "tarvel.dll\"");
  EXPECT_EQ(ran.code, 0) << ran.out << ran.err;
  return ran.code;
}

// Deletes the swap's files of an earlier run, which `category add` refuses.
void ForgetSwapFiles() {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((CategoryFolder() + "\\" + kSwapName + ".*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    DeleteFileA((CategoryFolder() + "\\" + found.cFileName).c_str());
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

std::string ChildRole() {
  char role[32] = {};
  GetEnvironmentVariableA("TARVEL_CHILD", role, sizeof role);
  return role;
}

struct SwapThread {
  const WSPPROC_TABLE* table;
  SOCKET s;
  HANDLE stop;
  long sends;
};

DWORD WINAPI SendUntilStopped(void* context) {
  auto& job = *static_cast<SwapThread*>(context);
  const std::string request = Request("www.both.swap.example");
  while (WaitForSingleObject(job.stop, 0) == WAIT_TIMEOUT) {
    WSABUF buffer{static_cast<ULONG>(request.size()), const_cast<char*>(request.data())};
    DWORD sent = 0;
    INT error = 0;
    job.table->lpWSPSend(job.s, &buffer, 1, &sent, 0, nullptr, nullptr, nullptr, &error);
    ++job.sends;
  }
  return 0;
}

// A sender: threads send a request for a host of every file without pause
// until the parent stops them, then one for a host of the last file alone.
// Its sends are written to a file for the parent to count.
TEST(CategoriesChild, SendsWhileSwapped) {
  if (ChildRole() != "category-sender") GTEST_SKIP() << "runs only as a child of Categories.*";
  char index[8] = {};
  GetEnvironmentVariableA("TARVEL_SENDER", index, sizeof index);
  const WSPPROC_TABLE table = StartOverRecorder('a', 6000 + std::atoi(index));
  Recorder().call_count = kMaxRecordedCalls;  // the threads share the recorder
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in server = LoopbackV4(8080);
  ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
  HANDLE stop = OpenEventA(SYNCHRONIZE, FALSE, kSwapStop);
  ASSERT_NE(stop, nullptr);
  SwapThread jobs[kSwapThreads];
  HANDLE threads[kSwapThreads];
  for (int t = 0; t < kSwapThreads; ++t) {
    jobs[t] = {&table, s, stop, 0};
    threads[t] = CreateThread(nullptr, 0, SendUntilStopped, &jobs[t], 0, nullptr);
    ASSERT_NE(threads[t], nullptr);
  }
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, (kSwapReady + std::string(index)).c_str());
  ASSERT_NE(ready, nullptr);
  SetEvent(ready);
  CloseHandle(ready);
  WaitForMultipleObjects(kSwapThreads, threads, TRUE, INFINITE);
  long sends = 0;
  for (int t = 0; t < kSwapThreads; ++t) {
    CloseHandle(threads[t]);
    sends += jobs[t].sends;
  }
  CloseHandle(stop);
  WriteFileBytes(TempPath(std::string("swap-sends-") + index), std::to_string(sends));
  Recorder().call_count = 0;
  EXPECT_EQ(SendRequest(table, s, Request("last.swap.example")), kCut);
  closesocket(s);
}

TEST(Categories, SwappedByTarvelctlUnderTwoSendingProcesses) {
  ASSERT_NE(Tarvel(), nullptr);  // the running filter tarvelctl changes
  ForgetSwapFiles();
  ASSERT_EQ(SwapByTarvelctl("add", 1), 0);
  const int slot = SlotOf(kSwapName);
  ASSERT_GE(slot, 0);
  const CategorySlot& shared_slot = TarvelExtensions().categories.slots[slot];
  const std::uint64_t blocks_before = CategoryBlocks(shared_slot);
  Endpoint listener;  // the senders connect to it; none is accepted
  ASSERT_TRUE(Open(SOCK_STREAM, 8080, listener));
  sockaddr_in address = listener.address;
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, kSwapStop);
  ASSERT_NE(stop, nullptr);
  std::vector<HANDLE> ready;
  std::vector<std::unique_ptr<Child>> senders;
  {
    ScopedEnv keep("TARVEL_TEST_SETTINGS", "keep");
    ScopedEnv role("TARVEL_CHILD", "category-sender");
    for (int i = 0; i < kSwapSenders; ++i) {
      const std::string n = std::to_string(i);
      ready.push_back(CreateEventA(nullptr, TRUE, FALSE, (kSwapReady + n).c_str()));
      ScopedEnv index("TARVEL_SENDER", n.c_str());
      senders.push_back(std::make_unique<Child>("CategoriesChild.*"));
    }
  }
  EXPECT_EQ(WaitForMultipleObjects(kSwapSenders, ready.data(), TRUE, 60000), WAIT_OBJECT_0);
  // Each update compiles a new file (tarvelctl never rewrites one) and
  // publishes it while the senders send.
  for (int serial = 2; serial <= kSwaps; ++serial) ASSERT_EQ(SwapByTarvelctl("update", serial), 0);
  // The last file's entry blocks at this process's next verdict.
  SOCKET own = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_EQ(connect(own, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const WSPPROC_TABLE table = StartOverRecorder();
  EXPECT_EQ(SendRequest(table, own, Request("last.swap.example")), kCut);
  closesocket(own);
  Sleep(100);
  SetEvent(stop);
  for (auto& sender : senders) EXPECT_EQ(sender->Wait(), 0);
  for (HANDLE h : ready) CloseHandle(h);
  CloseHandle(stop);
  // Every send was blocked: none found the category without a file.
  std::uint64_t sends = 0;
  for (int i = 0; i < kSwapSenders; ++i) {
    std::string count;
    ASSERT_TRUE(ReadFileBytes(TempPath("swap-sends-" + std::to_string(i)), count));
    sends += std::stoull(count);
  }
  EXPECT_GT(sends, 0u);
  EXPECT_EQ(CategoryBlocks(shared_slot) - blocks_before, sends + kSwapSenders + 1);
  TarvelExport<TextFn>("RemoveCategory")(kSwapName);
}

}  // namespace
}  // namespace tarvel::wine
