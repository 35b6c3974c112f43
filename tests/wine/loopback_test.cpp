// Whole HTTP exchanges on loopback through the table tarvel's WSPStartup
// hands out, over a lower provider that calls the real Winsock functions,
// against a real server on 127.0.0.1:8080 in this process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "tests/wine/harness.h"

namespace tarvel::wine {
namespace {

using AddUrlFn = int(__cdecl*)(const char*);
using SetFlagFn = int(__cdecl*)(int);

constexpr u_short kPort = 8080;

// Answers each connection once: /adult gets a page with a phrase, anything
// else a plain page. Stops when told.
class PageServer {
 public:
  PageServer() {
    EnsureWinsock();
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL reuse = TRUE;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
               sizeof reuse);
    sockaddr_in address = LoopbackV4(kPort);
    ok_ = bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
          listen(listener_, 8) == 0;
    if (ok_) thread_ = std::thread([this] { Serve(); });
  }
  ~PageServer() {
    stop_ = true;
    closesocket(listener_);
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return ok_; }

 private:
  void Serve() {
    while (!stop_) {
      SOCKET s = accept(listener_, nullptr, nullptr);
      if (s == INVALID_SOCKET) return;
      std::string request;
      char chunk[1024];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const int n = recv(s, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        request.append(chunk, static_cast<std::size_t>(n));
      }
      const bool adult = request.find("GET /adult") == 0;
      const std::string body = adult ? "<html><body>an orgy of sex tips</body></html>\n"
                                     : "<html><body>Weather: sunny</body></html>\n";
      const std::string response =
          "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
      send(s, response.data(), static_cast<int>(response.size()), 0);
      shutdown(s, SD_SEND);
      while (recv(s, chunk, sizeof chunk, 0) > 0) {
      }
      closesocket(s);
    }
  }

  SOCKET listener_ = INVALID_SOCKET;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Exchange {
  int send_result = 0;
  int send_error = 0;
  int recv_result = 0;
  int recv_error = 0;
  std::string received;
};

SOCKET NewSocket(const WSPPROC_TABLE& table, WSAPROTOCOL_INFOW& info) {
  INT error = 0;
  SOCKET s = table.lpWSPSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP, &info, 0, 0, &error);
  EXPECT_NE(s, INVALID_SOCKET) << error;
  return s;
}

void ConnectToServer(const WSPPROC_TABLE& table, SOCKET s) {
  sockaddr_in address = LoopbackV4(kPort);
  INT error = 0;
  EXPECT_EQ(table.lpWSPConnect(s, reinterpret_cast<sockaddr*>(&address), sizeof address, nullptr,
                               nullptr, nullptr, nullptr, &error),
            0)
      << error;
}

std::string Request(const std::string& path, const std::string& host) {
  return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nAccept: */*\r\n\r\n";
}

// One send through the table; its result, with the error it stored.
int SendText(const WSPPROC_TABLE& table, SOCKET s, std::string text, int& error) {
  WSABUF out{static_cast<ULONG>(text.size()), text.data()};
  DWORD sent = 0;
  error = 0;
  return table.lpWSPSend(s, &out, 1, &sent, 0, nullptr, nullptr, nullptr, &error);
}

// One receive through the table into a fresh buffer; its result, with the
// error it stored and the bytes it delivered appended to `got`.
int ReceiveSome(const WSPPROC_TABLE& table, SOCKET s, int& error, std::string& got) {
  char data[4096];
  WSABUF in{sizeof data, data};
  DWORD received = 0, flags = 0;
  error = 0;
  const int result =
      table.lpWSPRecv(s, &in, 1, &received, &flags, nullptr, nullptr, nullptr, &error);
  if (result == 0) got.append(data, received);
  return result;
}

// The request and then the whole response on `s`, which stays open.
Exchange Converse(const WSPPROC_TABLE& table, SOCKET s, const std::string& path,
                  const std::string& host) {
  Exchange x;
  x.send_result = SendText(table, s, Request(path, host), x.send_error);
  if (x.send_result != 0) return x;
  std::size_t before = 0;
  do {
    before = x.received.size();
    x.recv_result = ReceiveSome(table, s, x.recv_error, x.received);
  } while (x.recv_result == 0 && x.received.size() != before);
  return x;
}

// One request on a socket of its own, closed afterwards.
Exchange Fetch(const WSPPROC_TABLE& table, WSAPROTOCOL_INFOW& info, const std::string& path,
               const std::string& host) {
  SOCKET s = NewSocket(table, info);
  ConnectToServer(table, s);
  Exchange x = Converse(table, s, path, host);
  INT error = 0;
  table.lpWSPCloseSocket(s, &error);
  return x;
}

class Loopback : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok()) << "cannot listen on 127.0.0.1:" << kPort;
    value_ = std::make_unique<LowerPathValue>("9900", BinDir() + "forwarding_lower.dll");
    info_ = ProtocolInfo(9900);
    StartupResult r = StartTarvel(info_);
    ASSERT_EQ(r.result, 0);
    table_ = r.table;
  }
  void TearDown() override {
    TarvelExport<SetFlagFn>("SetSmartFilter")(0);
    TarvelExport<SetFlagFn>("SetOnlyWhiteUrl")(0);
  }

  PageServer server_;
  std::unique_ptr<LowerPathValue> value_;
  WSAPROTOCOL_INFOW info_;
  WSPPROC_TABLE table_;
};

TEST_F(Loopback, AllowedHostGetsTheResponse) {
  Exchange x = Fetch(table_, info_, "/", "www.allowed.example");
  EXPECT_EQ(x.send_result, 0);
  EXPECT_NE(x.received.find("Weather: sunny"), std::string::npos) << x.received;
}

TEST_F(Loopback, BlacklistedHostIsCutOff) {
  ASSERT_EQ(TarvelExport<AddUrlFn>("AddBlackUrl")("cut-off.example"), 1);
  Exchange x = Fetch(table_, info_, "/", "www.Cut-Off.example:8080");
  EXPECT_EQ(x.send_result, SOCKET_ERROR);
  EXPECT_EQ(x.send_error, WSAESHUTDOWN);
  EXPECT_TRUE(x.received.empty());
  // Other hosts still pass.
  EXPECT_EQ(Fetch(table_, info_, "/", "allowed.example").send_result, 0);
}

// The block cuts the connection but leaves the handle to the application: a
// socket made after the block never gets the blocked one's handle value, so
// the application's own close of the blocked socket cannot end it.
TEST_F(Loopback, BlockedSocketStaysTheApplicationsUntilItCloses) {
  ASSERT_EQ(TarvelExport<AddUrlFn>("AddBlackUrl")("held.example"), 1);
  SOCKET blocked = NewSocket(table_, info_);
  ConnectToServer(table_, blocked);
  int error = 0;
  EXPECT_EQ(SendText(table_, blocked, Request("/", "held.example"), error), SOCKET_ERROR);
  EXPECT_EQ(error, WSAESHUTDOWN);

  SOCKET next = NewSocket(table_, info_);
  EXPECT_NE(next, blocked);

  // Nothing passes the blocked socket either way, not even the server's answer
  // to the end of the stream it saw.
  EXPECT_EQ(SendText(table_, blocked, "GET /again HTTP/1.0\r\n\r\n", error), SOCKET_ERROR);
  EXPECT_EQ(error, WSAESHUTDOWN);
  std::string got;
  EXPECT_EQ(ReceiveSome(table_, blocked, error, got), SOCKET_ERROR);
  EXPECT_EQ(error, WSAESHUTDOWN);
  EXPECT_EQ(got, "");
  INT close_error = 0;
  EXPECT_EQ(table_.lpWSPCloseSocket(blocked, &close_error), 0) << close_error;

  ConnectToServer(table_, next);
  Exchange x = Converse(table_, next, "/", "allowed.example");
  EXPECT_NE(x.received.find("Weather: sunny"), std::string::npos) << x.received;
  table_.lpWSPCloseSocket(next, &close_error);
}

TEST_F(Loopback, WhiteOnlyModeCutsOffUnlistedHosts) {
  ASSERT_EQ(TarvelExport<AddUrlFn>("AddWhiteUrl")("listed.example"), 1);
  ASSERT_EQ(TarvelExport<SetFlagFn>("SetOnlyWhiteUrl")(1), 1);
  EXPECT_EQ(Fetch(table_, info_, "/", "listed.example").send_result, 0);
  Exchange x = Fetch(table_, info_, "/", "other.example");
  EXPECT_EQ(x.send_result, SOCKET_ERROR);
  EXPECT_EQ(x.send_error, WSAESHUTDOWN);
}

TEST_F(Loopback, PageWithPhraseIsCutOffBySmartFilter) {
  ASSERT_EQ(TarvelExport<SetFlagFn>("SetSmartFilter")(1), 1);
  Exchange plain = Fetch(table_, info_, "/plain", "pages.example");
  EXPECT_NE(plain.received.find("sunny"), std::string::npos);
  Exchange x = Fetch(table_, info_, "/adult", "pages.example");
  EXPECT_EQ(x.send_result, 0);
  EXPECT_EQ(x.recv_result, SOCKET_ERROR);
  EXPECT_EQ(x.recv_error, WSAESHUTDOWN);
  EXPECT_EQ(x.received.find("orgy"), std::string::npos);
}

}  // namespace
}  // namespace tarvel::wine

namespace tarvel::wine {
namespace {

// An overlapped receive on a completion port that completes at once has its
// completion queued when the call returns. A phrase in it cuts the connection
// but keeps that result: the application gets the one completion it was
// promised, and its next receive fails.
TEST_F(Loopback, OverlappedReceiveDoneAtOnceCompletesOnceThenNextFails) {
  ASSERT_EQ(TarvelExport<SetFlagFn>("SetSmartFilter")(1), 1);
  INT error = 0;
  SOCKET s =
      table_.lpWSPSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP, &info_, 0, WSA_FLAG_OVERLAPPED, &error);
  ASSERT_NE(s, INVALID_SOCKET) << error;
  ConnectToServer(table_, s);
  HANDLE port = CreateIoCompletionPort(reinterpret_cast<HANDLE>(s), nullptr, 7, 0);
  ASSERT_NE(port, nullptr) << GetLastError();
  int send_error = 0;
  ASSERT_EQ(SendText(table_, s, Request("/adult", "pages.example"), send_error), 0) << send_error;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval wait{5, 0};
  ASSERT_EQ(select(0, &readable, nullptr, nullptr, &wait), 1) << "the page never arrived";
  Sleep(100);  // the whole page, not only its first bytes

  char data[4096] = {};
  WSABUF in{sizeof data, data};
  DWORD received = 0, flags = 0;
  WSAOVERLAPPED overlapped = {};
  error = static_cast<INT>(0xDEADBEEF);
  EXPECT_EQ(table_.lpWSPRecv(s, &in, 1, &received, &flags, &overlapped, nullptr, nullptr, &error),
            0)
      << error;

  DWORD bytes = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED done = nullptr;
  ASSERT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &done, 2000)) << GetLastError();
  EXPECT_EQ(done, &overlapped);
  EXPECT_EQ(key, 7u);
  EXPECT_GT(bytes, 0u);
  EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &done, 200)) << "a second completion";

  std::string got;
  EXPECT_EQ(ReceiveSome(table_, s, error, got), SOCKET_ERROR);
  EXPECT_EQ(error, WSAESHUTDOWN);
  table_.lpWSPCloseSocket(s, &error);
  CloseHandle(port);
}

}  // namespace
}  // namespace tarvel::wine
