// 64-bit Windows runs a filter for 64-bit programs and one for 32-bit
// programs, each with a block of its own. Run by the i686 tree in its prefix:
// this process (built for x86_64) is a running 64-bit filter, a child built
// for i686 the running 32-bit one. The 64-bit tarvelctl writes the settings
// the 32-bit filter then starts from, and one block command of it reaches
// both filters at their next send.
#include <gtest/gtest.h>

#include <string>

#include "tests/wine/harness.h"

namespace tarvel::wine {
namespace {

constexpr char kReadyEvent[] = "Local\\tarvel-test-both-ready";
constexpr char kGoEvent[] = "Local\\tarvel-test-both-go";

// The i686 tree's folder, ending in '\', or "" when this run has none.
std::string X86Dir() {
  char dir[MAX_PATH] = {};
  const DWORD n = GetEnvironmentVariableA("TARVEL_X86_DIR", dir, MAX_PATH);
  return n > 0 && n < MAX_PATH ? dir : "";
}

bool IsChild() {
  char role[16] = {};
  GetEnvironmentVariableA("TARVEL_CHILD", role, sizeof role);
  return std::string(role) == "filter32";
}

std::string Request(const std::string& host) {
  return "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

std::string Entry(const FilterState& block, ListKind kind, int slot) {
  const UrlList list = ListOf(block, kind);
  return std::string(list.entries[slot], EntryLength(list.entries[slot]));
}

// The running 32-bit filter: a new block from the settings the parent wrote,
// a send before the parent's block command and one after it.
TEST(BothArchitecturesChild, Filter32) {
  if (!IsChild()) GTEST_SKIP() << "runs only as the child of BothArchitectures.*";
  const FilterState& block = TarvelBlock();
  EXPECT_EQ(block.attach_counter, 1) << "the block was not new";
  EXPECT_EQ(block.white_only, 0);
  EXPECT_EQ(block.smart_filter, 1);
  EXPECT_EQ(block.lists_ready, 1);
  ASSERT_EQ(block.white_count, 1);
  EXPECT_EQ(Entry(block, ListKind::kWhite, 0), "white32.example");
  ASSERT_EQ(block.black_count, 1);
  EXPECT_EQ(Entry(block, ListKind::kBlack, 0), "black32.example");

  SocketPair pair;
  ASSERT_TRUE(ConnectLoopback(AF_INET, 80, pair)) << WSAGetLastError();
  const WSPPROC_TABLE table = StartOverRecorder('a', 4343);
  EXPECT_EQ(SendRequest(table, pair.client, Request("www.both.example")), "WSPSend");
  HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, kReadyEvent);
  HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, kGoEvent);
  ASSERT_TRUE(ready && go);
  SetEvent(ready);
  ASSERT_EQ(WaitForSingleObject(go, kChildTimeoutMs), WAIT_OBJECT_0);
  EXPECT_EQ(SendRequest(table, pair.client, Request("www.both.example")), "WSPShutdown,WSPSend");
  CloseHandle(ready);
  CloseHandle(go);
}

TEST(BothArchitectures, SettingsAndABlockReachThe32BitFilter) {
  const std::string x86 = X86Dir();
  if (x86.empty()) GTEST_SKIP() << "needs TARVEL_X86_DIR, the i686 tree (its ctest sets it)";
  ASSERT_EQ(sizeof(void*), 8u) << "runs in the x86_64 test program";
  // This process is the running 64-bit filter.
  TarvelBlock();
  SocketPair pair;
  ASSERT_TRUE(ConnectLoopback(AF_INET, 8080, pair)) << WSAGetLastError();
  const WSPPROC_TABLE table = StartOverRecorder();

  // The package's layout: x64\tarvelctl.exe finds ..\x86\tarvelctl.exe.
  const std::string tool = x86 + "package\\x64\\tarvelctl.exe";
  const std::string modules =
      " --dll \"" + BinDir() + "tarvel.dll\" --dll32 \"" + x86 + "tarvel.dll\"";
  const std::string white = TempPath("both-white.lst");
  const std::string black = TempPath("both-black.lst");
  WriteFileBytes(white, ListFileBytes({"white32.example"}));
  WriteFileBytes(black, ListFileBytes({"black32.example"}));
  const std::string settings[] = {"config set iswhi off", "config set issma on",
                                  "config set whitelib \"" + white + "\"",
                                  "config set blacklib \"" + black + "\""};
  for (const std::string& args : settings) {
    const Ran ran = RunCaptured(tool, args);
    ASSERT_EQ(ran.code, 0) << args << ": " << ran.err;
  }

  HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, kReadyEvent);
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, kGoEvent);
  ASSERT_TRUE(ready && go);
  {
    ScopedEnv role("TARVEL_CHILD", "filter32");
    ScopedEnv keep("TARVEL_TEST_SETTINGS", "keep");
    Child filter32("BothArchitecturesChild.*", x86 + "tarvel_wine_tests.exe");
    ASSERT_TRUE(filter32.started());
    HANDLE either[] = {ready, filter32.handle()};
    ASSERT_EQ(WaitForMultipleObjects(2, either, FALSE, kChildTimeoutMs), WAIT_OBJECT_0)
        << "the 32-bit filter ended or did not start: " << filter32.Wait(0);
    EXPECT_EQ(SendRequest(table, pair.client, Request("www.both.example")), "WSPSend");

    Ran ran = RunCaptured(tool, "block both.example" + modules);
    EXPECT_EQ(ran.code, 0) << ran.err;
    EXPECT_EQ(ran.out,
              "blocked \"both.example\" in the running filter (64-bit programs)\r\n"
              "blocked \"both.example\" in the running filter (32-bit programs)\r\n"
              "The change lasts while some program holds tarvel.dll; add --persist to keep "
              "it.\r\n");
    EXPECT_EQ(SendRequest(table, pair.client, Request("www.both.example")), "WSPShutdown,WSPSend");

    ran = RunCaptured(tool, "status" + modules);
    EXPECT_EQ(ran.code, 0) << ran.err;
    EXPECT_NE(ran.out.find("running filter (32-bit programs): white-only mode off, smart filter "
                           "on, HTTPS filter off, unlocked, lists loaded\r\n  whitelist: 1 "
                           "entries, room for 1999 more "
                           "additions\r\n  blacklist: 2 entries, room for 1998 more additions\r\n"),
              std::string::npos)
        << ran.out;
    SetEvent(go);
    EXPECT_EQ(filter32.Wait(), 0) << "the 32-bit filter's checks failed";
  }
  TarvelExport<int(__cdecl*)(const char*)>("DelBlackUrl")("both.example");
  PrepareDefaultSettings();
  for (HANDLE h : {ready, go}) CloseHandle(h);
  DeleteFileA(white.c_str());
  DeleteFileA(black.c_str());
}

}  // namespace
}  // namespace tarvel::wine
