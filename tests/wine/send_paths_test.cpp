// Every way a program can send through tarvel's table, each judged: the
// entries, WSASendMsg (SIO_EXT_SENDMSG), and the extension functions that
// WSPIoctl hands out, over a lower provider that calls the real Winsock,
// against plain listeners on loopback in this process (no threads). Where
// Wine lacks a function (TransmitPackets, registered I/O) the recording
// lower provider stands beneath instead.
#include <gtest/gtest.h>

#include <mswsock.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/testing/client_hello.h"
#include "tests/wine/harness.h"

namespace tarvel::wine {
namespace {

using TextFn = int(__cdecl*)(const char*);
using ValueFn = int(__cdecl*)(int);

constexpr char kBlockedHost[] = "paths-blocked.example";
const std::string kBlocked = "GET / HTTP/1.1\r\nHost: www.paths-blocked.example\r\n\r\n";
const std::string kAllowed = "GET / HTTP/1.1\r\nHost: paths-allowed.example\r\n\r\n";
const std::string kDatagram = "\xc3 a QUIC Initial, paths-blocked.example";

constexpr u_short kHttpPort = 8080;
constexpr u_short kQuicPort = 443;

// What a path did: the call's result and the error it reported, and the
// bytes that reached the other end.
struct Outcome {
  int result = 0;
  int error = 0;
  std::string arrived;
};

// The forwarding lower provider beneath tarvel, the listeners, and the
// path helpers the rows use.
class SendPaths : public ::testing::Test {
 public:
  void SetUp() override {
    EnsureWinsock();
    static const bool added = TarvelExport<TextFn>("AddBlackUrl")(kBlockedHost) == 1;
    ASSERT_TRUE(added);
    LowerPathValue value("9903", BinDir() + "forwarding_lower.dll");
    info_ = ProtocolInfo(9903);
    StartupResult r = StartTarvel(info_);
    ASSERT_EQ(r.result, 0);
    t_ = r.table;
    ASSERT_TRUE(Open(SOCK_STREAM, kHttpPort, http_) && Open(SOCK_DGRAM, kQuicPort, quic_) &&
                Open(SOCK_DGRAM, kHttpPort, http_udp_) && Open(SOCK_DGRAM, 0, other_udp_));
  }
  void TearDown() override {
    INT error = 0;
    for (SOCKET s : made_) t_.lpWSPCloseSocket(s, &error);
    for (SOCKET s : accepted_) closesocket(s);
    TarvelExport<ValueFn>("SetHttpsFilter")(0);
    TarvelExport<ValueFn>("SetSmartFilter")(0);
  }

  // A socket made through tarvel's table, closed at the end.
  SOCKET Make(int type) {
    INT error = 0;
    const SOCKET s = t_.lpWSPSocket(AF_INET, type, 0, &info_, 0, WSA_FLAG_OVERLAPPED, &error);
    EXPECT_NE(s, INVALID_SOCKET) << error;
    made_.push_back(s);
    return s;
  }
  void Connect(SOCKET s, const sockaddr_in& to) {
    INT error = 0;
    EXPECT_EQ(t_.lpWSPConnect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to, nullptr,
                              nullptr, nullptr, nullptr, &error),
              0)
        << error;
  }
  // A TCP socket through the table, connected to the listener on port
  // 8080; the server's end is accepted at once.
  SOCKET HttpClient() {
    const SOCKET s = Make(SOCK_STREAM);
    Connect(s, http_.address);
    server_ = accept(http_.s, nullptr, nullptr);
    EXPECT_NE(server_, INVALID_SOCKET);
    accepted_.push_back(server_);
    const DWORD wait_ms = 300;
    setsockopt(server_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait_ms),
               sizeof wait_ms);
    return s;
  }
  // What reached the server's end of the last HttpClient, or a datagram
  // socket: all that arrives before 300 ms pass without more.
  std::string Arrived(SOCKET at) const {
    std::string got;
    char chunk[2048];
    int n = 0;
    while ((n = recv(at, chunk, sizeof chunk, 0)) > 0) got.append(chunk, static_cast<size_t>(n));
    return got;
  }
  std::string ArrivedAtServer() const { return Arrived(server_); }

  template <typename Fn>
  Fn Extension(SOCKET s, GUID id) {
    Fn fn = nullptr;
    DWORD returned = 0;
    INT error = 0;
    EXPECT_EQ(t_.lpWSPIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &fn, sizeof fn,
                            &returned, nullptr, nullptr, nullptr, &error),
              0)
        << error;
    return fn;
  }

  // WSASendMsg as Winsock hands it to the provider.
  Outcome SendMsg(SOCKET s, std::string data, const sockaddr_in* to) {
    WSABUF buffer{static_cast<ULONG>(data.size()), data.data()};
    WSAMSG message = {};
    message.name = reinterpret_cast<LPSOCKADDR>(const_cast<sockaddr_in*>(to));
    message.namelen = to != nullptr ? sizeof *to : 0;
    message.lpBuffers = &buffer;
    message.dwBufferCount = 1;
    DWORD sent = 0;
    WSASENDMSG request = {&message, 0, &sent, nullptr, nullptr};
    Outcome out;
    DWORD returned = 0;
    out.result = t_.lpWSPIoctl(s, SIO_EXT_SENDMSG, &request, sizeof request, nullptr, 0, &returned,
                               nullptr, nullptr, nullptr, &out.error);
    return out;
  }
  // WSPSend of `pieces`, one buffer each.
  Outcome Send(SOCKET s, std::vector<std::string> pieces) {
    std::vector<WSABUF> buffers;
    for (std::string& piece : pieces)
      buffers.push_back({static_cast<ULONG>(piece.size()), piece.data()});
    DWORD sent = 0;
    Outcome out;
    out.result = t_.lpWSPSend(s, buffers.data(), static_cast<DWORD>(buffers.size()), &sent, 0,
                              nullptr, nullptr, nullptr, &out.error);
    return out;
  }
  Outcome SendTo(SOCKET s, std::string data, const sockaddr_in& to) {
    WSABUF buffer{static_cast<ULONG>(data.size()), data.data()};
    DWORD sent = 0;
    Outcome out;
    out.result = t_.lpWSPSendTo(s, &buffer, 1, &sent, 0, reinterpret_cast<const sockaddr*>(&to),
                                sizeof to, nullptr, nullptr, nullptr, &out.error);
    return out;
  }
  // A BOOL extension function's outcome: FALSE and the thread's last error.
  static Outcome FromBool(BOOL ok) {
    Outcome out;
    out.result = ok ? 0 : SOCKET_ERROR;
    out.error = ok ? 0 : WSAGetLastError();
    return out;
  }

  WSPPROC_TABLE t_ = {};
  WSAPROTOCOL_INFOW info_ = {};
  Endpoint http_, quic_, http_udp_, other_udp_;
  SOCKET server_ = INVALID_SOCKET;
  std::vector<SOCKET> made_, accepted_;
};

const std::string kBlockedHello = testing::BrowserClientHello("www.paths-blocked.example");

// --- The rows: each a path, and what it must do ----------------------------------

enum class Expect { kPassed, kCut, kRefused };

struct PathRow {
  const char* name;
  bool https;
  Outcome (*run)(SendPaths&);
  Expect expect;
};

Outcome SendMsgDatagramTo443(SendPaths& p) {
  const SOCKET s = p.Make(SOCK_DGRAM);
  Outcome out = p.SendMsg(s, kDatagram, &p.quic_.address);
  out.arrived = p.Arrived(p.quic_.s);
  return out;
}

Outcome SendMsgOnTcp(SendPaths& p) {
  const SOCKET s = p.HttpClient();
  Outcome out = p.SendMsg(s, kBlocked, nullptr);
  out.arrived = p.ArrivedAtServer();
  return out;
}

// Winsock ignores the address on a connected stream socket: the send is a
// WSPSend.
Outcome SendToOnTcp(SendPaths& p) {
  const SOCKET s = p.HttpClient();
  Outcome out = p.SendTo(s, kBlocked, LoopbackV4(53));
  out.arrived = p.ArrivedAtServer();
  return out;
}

// The blocked connect is never made: no connection reaches the listener.
Outcome ConnectExWithRequest(SendPaths& p) {
  const SOCKET s = p.Make(SOCK_STREAM);
  const sockaddr_in any = LoopbackV4(0);
  INT error = 0;
  EXPECT_EQ(p.t_.lpWSPBind(s, reinterpret_cast<const sockaddr*>(&any), sizeof any, &error), 0);
  const auto connect_ex = p.Extension<LPFN_CONNECTEX>(s, WSAID_CONNECTEX);
  std::string request = kBlocked;
  OVERLAPPED overlapped = {};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD sent = 0;
  Outcome out = SendPaths::FromBool(
      connect_ex(s, reinterpret_cast<const sockaddr*>(&p.http_.address), sizeof p.http_.address,
                 request.data(), static_cast<DWORD>(request.size()), &sent, &overlapped));
  if (out.error == WSA_IO_PENDING) {
    DWORD flags = 0;
    out = SendPaths::FromBool(WSAGetOverlappedResult(s, &overlapped, &sent, TRUE, &flags));
  }
  CloseHandle(overlapped.hEvent);
  u_long nonblocking = 1;
  ioctlsocket(p.http_.s, FIONBIO, &nonblocking);
  const SOCKET reached = accept(p.http_.s, nullptr, nullptr);
  if (reached != INVALID_SOCKET) {
    p.server_ = reached;
    p.accepted_.push_back(reached);
    out.arrived = "connected: " + p.ArrivedAtServer();
  }
  return out;
}

Outcome TransmitFileHead(SendPaths& p) {
  const SOCKET s = p.HttpClient();
  const auto transmit = p.Extension<LPFN_TRANSMITFILE>(s, WSAID_TRANSMITFILE);
  std::string head = kBlocked;
  TRANSMIT_FILE_BUFFERS parts = {head.data(), static_cast<DWORD>(head.size()), nullptr, 0};
  Outcome out = SendPaths::FromBool(transmit(s, nullptr, 0, 0, nullptr, &parts, 0));
  out.arrived = p.ArrivedAtServer();
  return out;
}

// Winsock ignores the address on a connected datagram socket too.
Outcome ConnectedUdpTo443WithOtherAddress(SendPaths& p) {
  const SOCKET s = p.Make(SOCK_DGRAM);
  p.Connect(s, p.quic_.address);
  Outcome out = p.SendTo(s, kDatagram, LoopbackV4(53));
  out.arrived = p.Arrived(p.quic_.s);
  return out;
}

Outcome HelloAcrossTwoBuffers(SendPaths& p) {
  const SOCKET s = p.HttpClient();
  Outcome out = p.Send(s, {kBlockedHello.substr(0, 5), kBlockedHello.substr(5)});
  out.arrived = p.ArrivedAtServer();
  return out;
}

// The record header goes out alone; the send after it is judged with it.
Outcome HelloAcrossTwoSends(SendPaths& p) {
  const SOCKET s = p.HttpClient();
  EXPECT_EQ(p.Send(s, {kBlockedHello.substr(0, 5)}).result, 0);
  Outcome out = p.Send(s, {kBlockedHello.substr(5)});
  out.arrived = p.ArrivedAtServer();
  return out;
}

class SendPathRows : public SendPaths, public ::testing::WithParamInterface<PathRow> {};

TEST_P(SendPathRows, JudgedAsTheRowSays) {
  const PathRow& row = GetParam();
  TarvelExport<ValueFn>("SetHttpsFilter")(row.https ? 1 : 0);
  const Outcome out = row.run(*this);
  const bool reached = out.arrived.find(kBlockedHost) != std::string::npos;
  switch (row.expect) {
    case Expect::kPassed:
      EXPECT_EQ(out.result, 0) << out.error;
      EXPECT_TRUE(reached) << "arrived: " << out.arrived;
      break;
    case Expect::kCut:
      EXPECT_EQ(out.result, SOCKET_ERROR);
      EXPECT_EQ(out.error, WSAESHUTDOWN);
      EXPECT_FALSE(reached) << "arrived: " << out.arrived;
      break;
    case Expect::kRefused:
      EXPECT_EQ(out.result, SOCKET_ERROR);
      EXPECT_EQ(out.error, WSAEACCES);
      EXPECT_TRUE(out.arrived.empty()) << "arrived: " << out.arrived;
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SendPathRows,
    ::testing::Values(
        PathRow{"SendMsgDatagramTo443RefusedWithFilterOn", true, SendMsgDatagramTo443,
                Expect::kRefused},
        PathRow{"SendMsgDatagramTo443PassesWithFilterOff", false, SendMsgDatagramTo443,
                Expect::kPassed},
        PathRow{"SendMsgOnTcpBlacklistedHostCut", false, SendMsgOnTcp, Expect::kCut},
        PathRow{"SendToOnTcpBlacklistedHostCut", false, SendToOnTcp, Expect::kCut},
        PathRow{"ConnectExWithBlacklistedRequestCut", false, ConnectExWithRequest, Expect::kCut},
        PathRow{"TransmitFileHeadBlacklistedCut", false, TransmitFileHead, Expect::kCut},
        PathRow{"ConnectedUdpTo443RefusedWhateverTheAddress", true,
                ConnectedUdpTo443WithOtherAddress, Expect::kRefused},
        PathRow{"HelloAcrossTwoBuffersBlockedByName", true, HelloAcrossTwoBuffers, Expect::kCut},
        PathRow{"HelloAcrossTwoSendsBlockedByName", true, HelloAcrossTwoSends, Expect::kCut}),
    [](const ::testing::TestParamInfo<PathRow>& info) { return std::string(info.param.name); });

// --- Receives: what arrived is scanned, not what the buffer held before -------

TEST_F(SendPaths, ReceiveScansOnlyTheBytesItPlaced) {
  ASSERT_EQ(TarvelExport<ValueFn>("SetSmartFilter")(1), 1);
  struct Row {
    const char* name;
    std::string sent;
    bool overlapped;  // an overlapped receive done at once, with no count pointer
    bool blocked;
  };
  const Row rows[] = {
      {"TenBytesPhrasePastThemPasses", "0123456789", false, false},
      {"TenBytesOverlappedPhrasePastThemPasses", "0123456789", true, false},
      {"PhraseInsideTheBytesBlocks", "an orgy sex page", false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const SOCKET s = HttpClient();
    ASSERT_EQ(send(server_, row.sent.data(), static_cast<int>(row.sent.size()), 0),
              static_cast<int>(row.sent.size()));
    Sleep(50);
    std::string held = std::string(16, 'x') + " orgy sex, left by an earlier page";
    WSABUF buffer{static_cast<ULONG>(held.size()), held.data()};
    DWORD received = 0, flags = 0;
    OVERLAPPED overlapped = {};
    INT error = 0;
    const int result =
        t_.lpWSPRecv(s, &buffer, 1, row.overlapped ? nullptr : &received, &flags,
                     row.overlapped ? &overlapped : nullptr, nullptr, nullptr, &error);
    if (row.blocked) {
      EXPECT_EQ(result, SOCKET_ERROR);
      EXPECT_EQ(error, WSAESHUTDOWN);
    } else {
      EXPECT_EQ(result, 0) << error;
      EXPECT_EQ(held.substr(0, 10), row.sent);
    }
  }
}

// --- Over the recording lower provider: what Wine lacks -------------------------

// A pooled socket keeps its port answer no longer than its connection: used
// first elsewhere (its answer kept: not HTTP), ended with DisconnectEx and
// connected again (by the lower ConnectEx, or any way), it is judged as the
// HTTP socket it now is. Wine cannot connect one TCP socket twice, so a
// real UDP socket, which connect() points anywhere, stands for it beneath
// the recorder, made known to tarvel as the recorder's WSPSocket answer.
TEST(ReusedSocket, JudgedAfreshAfterDisconnectExOrConnectEx) {
  static const bool added = TarvelExport<TextFn>("AddBlackUrl")(kBlockedHost) == 1;
  ASSERT_TRUE(added);
  Endpoint other, http;
  ASSERT_TRUE(Open(SOCK_DGRAM, 0, other) && Open(SOCK_DGRAM, kHttpPort, http));
  struct Row {
    const char* name;
    bool disconnect;
    bool connect_ex;
  };
  const Row rows[] = {
      {"DisconnectExThenConnectEx", true, true},
      {"DisconnectExThenAnyConnect", true, false},
      {"ConnectExAlone", false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const WSPPROC_TABLE table = StartOverRecorder('a', 4245);
    const SOCKET real = socket(AF_INET, SOCK_DGRAM, 0);
    Recorder().result_base = static_cast<int>(real) - 28;  // WSPSocket's answer: `real`
    INT error = 0;
    WSAPROTOCOL_INFOW info = ProtocolInfo(4245);
    ASSERT_EQ(table.lpWSPSocket(AF_INET, SOCK_DGRAM, 0, &info, 0, 0, &error), real);
    Recorder().result_base = 1000;
    connect(real, reinterpret_cast<const sockaddr*>(&other.address), sizeof other.address);
    ASSERT_EQ(SendRequest(table, real, kAllowed), "WSPSend");
    GUID disconnect_id = WSAID_DISCONNECTEX, connect_id = WSAID_CONNECTEX;
    LPFN_DISCONNECTEX disconnect = nullptr;
    LPFN_CONNECTEX connect_ex = nullptr;
    DWORD returned = 0;
    table.lpWSPIoctl(real, SIO_GET_EXTENSION_FUNCTION_POINTER, &disconnect_id, sizeof(GUID),
                     &disconnect, sizeof disconnect, &returned, nullptr, nullptr, nullptr, &error);
    table.lpWSPIoctl(real, SIO_GET_EXTENSION_FUNCTION_POINTER, &connect_id, sizeof(GUID),
                     &connect_ex, sizeof connect_ex, &returned, nullptr, nullptr, nullptr, &error);
    ASSERT_TRUE(disconnect != nullptr && connect_ex != nullptr);
    if (row.disconnect) disconnect(real, nullptr, TF_REUSE_SOCKET, 0);
    const auto* to = reinterpret_cast<const sockaddr*>(&http.address);
    if (row.connect_ex) {
      DWORD sent = 0;
      connect_ex(real, to, sizeof http.address, nullptr, 0, &sent, nullptr);
    } else {
      connect(real, to, sizeof http.address);
    }
    EXPECT_EQ(SendRequest(table, real, kBlocked), "WSPShutdown,WSPSend");
    closesocket(real);
  }
}

constexpr GUID kRegisteredIo = {
    0x8509e081, 0x96dd, 0x4005, {0xb1, 0x65, 0x9e, 0x2e, 0xe8, 0xc7, 0x9e, 0x3f}};
constexpr DWORD kGetMultipleExtensions = _WSAIORW(IOC_WS2, 36);

// Registered I/O sends past every entry point: refused while the HTTPS
// filter is on, asked of the lower provider while it is off.
TEST(RegisteredIo, RefusedWhileTheHttpsFilterIsOn) {
  const WSPPROC_TABLE table = StartOverRecorder('a', 4243);
  for (DWORD code :
       {kGetMultipleExtensions, static_cast<DWORD>(SIO_GET_EXTENSION_FUNCTION_POINTER)}) {
    for (int https : {1, 0}) {
      SCOPED_TRACE("code " + std::to_string(code) + ", filter " + std::to_string(https));
      TarvelExport<ValueFn>("SetHttpsFilter")(https);
      Recorder().call_count = 0;
      GUID id = kRegisteredIo;
      char functions[128];
      DWORD returned = 0;
      INT error = static_cast<INT>(0xDEADBEEF);
      const int result = table.lpWSPIoctl(7, code, &id, sizeof id, functions, sizeof functions,
                                          &returned, nullptr, nullptr, nullptr, &error);
      if (https == 1) {
        EXPECT_EQ(result, SOCKET_ERROR);
        EXPECT_EQ(error, WSAEOPNOTSUPP);
        EXPECT_EQ(RecordedEntries(), "");
      } else {
        EXPECT_EQ(RecordedEntries(), "WSPIoctl");
      }
    }
  }
  TarvelExport<ValueFn>("SetHttpsFilter")(0);
}

// TransmitPackets' packets in memory are the send judged; its wrapper calls
// the lower provider's function, after the cut when they are blocked.
TEST(TransmitPacketsWrapper, MemoryPacketsJudged) {
  static const bool added = TarvelExport<TextFn>("AddBlackUrl")(kBlockedHost) == 1;
  ASSERT_TRUE(added);
  const WSPPROC_TABLE table = StartOverRecorder('a', 4244);
  SocketPair pair;
  ASSERT_TRUE(ConnectLoopback(AF_INET, kHttpPort, pair));
  GUID id = WSAID_TRANSMITPACKETS;
  LPFN_TRANSMITPACKETS transmit = nullptr;
  DWORD returned = 0;
  INT error = 0;
  ASSERT_EQ(
      table.lpWSPIoctl(pair.client, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &transmit,
                       sizeof transmit, &returned, nullptr, nullptr, nullptr, &error),
      0);
  ASSERT_NE(transmit, nullptr);
  struct Row {
    const char* name;
    std::string first;
    std::string second;
    const char* entries;
  };
  const Row rows[] = {
      {"AllowedPasses", kAllowed, "", "TransmitPackets"},
      {"BlockedHeadCut", kBlocked, "", "WSPShutdown,TransmitPackets"},
      {"BlockedBehindAFilePacketCut", "", kBlocked, "WSPShutdown,TransmitPackets"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string first = row.first, second = row.second;
    TRANSMIT_PACKETS_ELEMENT elements[2] = {};
    elements[0].dwElFlags = first.empty() ? TP_ELEMENT_FILE : TP_ELEMENT_MEMORY;
    elements[0].cLength = static_cast<ULONG>(first.size());
    if (!first.empty()) elements[0].pBuffer = first.data();
    elements[1].dwElFlags = TP_ELEMENT_MEMORY;
    elements[1].cLength = static_cast<ULONG>(second.size());
    elements[1].pBuffer = second.data();
    Recorder().call_count = 0;
    transmit(pair.client, elements, 2, 0, nullptr, 0);
    EXPECT_EQ(RecordedEntries(), row.entries);
  }
}

}  // namespace
}  // namespace tarvel::wine
