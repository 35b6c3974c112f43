#include "filter/tls_hello.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/testing/client_hello.h"
#include "tests/testing/guarded_buffer.h"
#include "tests/testing/tls_hello_plain.h"

namespace tarvel {
namespace {

using testing::GuardedBuffer;

// Short names for the builders, as the rows use them often.
std::string N(std::size_t bytes, std::size_t value) { return testing::Number(bytes, value); }
std::string V(std::size_t bytes, const std::string& body) { return testing::Vector(bytes, body); }
std::string Ext(std::size_t type, const std::string& body) {
  return testing::Extension(type, body);
}
std::string ServerName(const std::vector<testing::NameEntry>& entries) {
  return testing::ServerNameExtension(entries);
}
std::string Sni(const std::string& name) { return testing::ServerNameExtension(name); }
std::string Body(const std::string& extensions_field) {
  return testing::HelloBody(extensions_field);
}
std::string Message(const std::string& body) { return testing::HelloMessage(body); }
std::string Record(const std::string& fragment,
                   const std::string& version = std::string("\x03\x01", 2)) {
  return testing::HandshakeRecord(fragment, version);
}
std::string Records(const std::string& message, std::size_t size) {
  return testing::HandshakeRecords(message, size);
}
std::string Hello(const std::string& extensions) { return testing::ClientHello(extensions); }

const std::string kVersionAndRandom = testing::VersionAndRandom();
const std::string kSessionId = testing::SessionIdField();
const std::string kSuites = testing::CipherSuitesField();

const std::string kGrease = Ext(0x0a0a, "");
const std::string kVersions = Ext(43, V(1, "\x7a\x7a\x03\x04\x03\x03"));
const std::string kKeyShare = Ext(51, V(2, N(2, 0x11ec) + V(2, std::string(1216, 'k'))));

// --- Which sends are ClientHellos --------------------------------------------

struct BeginsRow {
  const char* name;
  std::string bytes;
  bool hello;
};

class BeginsWithClientHelloTest : public ::testing::TestWithParam<BeginsRow> {};

TEST_P(BeginsWithClientHelloTest, Answers) {
  const BeginsRow& row = GetParam();
  GuardedBuffer guarded(64);
  const char* at = reinterpret_cast<const char*>(guarded.Place(row.bytes));
  EXPECT_EQ(BeginsWithClientHello(at, row.bytes.size()), row.hello);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, BeginsWithClientHelloTest,
    ::testing::Values(
        BeginsRow{"Hello", std::string("\x16\x03\x01\x02\x00\x01", 6), true},
        BeginsRow{"AnyMinorVersion", std::string("\x16\x03\x07\x02\x00\x01\x00", 7), true},
        BeginsRow{"HeaderAloneCounts", std::string("\x16\x03\x01\x02\x00", 5), true},
        BeginsRow{"TypeAndMajorCount", std::string("\x16\x03", 2), true},
        BeginsRow{"OneByteNever", std::string("\x16", 1), false}, BeginsRow{"Empty", "", false},
        BeginsRow{"ServerHello", std::string("\x16\x03\x03\x00\x50\x02", 6), false},
        BeginsRow{"ApplicationData", std::string("\x17\x03\x03\x00\x50\x01", 6), false},
        BeginsRow{"MajorTwo", std::string("\x16\x02\x00\x00\x50\x01", 6), false},
        BeginsRow{"HttpRequest", "GET / HTTP/1.1\r\n", false}),
    [](const ::testing::TestParamInfo<BeginsRow>& info) { return std::string(info.param.name); });

TEST(BeginsWithClientHello, NullData) { EXPECT_FALSE(BeginsWithClientHello(nullptr, 6)); }

// --- The name a hello gives ---------------------------------------------------

struct NameRow {
  const char* name;
  std::string bytes;
  std::string host;
};

class ServerNameOfTest : public ::testing::TestWithParam<NameRow> {};

// Each row sits at the end of a readable page: a read past its last byte
// faults. The plain reading must agree.
TEST_P(ServerNameOfTest, GivesHost) {
  const NameRow& row = GetParam();
  GuardedBuffer guarded(row.bytes.size());
  const char* at = reinterpret_cast<const char*>(guarded.Place(row.bytes));
  const Host host = ServerNameOf(at, row.bytes.size());
  EXPECT_EQ(std::string(host.text, host.length), row.host);
  EXPECT_EQ(host.text[host.length], '\0');
  const Host plain = testing::ServerNameOfPlain(at, row.bytes.size());
  EXPECT_EQ(std::string(plain.text, plain.length), row.host);
}

const std::string k150(150, 'a');
const std::string k99(99, 'b');
const std::string kMessage = Message(Body(V(2, kGrease + Sni("news.example") + kKeyShare)));

INSTANTIATE_TEST_SUITE_P(
    Names, ServerNameOfTest,
    ::testing::Values(
        NameRow{"NameTaken", Hello(Sni("news.example")), "news.example"},
        NameRow{"ExtensionsInAnyOrderWithGrease",
                Hello(kGrease + kVersions + kKeyShare + Sni("a.example") +
                      Ext(0xfafa, std::string(1, '\0'))),
                "a.example"},
        NameRow{"FirstHostNameEntryTaken",
                Hello(ServerName({{7, "other"}, {0, "a.example"}, {0, "b.example"}})), "a.example"},
        NameRow{"FirstServerNameExtensionTaken", Hello(Sni("a.example") + Sni("b.example")),
                "a.example"},
        NameRow{"WwwDroppedCaseKept", Hello(Sni("WwW.Shop.Example")), "Shop.Example"},
        NameRow{"WwwWithoutDotKept", Hello(Sni("www2.example")), "www2.example"},
        NameRow{"TrailingDotDropped", Hello(Sni("shop.example.")), "shop.example"},
        NameRow{"OnlyOneTrailingDotDropped", Hello(Sni("a.b..")), "a.b."},
        NameRow{"TrailingDotThenWww", Hello(Sni("www.a.b.")), "a.b"},
        NameRow{"WwwDotIsTheNameWww", Hello(Sni("www.")), "www"},
        NameRow{"ZeroByteEndsName", Hello(Sni(std::string("a.ex\0ample", 10))), "a.ex"},
        NameRow{"ZeroByteFirst", Hello(Sni(std::string("\0bad.example", 12))), ""},
        NameRow{"LongNameCutTo99", Hello(Sni(k150)), std::string(99, 'a')},
        NameRow{"Name99Whole", Hello(Sni(k99)), k99},
        NameRow{"Name99AndDotWhole", Hello(Sni(k99 + ".")), k99},
        NameRow{"WwwThen99Kept", Hello(Sni("www." + k99 + "ccc")), k99},
        NameRow{"NameOf65000BytesCut", Hello(Sni(std::string(65000, 'n'))), std::string(99, 'n')}),
    [](const ::testing::TestParamInfo<NameRow>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Records, ServerNameOfTest,
    ::testing::Values(
        NameRow{"OneByteRecords", Records(kMessage, 1), "news.example"},
        NameRow{"SevenByteRecords", Records(kMessage, 7), "news.example"},
        NameRow{"RecordVersionSsl3", Record(kMessage, std::string("\x03\x00", 2)), "news.example"},
        NameRow{"RecordVersionTls13", Record(kMessage, "\x03\x04"), "news.example"},
        NameRow{"OverSixteenKiB",
                Records(Message(Body(V(2, Ext(21, std::string(20000, '\0')) + Sni("far.example")))),
                        16384),
                "far.example"},
        NameRow{
            "EmptyRecordsPassedOver",
            Record(kMessage.substr(0, 6)) + Record("") + Record("") + Record(kMessage.substr(6)),
            "news.example"},
        NameRow{"TruncatedAfterName", Hello(Sni("a.example") + kKeyShare).substr(0, 120),
                "a.example"},
        NameRow{"SecondRecordNotHandshake",
                Record(kMessage.substr(0, 50)) + "\x17\x03\x03" + V(2, kMessage.substr(50)), ""},
        NameRow{"SecondRecordHeaderCut", Record(kMessage.substr(0, 50)) + "\x16\x03\x03\x01", ""},
        NameRow{"FirstRecordEmpty", Record("") + Record(kMessage), ""}),
    [](const ::testing::TestParamInfo<NameRow>& info) { return std::string(info.param.name); });

// Malformed hellos: each length overruns the one enclosing it, or a field is
// cut off. None names a host, and none is read past its end.
const std::string kSni = Sni("bad.example");
const std::string kHostName(1, '\0');  // the name type host_name

INSTANTIATE_TEST_SUITE_P(
    Malformed, ServerNameOfTest,
    ::testing::Values(
        NameRow{"NoServerName", Hello(kVersions + kKeyShare), ""},
        NameRow{"NoHostNameEntry", Hello(ServerName({{1, "bad.example"}})), ""},
        NameRow{"EmptyNameList", Hello(ServerName({})), ""},
        NameRow{"EmptyName", Hello(Sni("")), ""},
        NameRow{"NoExtensionsField", Record(Message(Body(""))), ""},
        NameRow{"ExtensionsLengthCut", Record(Message(Body(std::string(1, '\0')))), ""},
        NameRow{"HandshakeTypeNotHello", Record("\x02" + V(3, Body(V(2, kSni)))), ""},
        NameRow{"HandshakeShorterThanExtensions",
                Record("\x01" + N(3, Body(V(2, kSni)).size() - 3) + Body(V(2, kSni))), ""},
        NameRow{"HandshakeLengthCut", Record(std::string("\x01\x00\x01", 3)), ""},
        NameRow{"RandomCut", Record(Message(kVersionAndRandom.substr(0, 20))), ""},
        NameRow{"SessionIdOverrunsHello",
                Record(Message(kVersionAndRandom + N(1, 200) + std::string(100, 's'))), ""},
        NameRow{"SuitesOverrunHello",
                Record(Message(kVersionAndRandom + kSessionId + N(2, 60000) + kSni)), ""},
        NameRow{"CompressionOverrunsHello",
                Record(Message(kVersionAndRandom + kSessionId + kSuites + N(1, 255) + kSni)), ""},
        NameRow{"ExtensionsOverrunHello", Record(Message(Body(N(2, kSni.size() + 1) + kSni))), ""},
        NameRow{"ExtensionOverrunsExtensions",
                Record(Message(Body(V(2, N(2, 43) + N(2, 400) + kSni)))), ""},
        NameRow{"ExtensionHeaderCut", Hello(kSni.substr(0, 3)), ""},
        NameRow{"NameListOverrunsExtension", Hello(Ext(0, N(2, 100) + kHostName + V(2, "bad"))),
                ""},
        NameRow{"NameOverrunsList", Hello(Ext(0, V(2, kHostName + N(2, 50) + "bad.example"))), ""},
        NameRow{"NameEntryHeaderCut", Hello(Ext(0, V(2, kHostName + kHostName))), ""},
        NameRow{"TruncatedInsideName", Hello(Sni("bad.example")).substr(0, 98), ""},
        NameRow{"NotAHello", "GET / HTTP/1.1\r\nHost: bad.example\r\n\r\n", ""}),
    [](const ::testing::TestParamInfo<NameRow>& info) { return std::string(info.param.name); });

// Every prefix of a hello, at the end of a readable page: none is read past
// its end, and the name is given exactly when it lies wholly inside.
TEST(ServerNameOf, EveryPrefixAtPageEnd) {
  for (std::size_t records : {std::size_t{16384}, std::size_t{5}}) {
    const std::string hello = Records(kMessage, records);
    // Where the name's last byte lies once each record has its header.
    const std::size_t last = kMessage.rfind("news.example") + 11;
    const std::size_t name_end = last + 5 * (last / records + 1) + 1;
    GuardedBuffer guarded(hello.size());
    for (std::size_t n = 0; n <= hello.size(); ++n) {
      const char* at = reinterpret_cast<const char*>(guarded.Place(hello.substr(0, n)));
      const Host host = ServerNameOf(at, n);
      ASSERT_EQ(std::string(host.text, host.length), n >= name_end ? "news.example" : "")
          << "records of " << records << ", prefix " << n;
    }
  }
}

TEST(ServerNameOf, NullData) { EXPECT_EQ(ServerNameOf(nullptr, 100).length, 0u); }

// A kept hello start survives its 64-bit word whole; a word that holds no
// start (a length of 0 or past 8) gives none.
TEST(HelloStartWord, RoundTripsEveryLength) {
  const std::string hello = testing::BrowserClientHello("example.com");
  for (std::uint8_t n = 1; n < kHelloHeadBytes; ++n) {
    HelloStart start;
    start.length = n;
    hello.copy(start.bytes, n);
    const HelloStart back = UnpackHelloStart(PackHelloStart(start));
    EXPECT_EQ(std::string(back.bytes, back.length), hello.substr(0, n)) << int{n};
  }
  for (std::uint64_t word : {std::uint64_t{0}, std::uint64_t{9}, ~std::uint64_t{0} << 8}) {
    EXPECT_EQ(UnpackHelloStart(word).length, 0) << word;
  }
  EXPECT_TRUE(MayBeginClientHello("\x16", 1));
  EXPECT_FALSE(MayBeginClientHello("\x17", 1));
  EXPECT_FALSE(MayBeginClientHello(nullptr, 1));
}

}  // namespace
}  // namespace tarvel
