// The verdicts inside the real tarvel.dll: guards against faults, the port
// test on real loopback sockets, the exempt process.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/wine/harness.h"

namespace tarvel::wine {
namespace {

constexpr int kRecv = 19;
constexpr int kRecvFrom = 21;
constexpr int kSend = 23;
constexpr int kShutdown = 27;

using AddUrlFn = int(__cdecl*)(const char*);
using SetFlagFn = int(__cdecl*)(int);

// A blacklisted host, added once per process (a block takes 2000 additions).
const char* BlockedRequest() {
  static const bool added = TarvelExport<AddUrlFn>("AddBlackUrl")("blocked.example") == 1;
  EXPECT_TRUE(added);
  return "GET / HTTP/1.1\r\nHost: www.blocked.example\r\n\r\n";
}

std::string Entries(const RecorderState& rec) {
  std::string out;
  for (int i = 0; i < rec.call_count && i < kMaxRecordedCalls; ++i) {
    if (!out.empty()) out += ',';
    out += EntryName(rec.calls[i].entry);
  }
  return out;
}

// Sends `request` through tarvel's WSPSend on socket `s` over the recorder;
// returns the lower entries called.
std::string SendThrough(SOCKET s, const char* request) {
  WSPPROC_TABLE table = StartOverRecorder();
  WSABUF buffer{static_cast<ULONG>(std::strlen(request)), const_cast<char*>(request)};
  DWORD sent = 0xDEADBEEF;
  INT error = static_cast<INT>(0xDEADBEEF);
  const int result = table.lpWSPSend(s, &buffer, 1, &sent, 0, nullptr, nullptr, nullptr, &error);
  EXPECT_EQ(result, 1000 + kSend);
  EXPECT_EQ(error, 20000 + kSend);
  return Entries(Recorder());
}

// --- Guards -----------------------------------------------------------------

class Guards : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ConnectLoopback(AF_INET, 8080, pair_)) << WSAGetLastError();
    BlockedRequest();
    no_access_ =
        static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(no_access_, nullptr);
  }
  void TearDown() override { VirtualFree(no_access_, 0, MEM_RELEASE); }

  SocketPair pair_;
  char* no_access_ = nullptr;
};

TEST_F(Guards, UnreadableFirstBufferIsForwardedUnchanged) {
  WSPPROC_TABLE table = StartOverRecorder();
  WSABUF buffer{4096, no_access_};
  DWORD sent = 0;
  INT error = 0;
  EXPECT_EQ(
      table.lpWSPSend(pair_.client, &buffer, 1, &sent, 0x11, nullptr, nullptr, nullptr, &error),
      1000 + kSend);
  const RecorderState& rec = Recorder();
  ASSERT_EQ(Entries(rec), "WSPSend");
  const std::uintptr_t expected[] = {pair_.client,
                                     reinterpret_cast<std::uintptr_t>(&buffer),
                                     1,
                                     reinterpret_cast<std::uintptr_t>(&sent),
                                     0x11,
                                     0,
                                     0,
                                     0,
                                     reinterpret_cast<std::uintptr_t>(&error)};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(rec.calls[0].args[i], expected[i]) << "argument " << i;
}

TEST_F(Guards, UnreadableBufferArrayIsForwardedUnchanged) {
  WSPPROC_TABLE table = StartOverRecorder();
  DWORD sent = 0;
  INT error = 0;
  auto* buffers = reinterpret_cast<WSABUF*>(no_access_);
  EXPECT_EQ(table.lpWSPSend(pair_.client, buffers, 1, &sent, 0, nullptr, nullptr, nullptr, &error),
            1000 + kSend);
  EXPECT_EQ(Entries(Recorder()), "WSPSend");
}

TEST_F(Guards, UnreadableReceiveBufferReturnsFirstResult) {
  WSPPROC_TABLE table = StartOverRecorder();
  ASSERT_EQ(TarvelExport<SetFlagFn>("SetSmartFilter")(1), 1);
  WSABUF buffer{4096, no_access_};
  DWORD received = 0, flags = 0;
  INT error = 0;
  const int result = table.lpWSPRecv(pair_.client, &buffer, 1, &received, &flags, nullptr, nullptr,
                                     nullptr, &error);
  TarvelExport<SetFlagFn>("SetSmartFilter")(0);
  EXPECT_EQ(result, 1000 + kRecv);
  EXPECT_EQ(error, 20000 + kRecv);
  EXPECT_EQ(Entries(Recorder()), "WSPRecv");
}

// --- Faults in the lower provider ---------------------------------------------
// Whatever the fault, the call fails with WSAEFAULT, no lower call is made
// again, the out-parameters stay as they were and the process lives on.

enum class Call { kBlockedSend, kReceive, kReceiveFrom };

// The out-parameters of one call, filled with sentinels.
struct OutParams {
  OutParams() {
    std::memset(data, 0xAB, sizeof data);
    std::memset(&from, 0xAB, sizeof from);
  }
  bool Untouched() const {
    return bytes == 0xABABABABu && flags == 0xABABABABu && from_length == 0x0ABABABA &&
           static_cast<unsigned char>(data[0]) == 0xAB &&
           reinterpret_cast<const unsigned char*>(&from)[0] == 0xAB;
  }

  char data[16];
  WSABUF buffer{sizeof data, data};
  DWORD bytes = 0xABABABAB;
  DWORD flags = 0xABABABAB;
  sockaddr_in from;
  INT from_length = 0x0ABABABA;
};

int Make(const WSPPROC_TABLE& table, Call call, SOCKET s, OutParams& out, LPINT error) {
  if (call == Call::kReceive) {
    return table.lpWSPRecv(s, &out.buffer, 1, &out.bytes, &out.flags, nullptr, nullptr, nullptr,
                           error);
  }
  if (call == Call::kReceiveFrom) {
    return table.lpWSPRecvFrom(s, &out.buffer, 1, &out.bytes, &out.flags,
                               reinterpret_cast<sockaddr*>(&out.from), &out.from_length, nullptr,
                               nullptr, nullptr, error);
  }
  const char* request = BlockedRequest();
  WSABUF buffer{static_cast<ULONG>(std::strlen(request)), const_cast<char*>(request)};
  return table.lpWSPSend(s, &buffer, 1, &out.bytes, 0, nullptr, nullptr, nullptr, error);
}

struct LowerFaultRow {
  const char* name;
  Call call;
  int fault_entry;
  int fault_kind;
  const char* entries;
};

class LowerFault : public Guards, public ::testing::WithParamInterface<LowerFaultRow> {};

TEST_P(LowerFault, FailsWithFaultErrorAndIsNotRepeated) {
  const LowerFaultRow& row = GetParam();
  WSPPROC_TABLE table = StartOverRecorder();
  RecorderState& rec = Recorder();
  rec.fault_entry = row.fault_entry;
  rec.fault_kind = row.fault_kind;
  rec.fault_times = 1;
  OutParams out;
  INT error = static_cast<INT>(0xDEADBEEF);
  EXPECT_EQ(Make(table, row.call, pair_.client, out, &error), SOCKET_ERROR);
  EXPECT_EQ(error, WSAEFAULT);
  EXPECT_EQ(Entries(rec), row.entries);
  EXPECT_TRUE(out.Untouched());
}

constexpr int kViolation = kFaultAccessViolation;
constexpr int kNoncontinuable = kFaultNoncontinuable;

INSTANTIATE_TEST_SUITE_P(
    Rows, LowerFault,
    ::testing::Values(
        LowerFaultRow{"SendOfBlockViolation", Call::kBlockedSend, kSend, kViolation,
                      "WSPShutdown,WSPSend"},
        LowerFaultRow{"SendOfBlockNoncontinuable", Call::kBlockedSend, kSend, kNoncontinuable,
                      "WSPShutdown,WSPSend"},
        LowerFaultRow{"ShutdownOfBlockViolation", Call::kBlockedSend, kShutdown, kViolation,
                      "WSPShutdown"},
        LowerFaultRow{"ShutdownOfBlockNoncontinuable", Call::kBlockedSend, kShutdown,
                      kNoncontinuable, "WSPShutdown"},
        LowerFaultRow{"ReceiveViolation", Call::kReceive, kRecv, kViolation, "WSPRecv"},
        LowerFaultRow{"ReceiveNoncontinuable", Call::kReceive, kRecv, kNoncontinuable, "WSPRecv"},
        LowerFaultRow{"ReceiveFromViolation", Call::kReceiveFrom, kRecvFrom, kViolation,
                      "WSPRecvFrom"},
        LowerFaultRow{"ReceiveFromNoncontinuable", Call::kReceiveFrom, kRecvFrom, kNoncontinuable,
                      "WSPRecvFrom"}),
    [](const ::testing::TestParamInfo<LowerFaultRow>& info) {
      return std::string(info.param.name);
    });

TEST_F(Guards, FaultErrorThroughBadErrorPointerIsDropped) {
  for (Call call : {Call::kBlockedSend, Call::kReceiveFrom}) {
    WSPPROC_TABLE table = StartOverRecorder();
    Recorder().fault_entry = call == Call::kBlockedSend ? kSend : kRecvFrom;
    Recorder().fault_times = 1;
    OutParams out;
    EXPECT_EQ(Make(table, call, pair_.client, out, reinterpret_cast<LPINT>(no_access_)),
              SOCKET_ERROR);
  }
}

// --- The block action -------------------------------------------------------------

// The connection is cut with the lower shutdown of both directions on the
// caller's socket and error pointer; the send then goes down as called.
TEST(BlockAction, ShutsBothDirectionsThenSendsAsCalled) {
  SocketPair pair;
  ASSERT_TRUE(ConnectLoopback(AF_INET, 8080, pair)) << WSAGetLastError();
  WSPPROC_TABLE table = StartOverRecorder();
  const char* request = BlockedRequest();
  WSABUF buffer{static_cast<ULONG>(std::strlen(request)), const_cast<char*>(request)};
  DWORD sent = 0;
  INT error = 0;
  EXPECT_EQ(
      table.lpWSPSend(pair.client, &buffer, 1, &sent, 0x11, nullptr, nullptr, nullptr, &error),
      1000 + kSend);
  const RecorderState& rec = Recorder();
  ASSERT_EQ(Entries(rec), "WSPShutdown,WSPSend");
  const auto error_arg = reinterpret_cast<std::uintptr_t>(&error);
  const std::uintptr_t shutdown[] = {pair.client, SD_BOTH, error_arg};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(rec.calls[0].args[i], shutdown[i]) << "argument " << i;
  const std::uintptr_t send[] = {pair.client, reinterpret_cast<std::uintptr_t>(&buffer),
                                 1,           reinterpret_cast<std::uintptr_t>(&sent),
                                 0x11,        0,
                                 0,           0,
                                 error_arg};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(rec.calls[1].args[i], send[i]) << "argument " << i;
}

// --- The port test on real sockets -------------------------------------------

struct PortRow {
  const char* name;
  int family;
  u_short port;       // the listener's port
  bool use_accepted;  // judge the server side (local port) instead of the client
  const char* entries;
};

class HttpSocket : public ::testing::TestWithParam<PortRow> {};

TEST_P(HttpSocket, JudgedOnlyOnHttpPorts) {
  const PortRow& row = GetParam();
  SocketPair pair;
  ASSERT_TRUE(ConnectLoopback(row.family, row.port, pair)) << WSAGetLastError();
  EXPECT_EQ(SendThrough(row.use_accepted ? pair.accepted : pair.client, BlockedRequest()),
            row.entries);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HttpSocket,
    ::testing::Values(PortRow{"Remote8080", AF_INET, 8080, false, "WSPShutdown,WSPSend"},
                      PortRow{"Local8080", AF_INET, 8080, true, "WSPShutdown,WSPSend"},
                      PortRow{"Remote80", AF_INET, 80, false, "WSPShutdown,WSPSend"},
                      PortRow{"Local80", AF_INET, 80, true, "WSPShutdown,WSPSend"},
                      PortRow{"OtherPortClient", AF_INET, 0, false, "WSPSend"},
                      PortRow{"OtherPortServer", AF_INET, 0, true, "WSPSend"},
                      PortRow{"Ipv6Remote8080", AF_INET6, 8080, false, "WSPShutdown,WSPSend"},
                      PortRow{"Ipv6Local80", AF_INET6, 80, true, "WSPShutdown,WSPSend"},
                      PortRow{"Ipv6OtherPort", AF_INET6, 0, false, "WSPSend"}),
    [](const ::testing::TestParamInfo<PortRow>& info) { return std::string(info.param.name); });

TEST(HttpSocketEdge, UnconnectedSocketIsNotJudged) {
  EnsureWinsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(s, INVALID_SOCKET);
  EXPECT_EQ(SendThrough(s, BlockedRequest()), "WSPSend");
  closesocket(s);
}

TEST(HttpSocketEdge, NotASocketIsNotJudged) {
  EXPECT_EQ(SendThrough(static_cast<SOCKET>(0x7FF0), BlockedRequest()), "WSPSend");
}

// --- The exempt process ---------------------------------------------------------

// Runs in a child: judges a blocked request on an HTTP socket and expects to
// be exempt or not as the parent says.
TEST(ExemptChild, SendJudgedAsParentExpects) {
  char expect[8] = {};
  if (GetEnvironmentVariableA("TARVEL_EXPECT_EXEMPT", expect, sizeof expect) == 0) {
    GTEST_SKIP() << "runs only as a child of Exempt.*";
  }
  SocketPair http;
  ASSERT_TRUE(ConnectLoopback(AF_INET, 8080, http)) << WSAGetLastError();
  EXPECT_EQ(SendThrough(http.client, BlockedRequest()),
            expect[0] == '1' ? "WSPSend" : "WSPShutdown,WSPSend");
}

struct ExemptRow {
  const char* name;
  const char* image;
  const char* exempt;
};

class Exempt : public ::testing::TestWithParam<ExemptRow> {};

TEST_P(Exempt, ByImageName) {
  const ExemptRow& row = GetParam();
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string dir = std::string(temp) + "tarvel-exempt-" + row.name;
  CreateDirectoryA(dir.c_str(), nullptr);
  const std::string copy = dir + "\\" + row.image;
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  ASSERT_TRUE(CopyFileA(self, copy.c_str(), FALSE)) << GetLastError();
  SetEnvironmentVariableA("TARVEL_BIN_DIR", BinDir().c_str());
  SetEnvironmentVariableA("TARVEL_EXPECT_EXEMPT", row.exempt);
  const int code = RunProcess(copy, "--gtest_filter=ExemptChild.*");
  SetEnvironmentVariableA("TARVEL_EXPECT_EXEMPT", nullptr);
  SetEnvironmentVariableA("TARVEL_BIN_DIR", nullptr);
  DeleteFileA(copy.c_str());
  RemoveDirectoryA(dir.c_str());
  EXPECT_EQ(code, 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, Exempt,
                         ::testing::Values(ExemptRow{"UpperCase", "MSNMSGR.EXE", "1"},
                                           ExemptRow{"LowerCase", "msnmsgr.exe", "1"},
                                           ExemptRow{"OtherName", "msnmsgr2.exe", "0"},
                                           ExemptRow{"SuffixAfterExe", "msnmsgr.exe.bak.exe", "0"}),
                         [](const ::testing::TestParamInfo<ExemptRow>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tarvel::wine
