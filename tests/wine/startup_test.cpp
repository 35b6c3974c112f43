// WSPStartup of the real tarvel.dll over recording lower providers: where it
// looks the lower module up, what it hands out, every failure, and the 28
// entries that forward.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/wine/harness.h"

namespace tarvel::wine {
namespace {

constexpr int kEntries = 30;
constexpr int kSend = 23;

using Slot = void*;
Slot* Slots(WSPPROC_TABLE& table) { return reinterpret_cast<Slot*>(&table); }

bool InsideModule(const void* address, HMODULE module) {
  HMODULE owner = nullptr;
  return GetModuleHandleExA(
             GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
             static_cast<LPCSTR>(address), &owner) &&
         owner == module;
}

void ResetRecorder(char which, int result_base) {
  RecorderState& rec = Recorder(which);
  std::memset(&rec, 0, sizeof rec);
  rec.result_base = result_base;
  rec.error_base = 20000;
  rec.fault_entry = -1;
}

std::string LowerPath(char which) { return BinDir() + "recording_lower_" + which + ".dll"; }

// --- Where the lower module is looked up ---------------------------------------

struct LookupRow {
  const char* name;
  DWORD own_id;
  int chain_length;
  std::vector<DWORD> chain;
  const char* value_name;
};

class Lookup : public ::testing::TestWithParam<LookupRow> {};

TEST_P(Lookup, ValueNamedByCatalogId) {
  const LookupRow& row = GetParam();
  ResetRecorder('a', 1000);
  LowerPathValue value(row.value_name, LowerPath('a'));
  WSAPROTOCOL_INFOW info = ProtocolInfo(row.own_id, row.chain_length);
  for (std::size_t i = 0; i < row.chain.size(); ++i) {
    info.ProtocolChain.ChainEntries[i] = row.chain[i];
  }
  StartupResult r = StartTarvel(info);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(Recorder('a').startup_calls, 1);
  // The lower provider gets the caller's own record, not a catalog entry.
  EXPECT_EQ(Recorder('a').startup_info, &info);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Lookup,
    ::testing::Values(LookupRow{"ChainOfThreeUsesThird", 9001, 3, {77, 78, 9003}, "9003"},
                      LookupRow{"ChainOfTwoUsesSecond", 9001, 2, {77, 9004}, "9004"},
                      LookupRow{"ChainOfOneUsesOwnId", 9005, 1, {77}, "9005"},
                      LookupRow{"ChainOfZeroUsesOwnId", 9006, 0, {77}, "9006"},
                      LookupRow{"LargestIdTenDigits", 4294967295u, 0, {}, "4294967295"},
                      LookupRow{"ChainOfSevenUsesSeventh", 1, 7, {1, 2, 3, 4, 5, 6, 9007}, "9007"}),
    [](const ::testing::TestParamInfo<LookupRow>& info) { return std::string(info.param.name); });

// --- Environment references in the stored text ------------------------------------

struct ExpansionRow {
  const char* name;
  const char* variable;
  std::string value;  // "$BIN" stands for BinDir()
  int result;
};

class Expansion : public ::testing::TestWithParam<ExpansionRow> {};

// The stored text "%VARIABLE%recording_lower_a.dll" loads the recorder
// whether its expansion is shorter or longer than the text itself; one that
// does not fit the module path is never loaded cut.
TEST_P(Expansion, LoadsTheWholeExpansionOrNothing) {
  const ExpansionRow& row = GetParam();
  ResetRecorder('a', 1000);
  std::string value = row.value;
  if (value.compare(0, 4, "$BIN") == 0) value.replace(0, 4, BinDir());
  ScopedEnv variable(row.variable, value.c_str());
  const std::string stored = std::string("%") + row.variable + "%recording_lower_a.dll";
  LowerPathValue lower("9101", stored);
  WSAPROTOCOL_INFOW info = ProtocolInfo(9101);
  StartupResult r = StartTarvel(info);
  EXPECT_EQ(r.result, row.result);
  EXPECT_EQ(Recorder('a').startup_calls, row.result == 0 ? 1 : 0);
  if (row.result != 0) {
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&r.table)[0], 0xAB);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Expansion,
    ::testing::Values(
        ExpansionRow{"ShorterThanTheText",
                     "TARVEL_TEST_DIRECTORY_OF_THE_RECORDING_PROVIDER_MODULES_AND_MORE", "$BIN", 0},
        ExpansionRow{"LongerThanTheText", "TARVEL_D", "$BIN", 0},
        ExpansionRow{"BeyondTheModulePath", "TARVEL_D", "$BIN" + std::string(511, 'x') + "\\",
                     WSAEPROVIDERFAILEDINIT}),
    [](const ::testing::TestParamInfo<ExpansionRow>& info) {
      return std::string(info.param.name);
    });

TEST(Startup, SystemRootReferenceToModuleWithoutExport) {
  LowerPathValue value("9102", "%SystemRoot%\\system32\\kernel32.dll");
  WSAPROTOCOL_INFOW info = ProtocolInfo(9102);
  StartupResult r = StartTarvel(info);
  EXPECT_EQ(r.result, WSAEPROVIDERFAILEDINIT);
  EXPECT_EQ(reinterpret_cast<unsigned char*>(&r.table)[0], 0xAB);
}

TEST(Startup, ExpandableStringValueType) {
  ResetRecorder('a', 1000);
  const std::string path = LowerPath('a');
  LowerPathValue value("9103", path.c_str(), static_cast<DWORD>(path.size() + 1), REG_EXPAND_SZ);
  WSAPROTOCOL_INFOW info = ProtocolInfo(9103);
  EXPECT_EQ(StartTarvel(info).result, 0);
}

// --- Failures: 10106 with the caller's table and WSPDATA untouched --------------

struct FailureRow {
  const char* name;
  const char* value_name;  // nullptr: no value written
  std::string data;
};

class StartupFailure : public ::testing::TestWithParam<FailureRow> {};

TEST_P(StartupFailure, ProviderFailedInitTablesUntouched) {
  const FailureRow& row = GetParam();
  std::unique_ptr<LowerPathValue> value;
  if (row.value_name) {
    value = std::make_unique<LowerPathValue>(row.value_name, row.data.data(),
                                             static_cast<DWORD>(row.data.size()), REG_SZ);
  }
  WSAPROTOCOL_INFOW info = ProtocolInfo(9200);
  StartupResult r = StartTarvel(info);
  EXPECT_EQ(r.result, WSAEPROVIDERFAILEDINIT);
  const auto* table = reinterpret_cast<const unsigned char*>(&r.table);
  for (std::size_t i = 0; i < sizeof r.table; ++i) ASSERT_EQ(table[i], 0xAB) << i;
  const auto* data = reinterpret_cast<const unsigned char*>(&r.data);
  for (std::size_t i = 0; i < sizeof r.data; ++i) ASSERT_EQ(data[i], 0xAB) << i;
}

const std::string kLong261 = std::string(260, 'x') + '\0';

INSTANTIATE_TEST_SUITE_P(
    Rows, StartupFailure,
    ::testing::Values(FailureRow{"NoValue", nullptr, ""},
                      FailureRow{"ValueOfAnotherId", "9201", "C:\\x.dll"},
                      FailureRow{"DataLongerThan260", "9200", kLong261},
                      FailureRow{"Exactly260WithoutNulIsBounded", "9200", std::string(260, 'y')},
                      FailureRow{"EmptyText", "9200", std::string(1, '\0')},
                      FailureRow{"NoDataAtAll", "9200", ""},
                      FailureRow{"MissingFile", "9200",
                                 std::string("C:\\no\\such\\module.dll") + '\0'},
                      FailureRow{"ModuleWithoutExport", "9200",
                                 std::string("C:\\windows\\system32\\kernel32.dll") + '\0'}),
    [](const ::testing::TestParamInfo<FailureRow>& info) { return std::string(info.param.name); });

TEST(StartupFailure, MissingKey) {
  HKEY key = nullptr;
  // Deleting the key only works when it holds no values: the other tests'
  // holders removed theirs.
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\WinSock2", 0,
                    KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
    RegDeleteKeyA(key, "tarvel.dll");
    RegCloseKey(key);
  }
  WSAPROTOCOL_INFOW info = ProtocolInfo(9300);
  EXPECT_EQ(StartTarvel(info).result, WSAEPROVIDERFAILEDINIT);
}

TEST(Startup, LowerErrorReturnedWithItsTable) {
  ResetRecorder('a', 1000);
  Recorder('a').startup_result = WSAVERNOTSUPPORTED;
  Recorder('a').startup_fill_table_on_error = true;
  LowerPathValue value("9400", LowerPath('a'));
  WSAPROTOCOL_INFOW info = ProtocolInfo(9400);
  StartupResult r = StartTarvel(info);
  EXPECT_EQ(r.result, WSAVERNOTSUPPORTED);
  for (int i = 0; i < kEntries; ++i) {
    EXPECT_TRUE(InsideModule(Slots(r.table)[i], TestModule("recording_lower_a.dll"))) << i;
  }
  Recorder('a').startup_result = 0;
}

TEST(Startup, LowerSeesCallersArguments) {
  ResetRecorder('a', 1000);
  LowerPathValue value("9401", LowerPath('a'));
  WSAPROTOCOL_INFOW info = ProtocolInfo(9401);
  StartupResult r = StartTarvel(info);
  ASSERT_EQ(r.result, 0);
  const RecorderState& rec = Recorder('a');
  EXPECT_EQ(rec.startup_version, MAKEWORD(2, 2));
  const auto* upcalls = reinterpret_cast<const unsigned char*>(&rec.startup_upcalls);
  for (std::size_t i = 0; i < sizeof rec.startup_upcalls; ++i) ASSERT_EQ(upcalls[i], 0x5C);
  // WSPDATA is the lower provider's, unchanged.
  EXPECT_EQ(r.data.szDescription[0], L'R');
  EXPECT_EQ(r.data.szDescription[1], L'1');
}

// --- The handed-out table --------------------------------------------------------

TEST(HandedOutTable, AllEntriesLeadIntoTarvel) {
  WSPPROC_TABLE table = StartOverRecorder('a', 9500);
  std::vector<Slot> seen;
  for (int i = 0; i < kEntries; ++i) {
    Slot entry = Slots(table)[i];
    EXPECT_TRUE(InsideModule(entry, Tarvel())) << EntryName(i);
    for (Slot other : seen) EXPECT_NE(entry, other) << EntryName(i);
    seen.push_back(entry);
  }
}

// Calls entry `index` of a handed-out table with arguments 0x1000*index + k
// (k = 1..n-1) and a sentinel lpErrno; returns the result.
std::uintptr_t CallEntry(const WSPPROC_TABLE& table, int index, INT* error) {
  auto A = [index](int k) -> std::uintptr_t { return 0x100000u * (index + 1) + k; };
  const auto& t = table;
#define P(k, T) reinterpret_cast<T>(A(k))
#define V(k, T) static_cast<T>(A(k))
  switch (index) {
    case 0:
      return t.lpWSPAccept(V(1, SOCKET), P(2, sockaddr*), P(3, LPINT), P(4, LPCONDITIONPROC),
                           V(5, DWORD_PTR), error);
    case 1:
      return t.lpWSPAddressToString(P(1, LPSOCKADDR), V(2, DWORD), P(3, LPWSAPROTOCOL_INFOW),
                                    P(4, LPWSTR), P(5, LPDWORD), error);
    case 2:
      return t.lpWSPAsyncSelect(V(1, SOCKET), P(2, HWND), V(3, unsigned), V(4, long), error);
    case 3:
      return t.lpWSPBind(V(1, SOCKET), P(2, const sockaddr*), V(3, int), error);
    case 4:
      return t.lpWSPCancelBlockingCall(error);
    case 5:
      return t.lpWSPCleanup(error);
    case 6:
      return t.lpWSPCloseSocket(V(1, SOCKET), error);
    case 7:
      return t.lpWSPConnect(V(1, SOCKET), P(2, const sockaddr*), V(3, int), P(4, LPWSABUF),
                            P(5, LPWSABUF), P(6, LPQOS), P(7, LPQOS), error);
    case 8:
      return t.lpWSPDuplicateSocket(V(1, SOCKET), V(2, DWORD), P(3, LPWSAPROTOCOL_INFOW), error);
    case 9:
      return t.lpWSPEnumNetworkEvents(V(1, SOCKET), P(2, WSAEVENT), P(3, LPWSANETWORKEVENTS),
                                      error);
    case 10:
      return t.lpWSPEventSelect(V(1, SOCKET), P(2, WSAEVENT), V(3, long), error);
    case 11:
      return t.lpWSPGetOverlappedResult(V(1, SOCKET), P(2, LPWSAOVERLAPPED), P(3, LPDWORD),
                                        V(4, BOOL), P(5, LPDWORD), error);
    case 12:
      return t.lpWSPGetPeerName(V(1, SOCKET), P(2, sockaddr*), P(3, LPINT), error);
    case 13:
      return t.lpWSPGetSockName(V(1, SOCKET), P(2, sockaddr*), P(3, LPINT), error);
    case 14:
      return t.lpWSPGetSockOpt(V(1, SOCKET), V(2, int), V(3, int), P(4, char*), P(5, LPINT), error);
    case 15:
      return t.lpWSPGetQOSByName(V(1, SOCKET), P(2, LPWSABUF), P(3, LPQOS), error);
    case 16:
      return t.lpWSPIoctl(V(1, SOCKET), V(2, DWORD), P(3, LPVOID), V(4, DWORD), P(5, LPVOID),
                          V(6, DWORD), P(7, LPDWORD), P(8, LPWSAOVERLAPPED),
                          P(9, LPWSAOVERLAPPED_COMPLETION_ROUTINE), P(10, LPWSATHREADID), error);
    case 17:
      return t.lpWSPJoinLeaf(V(1, SOCKET), P(2, const sockaddr*), V(3, int), P(4, LPWSABUF),
                             P(5, LPWSABUF), P(6, LPQOS), P(7, LPQOS), V(8, DWORD), error);
    case 18:
      return t.lpWSPListen(V(1, SOCKET), V(2, int), error);
    case 20:
      return t.lpWSPRecvDisconnect(V(1, SOCKET), P(2, LPWSABUF), error);
    case 21:
      return t.lpWSPRecvFrom(V(1, SOCKET), P(2, LPWSABUF), V(3, DWORD), P(4, LPDWORD),
                             P(5, LPDWORD), P(6, sockaddr*), P(7, LPINT), P(8, LPWSAOVERLAPPED),
                             P(9, LPWSAOVERLAPPED_COMPLETION_ROUTINE), P(10, LPWSATHREADID), error);
    case 22:
      return t.lpWSPSelect(V(1, int), P(2, fd_set*), P(3, fd_set*), P(4, fd_set*), P(5, PTIMEVAL),
                           error);
    case 24:
      return t.lpWSPSendDisconnect(V(1, SOCKET), P(2, LPWSABUF), error);
    case 25:
      return t.lpWSPSendTo(V(1, SOCKET), P(2, LPWSABUF), V(3, DWORD), P(4, LPDWORD), V(5, DWORD),
                           P(6, const sockaddr*), V(7, int), P(8, LPWSAOVERLAPPED),
                           P(9, LPWSAOVERLAPPED_COMPLETION_ROUTINE), P(10, LPWSATHREADID), error);
    case 26:
      return t.lpWSPSetSockOpt(V(1, SOCKET), V(2, int), V(3, int), P(4, const char*), V(5, int),
                               error);
    case 27:
      return t.lpWSPShutdown(V(1, SOCKET), V(2, int), error);
    case 28:
      return t.lpWSPSocket(V(1, int), V(2, int), V(3, int), P(4, LPWSAPROTOCOL_INFOW), V(5, GROUP),
                           V(6, DWORD), error);
    case 29:
      return t.lpWSPStringToAddress(P(1, LPWSTR), V(2, INT), P(3, LPWSAPROTOCOL_INFOW),
                                    P(4, LPSOCKADDR), P(5, LPINT), error);
  }
#undef P
#undef V
  ADD_FAILURE() << "not a forwarding entry: " << index;
  return 0;
}

// Arguments and results compare in their low 32 bits: every value sent is
// below 2^32, and 32-bit integers arrive widened.
std::uintptr_t Low32(std::uintptr_t value) { return value & 0xFFFFFFFFu; }

// WSPRecv and WSPSend run the verdicts; the other 28 entries forward.
bool IsFiltered(int index) { return index == 19 || index == kSend; }

TEST(Forwards, EveryArgumentResultAndErrorUnchanged) {
  WSPPROC_TABLE table = StartOverRecorder('a', 9600);
  for (int index = 0; index < kEntries; ++index) {
    if (IsFiltered(index)) continue;
    RecorderState& rec = Recorder('a');
    rec.call_count = 0;
    INT error = static_cast<INT>(0xDEADBEEF);
    const std::uintptr_t result = CallEntry(table, index, &error);
    ASSERT_EQ(rec.call_count, 1) << EntryName(index);
    const RecordedCall& call = rec.calls[0];
    EXPECT_EQ(call.entry, index) << EntryName(index);
    for (int k = 1; k < call.arg_count; ++k) {
      const std::uintptr_t sent = 0x100000u * (index + 1) + k;
      EXPECT_EQ(Low32(call.args[k - 1]), Low32(sent)) << EntryName(index) << " argument " << k;
    }
    EXPECT_EQ(call.args[call.arg_count - 1], reinterpret_cast<std::uintptr_t>(&error));
    EXPECT_EQ(Low32(result), static_cast<std::uintptr_t>(1000 + index)) << EntryName(index);
    EXPECT_EQ(error, 20000 + index) << EntryName(index);
  }
}

// --- Several start-ups ---------------------------------------------------------------

TEST(Startup, LaterStartupWinsForEveryTable) {
  ResetRecorder('a', 1000);
  ResetRecorder('b', 2000);
  LowerPathValue a("9700", LowerPath('a'));
  LowerPathValue b("9701", LowerPath('b'));
  WSAPROTOCOL_INFOW info_a = ProtocolInfo(9700);
  WSAPROTOCOL_INFOW info_b = ProtocolInfo(9701);
  StartupResult first = StartTarvel(info_a);
  StartupResult second = StartTarvel(info_b);
  ASSERT_EQ(first.result, 0);
  ASSERT_EQ(second.result, 0);
  for (const WSPPROC_TABLE* table : {&first.table, &second.table}) {
    for (int index = 0; index < kEntries; ++index) {
      if (IsFiltered(index)) continue;
      INT error = 0;
      EXPECT_EQ(Low32(CallEntry(*table, index, &error)), static_cast<std::uintptr_t>(2000 + index))
          << EntryName(index);
    }
  }
  EXPECT_EQ(Recorder('a').call_count, 0);
}

TEST(Startup, ConcurrentStartupsWhileSending) {
  ResetRecorder('a', 1000);
  ResetRecorder('b', 2000);
  LowerPathValue a("9800", LowerPath('a'));
  LowerPathValue b("9801", LowerPath('b'));
  WSAPROTOCOL_INFOW info_a = ProtocolInfo(9800);
  WSAPROTOCOL_INFOW info_b = ProtocolInfo(9801);
  StartupResult initial = StartTarvel(info_a);
  ASSERT_EQ(initial.result, 0);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 3; ++t) {
    senders.emplace_back([&] {
      // A socket that is not HTTP: the send goes straight down.
      const SOCKET s = static_cast<SOCKET>(0x7FF0);
      while (!stop.load()) {
        WSABUF buffer{4, const_cast<char*>("GET ")};
        DWORD sent = 0;
        INT error = 0;
        const int r =
            initial.table.lpWSPSend(s, &buffer, 1, &sent, 0, nullptr, nullptr, nullptr, &error);
        if (r != 1000 + kSend && r != 2000 + kSend) bad++;
      }
    });
  }
  std::vector<std::thread> starters;
  std::atomic<int> failed_startups{0};
  for (int t = 0; t < 4; ++t) {
    starters.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        WSAPROTOCOL_INFOW info = ((t + i) % 2) ? info_b : info_a;
        StartupResult r = StartTarvel(info);
        if (r.result != 0) failed_startups++;
        for (int k = 0; k < kEntries; ++k) {
          if (!InsideModule(Slots(r.table)[k], Tarvel())) failed_startups++;
        }
      }
    });
  }
  for (auto& t : starters) t.join();
  stop = true;
  for (auto& t : senders) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(failed_startups.load(), 0);
  // One last start-up settles which provider every table reaches.
  ASSERT_EQ(StartTarvel(info_b).result, 0);
  INT error = 0;
  EXPECT_EQ(Low32(CallEntry(initial.table, 27, &error)), 2027u);
}

}  // namespace
}  // namespace tarvel::wine
