// Module attach and the shared block across real processes: a control
// process's addition reaches a filtering process at its next send, additions
// made at once by several processes each take a slot of their own, a block
// ends with its last process and the next one is set up afresh, processes
// attaching at the same moment set a block up once, a missing white list
// file leaves the lists off.
//
// The NewBlock tests never load tarvel.dll themselves: each needs a block
// that no process holds yet, which their children then create.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "filter/phrases.h"
#include "filter/url_match.h"
#include "tests/wine/harness.h"

namespace tarvel::wine {
namespace {

using TextFn = int(__cdecl*)(const char*);
using ValueFn = int(__cdecl*)(int);

std::string Text(const FilterState& s, ListKind kind, int slot) {
  const UrlList list = ListOf(s, kind);
  return std::string(list.entries[slot], EntryLength(list.entries[slot]));
}

std::string Request(const std::string& host) {
  return "GET / HTTP/1.1\r\nHost: " + host + "\r\nAccept: */*\r\n\r\n";
}

// The role a child of a NewBlock test plays, or "" in any other process.
std::string ChildRole() {
  char role[64] = {};
  GetEnvironmentVariableA("TARVEL_CHILD", role, sizeof role);
  return role;
}

#define RUN_ONLY_AS_CHILD(role) \
  if (ChildRole() != (role)) GTEST_SKIP() << "runs only as the child " << (role)

// --- Within one block -----------------------------------------------------------

// Runs in a second process: the control program's one call.
TEST(ControlChild, AddsTheHostItIsGiven) {
  char host[100] = {};
  if (GetEnvironmentVariableA("TARVEL_CONTROL_ADD", host, sizeof host) == 0) {
    GTEST_SKIP() << "runs only as a child of Processes.*";
  }
  EXPECT_EQ(TarvelExport<TextFn>("AddBlackUrl")(host), 1);
}

TEST(Processes, AdditionInAControlProcessBlocksTheNextSend) {
  SocketPair pair;
  ASSERT_TRUE(ConnectLoopback(AF_INET, 8080, pair)) << WSAGetLastError();
  const WSPPROC_TABLE table = StartOverRecorder();
  ASSERT_EQ(TarvelBlock().lists_ready, 1);
  const std::string request = Request("www.added-elsewhere.example");
  ASSERT_EQ(SendRequest(table, pair.client, request), "WSPSend");
  {
    ScopedEnv add("TARVEL_CONTROL_ADD", "added-elsewhere.example");
    ScopedEnv keep("TARVEL_TEST_SETTINGS", "keep");
    ASSERT_EQ(RunSelf("ControlChild.*"), 0);
  }
  EXPECT_EQ(SendRequest(table, pair.client, request), "WSPShutdown,WSPSend");
}

DWORD WINAPI DoNothing(void*) { return 0; }

TEST(Processes, ThreadStartedAndEndedAddsTwo) {
  const std::int32_t& counter = TarvelBlock().attach_counter;
  const std::int32_t before = Load(counter);
  HANDLE thread = CreateThread(nullptr, 0, DoNothing, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_EQ(Load(counter), before + 2);
}

// --- Additions at the same moment ---------------------------------------------

// Adders in several processes, several threads each, add distinct hosts at
// once while a judge process matches without pause. Every addition takes a
// slot of its own, whole; the judge never matches a host that holds no
// added text. Half of the texts begin with the judge's host and the others
// are short, so that a text torn between two additions to one slot would
// likely be a piece of the judge's host.
constexpr int kAdders = 3;
constexpr int kAdderThreads = 4;
constexpr int kAddsPerThread = 150;
constexpr char kJudgedHost[] = "judge.test";
constexpr char kAddGoEvent[] = "Local\\tarvel-test-add-go";
constexpr char kJudgeStopEvent[] = "Local\\tarvel-test-judge-stop";

std::string AddedText(unsigned long process, int thread, int k) {
  char text[64];
  std::snprintf(text, sizeof text, k % 2 == 0 ? "%s.%lu-%d-%d" : "q%.0s%lu-%d-%d", kJudgedHost,
                process, thread, k);
  return text;
}

// Every thread waits for the go itself, so that all adders of all processes
// start at the same moment.
DWORD WINAPI AddTexts(void* context) {
  const int thread = static_cast<int>(reinterpret_cast<INT_PTR>(context));
  const auto add = TarvelExport<TextFn>("AddBlackUrl");
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, kAddGoEvent);
  if (go == nullptr || WaitForSingleObject(go, 30000) != WAIT_OBJECT_0) return kAddsPerThread;
  CloseHandle(go);
  DWORD refused = 0;
  for (int k = 0; k < kAddsPerThread; ++k) {
    if (add(AddedText(GetCurrentProcessId(), thread, k).c_str()) != 1) ++refused;
  }
  return refused;
}

TEST(AdderChild, AddsItsTextsFromSeveralThreads) {
  if (ChildRole() != "adder") GTEST_SKIP() << "runs only as a child of Processes.*";
  Tarvel();
  HANDLE threads[kAdderThreads];
  for (int t = 0; t < kAdderThreads; ++t) {
    threads[t] =
        CreateThread(nullptr, 0, AddTexts, reinterpret_cast<void*>(INT_PTR{t}), 0, nullptr);
    ASSERT_NE(threads[t], nullptr);
  }
  WaitForMultipleObjects(kAdderThreads, threads, TRUE, INFINITE);
  for (HANDLE thread : threads) {
    DWORD refused = 1;
    GetExitCodeThread(thread, &refused);
    EXPECT_EQ(refused, 0u);
    CloseHandle(thread);
  }
}

TEST(AdderChild, JudgesUntilStopped) {
  if (ChildRole() != "judge") GTEST_SKIP() << "runs only as a child of Processes.*";
  HANDLE stop = OpenEventA(SYNCHRONIZE, FALSE, kJudgeStopEvent);
  ASSERT_NE(stop, nullptr);
  Host host = {};
  std::memcpy(host.text, kJudgedHost, sizeof kJudgedHost);
  host.length = sizeof kJudgedHost - 1;
  const UrlList black = ListOf(TarvelBlock(), ListKind::kBlack);
  long judged = 0;
  while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
    ASSERT_EQ(MatchUrlList(black, host), 0) << "matched a text nobody added";
    ++judged;
  }
  EXPECT_GT(judged, 0);
  CloseHandle(stop);
}

TEST(Processes, AdditionsAtOnceEachTakeASlotWhole) {
  const FilterState& block = TarvelBlock();
  const int before = Load(block.black_count);
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, kAddGoEvent);
  HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, kJudgeStopEvent);
  ASSERT_TRUE(go && stop);
  std::set<std::string> expected;
  {
    ScopedEnv keep("TARVEL_TEST_SETTINGS", "keep");
    ScopedEnv judge_role("TARVEL_CHILD", "judge");
    Child judge("AdderChild.*");
    ScopedEnv adder_role("TARVEL_CHILD", "adder");
    std::vector<std::unique_ptr<Child>> adders;
    for (int i = 0; i < kAdders; ++i) adders.push_back(std::make_unique<Child>("AdderChild.*"));
    Sleep(1500);  // the children open the events before they wait
    SetEvent(go);
    for (auto& adder : adders) EXPECT_EQ(adder->Wait(), 0);
    SetEvent(stop);
    EXPECT_EQ(judge.Wait(), 0) << "the judge matched a torn or half-written text";
  }
  const int added = kAdders * kAdderThreads * kAddsPerThread;
  ASSERT_EQ(Load(block.black_count), before + added) << "additions lost or doubled";
  // Each slot holds one text exactly as an adder made it; each adder's
  // texts all arrived, once.
  std::set<std::string> seen;
  std::map<unsigned long, int> per_adder;
  for (int k = before; k < before + added; ++k) {
    ASSERT_EQ(block.black_active[k], 1) << "slot " << k;
    const std::string text = Text(block, ListKind::kBlack, k);
    unsigned long process = 0;
    int thread = -1, n = -1;
    const char* format = text[0] == 'q' ? "q%lu-%d-%d" : "judge.test.%lu-%d-%d";
    const bool parsed = std::sscanf(text.c_str(), format, &process, &thread, &n) == 3;
    EXPECT_TRUE(parsed && AddedText(process, thread, n) == text) << "slot " << k << ": " << text;
    EXPECT_TRUE(seen.insert(text).second) << text << " twice";
    ++per_adder[process];
  }
  EXPECT_EQ(per_adder.size(), static_cast<std::size_t>(kAdders));
  for (const auto& [process, count] : per_adder) {
    EXPECT_EQ(count, kAdderThreads * kAddsPerThread) << "adder " << process;
  }
  for (HANDLE h : {go, stop}) CloseHandle(h);
}

// --- New blocks ------------------------------------------------------------------------

// Writes the settings a NewBlock test's children set their block up from.
struct BlockSettings {
  const char* white_only;
  const char* smart;  // and the HTTPS filter
  std::string white_path;
  std::string black_path;
};

void WriteSettings(const BlockSettings& s) {
  SetSetting("iswhi", std::string(s.white_only) + '\0');
  SetSetting("issma", std::string(s.smart) + '\0');
  SetSetting("issni", std::string(s.smart) + '\0');
  SetSetting("whitelib", s.white_path + '\0');
  SetSetting("blacklib", s.black_path + '\0');
}

// A NewBlock test needs its children to create the block.
bool HoldsNoBlock() { return GetModuleHandleA("tarvel.dll") == nullptr; }

// Runs `role` as a child that keeps the settings given, and its exit code.
int RunChild(const char* role) {
  ScopedEnv child("TARVEL_CHILD", role);
  ScopedEnv keep("TARVEL_TEST_SETTINGS", "keep");
  return RunSelf("BlockChild.*");
}

TEST(BlockChild, FirstBlock) {
  RUN_ONLY_AS_CHILD("first");
  const FilterState& block = TarvelBlock();
  EXPECT_EQ(block.attach_counter, 1) << "the block was not new";
  EXPECT_EQ(block.white_only, 0);
  EXPECT_EQ(block.smart_filter, 0);
  EXPECT_EQ(TarvelExtensions().https_filter, 0);
  EXPECT_EQ(block.phrase_count, kBuiltInPhraseCount);
  EXPECT_EQ(block.lists_ready, 1);
  ASSERT_EQ(block.white_count, 1);
  EXPECT_EQ(Text(block, ListKind::kWhite, 0), "first-white.example");
  ASSERT_EQ(block.black_count, 1);
  EXPECT_EQ(Text(block, ListKind::kBlack, 0), "first-black.example");
  EXPECT_EQ(TarvelExport<TextFn>("AddBlackUrl")("added-in-first.example"), 1);
  EXPECT_EQ(TarvelExport<ValueFn>("SetSmartFilter")(1), 1);
}

TEST(BlockChild, SecondBlock) {
  RUN_ONLY_AS_CHILD("second");
  const FilterState& block = TarvelBlock();
  EXPECT_EQ(block.attach_counter, 1) << "the block was not new";
  EXPECT_EQ(block.white_only, 1);
  EXPECT_EQ(block.smart_filter, 1);
  EXPECT_EQ(TarvelExtensions().https_filter, 1);
  EXPECT_EQ(block.lists_ready, 1);
  ASSERT_EQ(block.white_count, 1);
  EXPECT_EQ(Text(block, ListKind::kWhite, 0), "second-white.example");
  ASSERT_EQ(block.black_count, 2);
  EXPECT_EQ(Text(block, ListKind::kBlack, 0), "second-black.example");
  EXPECT_EQ(Text(block, ListKind::kBlack, 1), "another-black.example");
  EXPECT_EQ(Text(block, ListKind::kBlack, 2), "") << "an addition of the first block is left";
}

TEST(NewBlock, SetUpAgainFromChangedSettingsAfterTheLastProcess) {
  ASSERT_TRUE(HoldsNoBlock()) << "this process holds a block already";
  const std::string white = TempPath("newblock-white.lst");
  const std::string black1 = TempPath("newblock-black1.lst");
  const std::string black2 = TempPath("newblock-black2.lst");
  WriteFileBytes(white, ListFileBytes({"first-white.example"}));
  WriteFileBytes(black1, ListFileBytes({"first-black.example"}));
  WriteFileBytes(black2, ListFileBytes({"second-black.example", "another-black.example"}));
  WriteSettings({"0", "0", white, black1});
  ASSERT_EQ(RunChild("first"), 0);

  // Every process of the first block has ended.
  WriteFileBytes(white, ListFileBytes({"second-white.example"}));
  WriteSettings({"1", "1", white, black2});
  EXPECT_EQ(RunChild("second"), 0);
  for (const std::string& path : {white, black1, black2}) DeleteFileA(path.c_str());
}

// --- Processes attaching at the same moment -----------------------------------------------

constexpr int kRacers = 6;
constexpr int kWhiteEntries = 2000;
constexpr int kBlackEntries = 1500;
constexpr char kGoEvent[] = "Local\\tarvel-test-attach-go";
constexpr char kAddedSemaphore[] = "Local\\tarvel-test-attach-added";
constexpr char kReleaseEvent[] = "Local\\tarvel-test-attach-release";

std::string Numbered(const char* prefix, int k) {
  char text[32];
  std::snprintf(text, sizeof text, "%s-%04d.example", prefix, k);
  return text;
}

std::string NumberedList(const char* prefix, int n) {
  std::string bytes = HeaderRecord();
  for (int k = 0; k < n; ++k) {
    std::string record = Numbered(prefix, k);
    record.resize(100, '\0');
    bytes += record;
  }
  return bytes;
}

// Each racer waits for the start, loads the module, adds its own entry and
// holds the block until the parent has had it checked.
TEST(BlockChild, Racer) {
  RUN_ONLY_AS_CHILD("racer");
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, kGoEvent);
  HANDLE added = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, kAddedSemaphore);
  HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, kReleaseEvent);
  ASSERT_TRUE(go && added && release);
  ASSERT_EQ(WaitForSingleObject(go, 30000), WAIT_OBJECT_0);
  Tarvel();
  // The attaches race, and so do the additions: each takes a slot of its own.
  const std::string mine = "racer-" + std::to_string(GetCurrentProcessId()) + ".example";
  EXPECT_EQ(TarvelExport<TextFn>("AddBlackUrl")(mine.c_str()), 1);
  ReleaseSemaphore(added, 1, nullptr);
  EXPECT_EQ(WaitForSingleObject(release, 30000), WAIT_OBJECT_0);
  for (HANDLE h : {go, added, release}) CloseHandle(h);
}

// Joins the racers' block once they have all added their entries.
TEST(BlockChild, RaceChecker) {
  RUN_ONLY_AS_CHILD("checker");
  const FilterState& block = TarvelBlock();
  EXPECT_EQ(block.lists_ready, 1);
  EXPECT_EQ(block.phrase_count, kBuiltInPhraseCount);
  ASSERT_EQ(block.white_count, kWhiteEntries);
  for (int k = 0; k < kWhiteEntries; ++k) {
    ASSERT_EQ(Text(block, ListKind::kWhite, k), Numbered("white", k)) << "slot " << k;
  }
  ASSERT_EQ(block.black_count, kBlackEntries + kRacers) << "entries loaded twice or additions lost";
  for (int k = 0; k < kBlackEntries; ++k) {
    ASSERT_EQ(Text(block, ListKind::kBlack, k), Numbered("black", k)) << "slot " << k;
  }
  std::set<std::string> racers;
  for (int k = kBlackEntries; k < kBlackEntries + kRacers; ++k) {
    const std::string text = Text(block, ListKind::kBlack, k);
    EXPECT_EQ(text.rfind("racer-", 0), 0u) << text;
    racers.insert(text);
  }
  EXPECT_EQ(racers.size(), static_cast<std::size_t>(kRacers));
}

TEST(NewBlock, ProcessesAttachingAtOnceSetTheBlockUpOnce) {
  ASSERT_TRUE(HoldsNoBlock()) << "this process holds a block already";
  const std::string white = TempPath("race-white.lst");
  const std::string black = TempPath("race-black.lst");
  WriteFileBytes(white, NumberedList("white", kWhiteEntries));
  WriteFileBytes(black, NumberedList("black", kBlackEntries));
  WriteSettings({"0", "0", white, black});
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, kGoEvent);
  HANDLE added = CreateSemaphoreA(nullptr, 0, kRacers, kAddedSemaphore);
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, kReleaseEvent);
  ASSERT_TRUE(go && added && release);
  {
    ScopedEnv role("TARVEL_CHILD", "racer");
    ScopedEnv keep("TARVEL_TEST_SETTINGS", "keep");
    std::vector<std::unique_ptr<Child>> racers;
    for (int i = 0; i < kRacers; ++i) racers.push_back(std::make_unique<Child>("BlockChild.*"));
    // Racers open the events before they wait; give the last one time to get there.
    Sleep(1500);
    SetEvent(go);
    int arrived = 0;
    while (arrived < kRacers && WaitForSingleObject(added, 30000) == WAIT_OBJECT_0) ++arrived;
    EXPECT_EQ(arrived, kRacers);
    EXPECT_EQ(RunChild("checker"), 0);
    SetEvent(release);
    for (auto& racer : racers) EXPECT_EQ(racer->Wait(), 0);
  }
  for (HANDLE h : {go, added, release}) CloseHandle(h);
  DeleteFileA(white.c_str());
  DeleteFileA(black.c_str());
}

// --- A missing white list file -------------------------------------------------------------

TEST(BlockChild, WithoutWhiteListFile) {
  RUN_ONLY_AS_CHILD("no-white-file");
  SocketPair pair;
  ASSERT_TRUE(ConnectLoopback(AF_INET, 8080, pair)) << WSAGetLastError();
  const WSPPROC_TABLE table = StartOverRecorder();
  FilterState& block = TarvelBlock();
  EXPECT_EQ(block.lists_ready, 0);
  ASSERT_EQ(block.black_count, 1) << "the black list file is loaded all the same";
  EXPECT_EQ(Text(block, ListKind::kBlack, 0), "on-the-file.example");

  EXPECT_EQ(SendRequest(table, pair.client, Request("www.on-the-file.example")), "WSPSend");
  EXPECT_EQ(TarvelExport<TextFn>("AddBlackUrl")("added.example"), 1);
  EXPECT_EQ(SendRequest(table, pair.client, Request("added.example")), "WSPSend");
  EXPECT_EQ(TarvelExport<ValueFn>("SetOnlyWhiteUrl")(1), 1);
  EXPECT_EQ(SendRequest(table, pair.client, Request("anything.example")), "WSPSend");

  // The keyword test does not depend on the lists.
  const std::string page = "GET /erotic/stories HTTP/1.1\r\nHost: on-the-file.example\r\n\r\n";
  EXPECT_EQ(SendRequest(table, pair.client, page), "WSPSend");
  EXPECT_EQ(TarvelExport<ValueFn>("SetSmartFilter")(1), 1);
  EXPECT_EQ(SendRequest(table, pair.client, page), "WSPShutdown,WSPSend");
}

TEST(NewBlock, MissingWhiteListFileSwitchesTheListsOff) {
  ASSERT_TRUE(HoldsNoBlock()) << "this process holds a block already";
  const std::string white = TempPath("missing-white.lst");
  const std::string black = TempPath("present-black.lst");
  DeleteFileA(white.c_str());
  WriteFileBytes(black, ListFileBytes({"on-the-file.example"}));
  WriteSettings({"0", "0", white, black});
  EXPECT_EQ(RunChild("no-white-file"), 0);
  EXPECT_EQ(GetFileAttributesA(white.c_str()), INVALID_FILE_ATTRIBUTES) << "the loader made a file";
  DeleteFileA(black.c_str());
}

// --- A list file tried again -------------------------------------------------------

// The first process sets the block up while the white list file is held
// without read sharing, and stays; once the file is free, a second process
// attaches and tries the files again. With an edit made in between, the
// lists are left as they are.
constexpr char kRetryReady[] = "Local\\tarvel-test-retry-ready";
constexpr char kRetryEnd[] = "Local\\tarvel-test-retry-end";

bool EditRow() { return ChildRole().find("edited") != std::string::npos; }

TEST(BlockChild, HeldFileFirst) {
  if (ChildRole().rfind("held-first", 0) != 0) GTEST_SKIP() << "runs only as a retry child";
  const FilterState& block = TarvelBlock();
  EXPECT_EQ(block.attach_counter, 1) << "the block was not new";
  EXPECT_EQ(block.lists_ready, 0) << "the held file was read";
  if (EditRow()) {
    EXPECT_EQ(TarvelExport<TextFn>("AddBlackUrl")("edited.example"), 1);
  }
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, kRetryReady);
  HANDLE end = OpenEventA(SYNCHRONIZE, FALSE, kRetryEnd);
  ASSERT_TRUE(ready != nullptr && end != nullptr);
  SetEvent(ready);
  EXPECT_EQ(WaitForSingleObject(end, 120000), WAIT_OBJECT_0);
  // The second process's try reached this one too.
  EXPECT_EQ(block.lists_ready, EditRow() ? 0 : 1);
  for (HANDLE h : {ready, end}) CloseHandle(h);
}

TEST(BlockChild, SecondTriesAgain) {
  if (ChildRole().rfind("retry-second", 0) != 0) GTEST_SKIP() << "runs only as a retry child";
  const FilterState& block = TarvelBlock();
  const bool edited = EditRow();
  EXPECT_EQ(block.lists_ready, edited ? 0 : 1);
  ASSERT_EQ(block.white_count, edited ? 0 : 1);
  ASSERT_EQ(block.black_count, edited ? 2 : 1);
  EXPECT_EQ(Text(block, ListKind::kBlack, 0), "held-black.example");
  if (edited) {
    EXPECT_EQ(Text(block, ListKind::kBlack, 1), "edited.example");
  }
}

TEST(NewBlock, UnreadableListFileTriedAgainByALaterProcess) {
  ASSERT_TRUE(HoldsNoBlock()) << "this process holds a block already";
  const std::string white = TempPath("held-white.lst");
  const std::string black = TempPath("held-black.lst");
  WriteFileBytes(white, ListFileBytes({"held-white.example"}));
  WriteFileBytes(black, ListFileBytes({"held-black.example"}));
  WriteSettings({"0", "0", white, black});
  for (const char* edit : {"", "-edited"}) {
    SCOPED_TRACE(std::string("row") + edit);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, kRetryReady);
    HANDLE end = CreateEventA(nullptr, TRUE, FALSE, kRetryEnd);
    HANDLE held = CreateFileA(white.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::unique_ptr<Child> first;
    {
      ScopedEnv role("TARVEL_CHILD", (std::string("held-first") + edit).c_str());
      ScopedEnv keep("TARVEL_TEST_SETTINGS", "keep");
      first = std::make_unique<Child>("BlockChild.*");
    }
    ASSERT_TRUE(first->started());
    HANDLE waits[2] = {ready, first->handle()};
    EXPECT_EQ(WaitForMultipleObjects(2, waits, FALSE, kChildTimeoutMs), WAIT_OBJECT_0);
    CloseHandle(held);
    EXPECT_EQ(RunChild((std::string("retry-second") + edit).c_str()), 0);
    SetEvent(end);
    EXPECT_EQ(first->Wait(), 0);
    for (HANDLE h : {ready, end}) CloseHandle(h);
  }
  DeleteFileA(white.c_str());
  DeleteFileA(black.c_str());
}

}  // namespace
}  // namespace tarvel::wine
