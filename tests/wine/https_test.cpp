// The HTTPS filter under Wine: the ClientHellos of Wine's own Schannel, TLS
// connections through the table tarvel's WSPStartup hands out (over a lower
// provider that calls the real Winsock) to an HTTPS server on 127.0.0.1:443,
// and UDP datagrams to port 443.
//
// The HTTPS server is Linux's: tools/demo/with_https_server.sh starts it and
// names it in TARVEL_TLS_SERVER; without it those tests are skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "filter/tls_hello.h"
#include "tests/wine/harness.h"
#include "tools/demo/tls_client.h"

namespace tarvel::wine {
namespace {

using TextFn = int(__cdecl*)(const char*);
using ValueFn = int(__cdecl*)(int);

constexpr u_short kHttpsPort = 443;

void SetHttpsFilter(int on) { ASSERT_EQ(TarvelExport<ValueFn>("SetHttpsFilter")(on), 1); }

// --- Schannel's own hellos ----------------------------------------------------

TEST(SchannelHello, NamesTheServerItWasGiven) {
  struct Row {
    std::string target;
    std::string host;
  };
  const Row rows[] = {
      {"news.example", "news.example"},
      {"WWW.Casino.Example", "Casino.Example"},
      {std::string(50, 'a') + "." + std::string(50, 'b') + ".example",
       std::string(50, 'a') + "." + std::string(48, 'b')},
      {"", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("target \"" + row.target + "\"");
    const std::string hello = demo::SchannelClientHello(row.target);
    ASSERT_FALSE(hello.empty()) << "Schannel made no hello";
    EXPECT_TRUE(BeginsWithClientHello(hello.data(), hello.size()));
    const Host host = ServerNameOf(hello.data(), hello.size());
    EXPECT_EQ(std::string(host.text, host.length), row.host);
  }
}

// --- TLS through the table -------------------------------------------------------

class HttpsLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("TARVEL_TLS_SERVER") == nullptr) {
      GTEST_SKIP() << "no HTTPS server: run under tools/demo/with_https_server.sh";
    }
    value_ = std::make_unique<LowerPathValue>("9901", BinDir() + "forwarding_lower.dll");
    info_ = ProtocolInfo(9901);
    StartupResult r = StartTarvel(info_);
    ASSERT_EQ(r.result, 0);
    table_ = r.table;
  }
  void TearDown() override {
    TarvelExport<ValueFn>("SetHttpsFilter")(0);
    TarvelExport<ValueFn>("SetOnlyWhiteUrl")(0);
  }

  // One HTTPS request for `host` on a connection of its own.
  demo::TlsFetch Fetch(const std::string& host) {
    INT error = 0;
    SOCKET s = table_.lpWSPSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP, &info_, 0, 0, &error);
    EXPECT_NE(s, INVALID_SOCKET) << error;
    sockaddr_in server = LoopbackV4(kHttpsPort);
    EXPECT_EQ(table_.lpWSPConnect(s, reinterpret_cast<sockaddr*>(&server), sizeof server, nullptr,
                                  nullptr, nullptr, nullptr, &error),
              0)
        << error;
    demo::TlsFetch fetch = demo::FetchOverTls(
        table_, s, host, "GET / HTTP/1.0\r\nHost: " + host + "\r\nUser-Agent: tarvel-test\r\n\r\n");
    table_.lpWSPCloseSocket(s, &error);
    return fetch;
  }

  std::unique_ptr<LowerPathValue> value_;
  WSAPROTOCOL_INFOW info_;
  WSPPROC_TABLE table_;
};

const char kCutOff[] = "send failed with error 10058";  // WSAESHUTDOWN

void ExpectPage(const demo::TlsFetch& fetch) {
  EXPECT_TRUE(fetch.handshake_done) << fetch.failed;
  EXPECT_EQ(fetch.response.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << fetch.response;
}

void ExpectCutOff(const demo::TlsFetch& fetch) {
  EXPECT_FALSE(fetch.handshake_done);
  EXPECT_EQ(fetch.failed, kCutOff);
}

TEST_F(HttpsLoopback, FilterOffPassesEveryName) {
  ASSERT_EQ(TarvelExport<TextFn>("AddBlackUrl")("tls-off.example"), 1);
  ExpectPage(Fetch("www.tls-off.example"));
}

TEST_F(HttpsLoopback, BlacklistedNameIsCutOffOthersComplete) {
  ASSERT_EQ(TarvelExport<TextFn>("AddBlackUrl")("tls-blocked.example"), 1);
  SetHttpsFilter(1);
  ExpectCutOff(Fetch("WWW.TLS-Blocked.Example"));
  ExpectPage(Fetch("tls-allowed.example"));
}

TEST_F(HttpsLoopback, WhiteOnlyModeLetsOnlyListedNamesThrough) {
  ASSERT_EQ(TarvelExport<TextFn>("AddWhiteUrl")("tls-listed.example"), 1);
  ASSERT_EQ(TarvelExport<ValueFn>("SetOnlyWhiteUrl")(1), 1);
  SetHttpsFilter(1);
  ExpectPage(Fetch("www.tls-listed.example"));
  ExpectCutOff(Fetch("tls-unlisted.example"));
}

// --- QUIC: datagrams to UDP port 443 ------------------------------------------------

// A UDP socket through the table, and a receiver on 127.0.0.1:443 beside it
// that tells whether a datagram went out.
class QuicDatagrams : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureWinsock();
    value_ = std::make_unique<LowerPathValue>("9902", BinDir() + "forwarding_lower.dll");
    info_ = ProtocolInfo(9902);
    StartupResult r = StartTarvel(info_);
    ASSERT_EQ(r.result, 0);
    table_ = r.table;
    receiver_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    const sockaddr_in at = LoopbackV4(kHttpsPort);
    ASSERT_EQ(bind(receiver_, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0)
        << "cannot bind UDP 127.0.0.1:443: " << WSAGetLastError();
    const DWORD wait_ms = 300;
    setsockopt(receiver_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait_ms),
               sizeof wait_ms);
    INT error = 0;
    s_ = table_.lpWSPSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP, &info_, 0, 0, &error);
    ASSERT_NE(s_, INVALID_SOCKET) << error;
  }
  void TearDown() override {
    INT error = 0;
    if (s_ != INVALID_SOCKET) table_.lpWSPCloseSocket(s_, &error);
    closesocket(receiver_);
    TarvelExport<ValueFn>("SetHttpsFilter")(0);
  }

  // A send-to through the table; its result, the error stored and the
  // count of bytes sent (0xABABABAB when untouched).
  struct Sent {
    int result;
    INT error;
    DWORD bytes;
  };
  Sent SendTo(const sockaddr_in* to) {
    char datagram[] = "\xc3\x00\x00\x00\x01 a QUIC Initial, in spirit";
    WSABUF buffer{sizeof datagram - 1, datagram};
    Sent sent{0, static_cast<INT>(0xDEADBEEF), 0xABABABAB};
    sent.result =
        table_.lpWSPSendTo(s_, &buffer, 1, &sent.bytes, 0, reinterpret_cast<const sockaddr*>(to),
                           to == nullptr ? 0 : sizeof *to, nullptr, nullptr, nullptr, &sent.error);
    return sent;
  }
  Sent Send() {
    char datagram[] = "\x40 a QUIC short header packet";
    WSABUF buffer{sizeof datagram - 1, datagram};
    Sent sent{0, static_cast<INT>(0xDEADBEEF), 0xABABABAB};
    sent.result =
        table_.lpWSPSend(s_, &buffer, 1, &sent.bytes, 0, nullptr, nullptr, nullptr, &sent.error);
    return sent;
  }
  void Connect(u_short port) {
    const sockaddr_in to = LoopbackV4(port);
    INT error = 0;
    ASSERT_EQ(table_.lpWSPConnect(s_, reinterpret_cast<const sockaddr*>(&to), sizeof to, nullptr,
                                  nullptr, nullptr, nullptr, &error),
              0)
        << error;
  }
  bool Arrived() {
    char got[256];
    return recv(receiver_, got, sizeof got, 0) > 0;
  }

  std::unique_ptr<LowerPathValue> value_;
  WSAPROTOCOL_INFOW info_;
  WSPPROC_TABLE table_;
  SOCKET receiver_ = INVALID_SOCKET;
  SOCKET s_ = INVALID_SOCKET;
};

void ExpectRefused(int result, INT error, DWORD bytes) {
  EXPECT_EQ(result, SOCKET_ERROR);
  EXPECT_EQ(error, WSAEACCES);
  EXPECT_EQ(bytes, 0xABABABABu) << "the byte count was written";
}

TEST_F(QuicDatagrams, SendToPort443RefusedWhileTheFilterIsOn) {
  const sockaddr_in to = LoopbackV4(kHttpsPort);
  SetHttpsFilter(1);
  const Sent refused = SendTo(&to);
  ExpectRefused(refused.result, refused.error, refused.bytes);
  EXPECT_FALSE(Arrived()) << "the datagram went out";

  SetHttpsFilter(0);
  const Sent sent = SendTo(&to);
  EXPECT_EQ(sent.result, 0) << sent.error;
  EXPECT_EQ(sent.error, static_cast<INT>(0xDEADBEEF));
  EXPECT_TRUE(Arrived());
}

TEST_F(QuicDatagrams, ConnectedToPort443RefusedBySendAndSendTo) {
  Connect(kHttpsPort);
  SetHttpsFilter(1);
  const Sent by_send = Send();
  ExpectRefused(by_send.result, by_send.error, by_send.bytes);
  const Sent by_send_to = SendTo(nullptr);
  ExpectRefused(by_send_to.result, by_send_to.error, by_send_to.bytes);
  EXPECT_FALSE(Arrived());
  SetHttpsFilter(0);
  EXPECT_EQ(Send().result, 0);
  EXPECT_TRUE(Arrived());
}

// The QUIC test's answer is kept per socket until a connect: connected
// elsewhere the socket sends, connected again to port 443 it is refused.
TEST_F(QuicDatagrams, OtherPortsPassUntilConnectedTo443) {
  SOCKET other = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in at = LoopbackV4(0);
  ASSERT_EQ(bind(other, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
  int length = sizeof at;
  getsockname(other, reinterpret_cast<sockaddr*>(&at), &length);
  SetHttpsFilter(1);
  const sockaddr_in to = LoopbackV4(ntohs(at.sin_port));
  EXPECT_EQ(SendTo(&to).result, 0);
  Connect(ntohs(at.sin_port));
  EXPECT_EQ(Send().result, 0);
  EXPECT_EQ(Send().result, 0);
  Connect(kHttpsPort);
  const Sent refused = Send();
  ExpectRefused(refused.result, refused.error, refused.bytes);
  EXPECT_FALSE(Arrived());
  closesocket(other);
}

}  // namespace
}  // namespace tarvel::wine
