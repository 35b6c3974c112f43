// The kept port-test answers inside the real tarvel.dll, over a lower
// provider that calls the real Winsock: an answer is dropped when the
// socket is closed, cut, connected again or cleaned up, so that a socket
// on a reused handle value, or on a new peer, is judged afresh.
//
// A kept answer shows itself only when it is wrong: a blacklisted request
// on a socket to a port that is not HTTP passes (send returns 0) unless the
// socket is taken for an HTTP socket, when it is blocked (SOCKET_ERROR).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tests/wine/harness.h"

namespace tarvel::wine {
namespace {

using AddUrlFn = int(__cdecl*)(const char*);

constexpr char kGood[] = "GET / HTTP/1.1\r\nHost: www.fine.example\r\n\r\n";
constexpr char kBlocked[] = "GET / HTTP/1.1\r\nHost: www.kept-answers.example\r\n\r\n";

class PortAnswers : public ::testing::Test {
 public:
  void SetUp() override {
    EnsureWinsock();
    static const bool added = TarvelExport<AddUrlFn>("AddBlackUrl")("kept-answers.example") == 1;
    ASSERT_TRUE(added);
    LowerPathValue value("9901", BinDir() + "forwarding_lower.dll");
    info_ = ProtocolInfo(9901);
    StartupResult r = StartTarvel(info_);
    ASSERT_EQ(r.result, 0);
    t_ = r.table;
    ASSERT_TRUE(Open(SOCK_STREAM, 8080, http_) && Open(SOCK_STREAM, 0, other_));
    ASSERT_TRUE(Open(SOCK_DGRAM, 8080, http_udp_) && Open(SOCK_DGRAM, 0, other_udp_));
  }
  void TearDown() override {
    INT error = 0;
    for (SOCKET s : made_) t_.lpWSPCloseSocket(s, &error);
    for (SOCKET s : plain_) closesocket(s);
  }

  const WSPPROC_TABLE& Table() const { return t_; }

  // A socket made through tarvel's table, closed at the end.
  SOCKET Make(int type = SOCK_STREAM) {
    INT error = 0;
    WSAPROTOCOL_INFOW info = info_;
    const SOCKET s = t_.lpWSPSocket(AF_INET, type, 0, &info, 0, 0, &error);
    EXPECT_NE(s, INVALID_SOCKET) << error;
    made_.push_back(s);
    return s;
  }
  int ConnectThroughTarvel(SOCKET s, const Endpoint& to) {
    INT error = 0;
    return t_.lpWSPConnect(s, reinterpret_cast<const sockaddr*>(&to.address), sizeof to.address,
                           nullptr, nullptr, nullptr, nullptr, &error);
  }
  // Connected as ConnectEx would: without passing tarvel's WSPConnect.
  static int ConnectPlainly(SOCKET s, const Endpoint& to) {
    return connect(s, reinterpret_cast<const sockaddr*>(&to.address), sizeof to.address);
  }
  int Send(SOCKET s, const char* request) {
    WSABUF buffer{static_cast<ULONG>(std::strlen(request)), const_cast<char*>(request)};
    DWORD sent = 0;
    INT error = 0;
    return t_.lpWSPSend(s, &buffer, 1, &sent, 0, nullptr, nullptr, nullptr, &error);
  }
  // A socket not made through tarvel on the handle value `value`, which was
  // just freed (Wine hands out the lowest free value first).
  SOCKET PlainSocketOn(SOCKET value) {
    std::vector<SOCKET> others;
    SOCKET s = INVALID_SOCKET;
    for (int i = 0; i < 64 && s != value; ++i) {
      s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
      if (s != value) others.push_back(s);
    }
    for (SOCKET o : others) closesocket(o);
    EXPECT_EQ(s, value) << "the handle value was not handed out again";
    plain_.push_back(s);
    return s;
  }

 protected:
  WSAPROTOCOL_INFOW info_;
  WSPPROC_TABLE t_;
  Endpoint http_, other_, http_udp_, other_udp_;
  std::vector<SOCKET> made_, plain_;
};

// A socket on port 8080 gets its answer kept, then ends as the row says;
// a plain socket on the same handle value to another port is then not
// judged.
struct EndRow {
  const char* name;
  void (*end)(PortAnswers& test, SOCKET s);
};

class AnswerDropped : public PortAnswers, public ::testing::WithParamInterface<EndRow> {};

TEST_P(AnswerDropped, ReusedHandleValueIsJudgedAfresh) {
  const SOCKET s = Make();
  ASSERT_EQ(ConnectThroughTarvel(s, http_), 0);
  ASSERT_EQ(Send(s, kGood), 0);  // the answer "HTTP" is kept
  GetParam().end(*this, s);
  made_.clear();
  const SOCKET reused = PlainSocketOn(s);
  ASSERT_EQ(ConnectPlainly(reused, other_), 0);
  EXPECT_EQ(Send(reused, kBlocked), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AnswerDropped,
    ::testing::Values(EndRow{"Closed",
                             [](PortAnswers& test, SOCKET s) {
                               INT error = 0;
                               EXPECT_EQ(test.Table().lpWSPCloseSocket(s, &error), 0);
                             }},
                      EndRow{"CleanedUp",
                             [](PortAnswers& test, SOCKET s) {
                               INT error = 0;
                               EXPECT_EQ(test.Table().lpWSPCleanup(&error), 0);
                               closesocket(s);  // the lower provider keeps its sockets open
                             }},
                      EndRow{
                          "Blocked",
                          [](PortAnswers& test, SOCKET s) {
                            EXPECT_EQ(test.Send(s, kBlocked), SOCKET_ERROR);
                            closesocket(
                                s);  // frees the value whether the block closed the socket or not
                          }}),
    [](const ::testing::TestParamInfo<EndRow>& info) { return std::string(info.param.name); });

TEST_F(PortAnswers, ConnectedAgainIsJudgedAfresh) {
  const SOCKET s = Make(SOCK_DGRAM);
  ASSERT_EQ(ConnectThroughTarvel(s, http_udp_), 0);
  ASSERT_EQ(Send(s, kGood), 0);
  ASSERT_EQ(ConnectThroughTarvel(s, other_udp_), 0);
  EXPECT_EQ(Send(s, kBlocked), 0);
  ASSERT_EQ(ConnectThroughTarvel(s, http_udp_), 0);
  EXPECT_EQ(Send(s, kBlocked), SOCKET_ERROR);
}

TEST_F(PortAnswers, SocketConnectedAfterItsFirstCallBecomesHttp) {
  const SOCKET s = Make();
  EXPECT_EQ(Send(s, kGood), SOCKET_ERROR);  // not connected: nothing is kept
  ASSERT_EQ(ConnectPlainly(s, http_), 0);
  EXPECT_EQ(Send(s, kBlocked), SOCKET_ERROR);
}

}  // namespace
}  // namespace tarvel::wine
