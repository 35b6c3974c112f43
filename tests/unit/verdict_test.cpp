#include "filter/verdict.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/testing/client_hello.h"
#include "tests/testing/fake_call_site.h"
#include "tests/testing/state_builder.h"

namespace tarvel {
namespace {

using testing::AddEntries;
using testing::FakeCallSite;

const std::string kBlocked = "GET / HTTP/1.1\r\nHost: www.bad.example\r\n\r\n";
const std::string kAllowed = "GET / HTTP/1.1\r\nHost: good.example\r\n\r\n";
const std::string kNoHost = "GET / HTTP/1.0\r\n\r\n";
const std::string kPhrase = "GET /orgy/sex HTTP/1.0\r\n\r\n";

struct Setup {
  bool lists_ready = true;
  bool white_only = false;
  bool smart = false;
};

// Extensions as a new block holds them, the HTTPS filter on or off.
const SharedExtensions& Extensions(bool https) {
  static const auto off = testing::NewExtensions(0);
  static const auto on = testing::NewExtensions(1);
  return https ? *on : *off;
}

std::unique_ptr<FilterState> MakeState(const Setup& setup) {
  auto state = testing::NewStateWithPhrases();
  state->lists_ready = setup.lists_ready ? 1 : 0;
  state->white_only = setup.white_only ? 1 : 0;
  state->smart_filter = setup.smart ? 1 : 0;
  AddEntries(*state, ListKind::kBlack, {"bad.example"});
  AddEntries(*state, ListKind::kWhite, {"good.example"});
  return state;
}

struct SendRow {
  const char* name;
  Setup setup;
  std::string request;
  int exempt;
  int http;
  const char* lower_sequence;  // "lower" passes, "cut,lower" blocks
  const char* recorded;        // the block's record: "REASON HOST PHRASE", "" for none
};

// The records a call made, one per block at most.
std::string Records(const FakeCallSite& site) {
  std::string out;
  for (const std::string& r : site.records) out += (out.empty() ? "" : "; ") + r;
  return out;
}

class SendVerdictTest : public ::testing::TestWithParam<SendRow> {};

TEST_P(SendVerdictTest, LowerCalls) {
  const SendRow& row = GetParam();
  auto state = MakeState(row.setup);
  std::string request = row.request;
  BufferDesc buffer{static_cast<std::uint32_t>(request.size()), request.data()};
  FakeCallSite site;
  site.exempt = row.exempt;
  site.http = row.http;
  site.lower_results = {-1};
  EXPECT_EQ(FilterSend(*state, Extensions(false), &buffer, 1, site), -1);
  EXPECT_EQ(site.Sequence(), row.lower_sequence);
  EXPECT_EQ(Records(site), row.recorded);
}

constexpr Setup kLists{true, false, false};
constexpr Setup kWhiteOnly{true, true, false};
constexpr Setup kSmart{false, false, true};
constexpr Setup kAll{true, false, true};
constexpr Setup kNothing{false, false, false};

INSTANTIATE_TEST_SUITE_P(
    Rows, SendVerdictTest,
    ::testing::Values(
        SendRow{"BlackListedHostBlocked", kLists, kBlocked, 0, 1, "cut,lower",
                "blacklisted bad.example -1"},
        SendRow{"OtherHostPasses", kLists, kAllowed, 0, 1, "lower", ""},
        SendRow{"NotHttpNeverJudged", kAll, kBlocked, 0, 0, "lower", ""},
        SendRow{"ExemptPasses", kAll, kBlocked, 1, 1, "lower", ""},
        SendRow{"WhiteOnlyUnlistedBlocked", kWhiteOnly, kBlocked, 0, 1, "cut,lower",
                "not-whitelisted bad.example -1"},
        SendRow{"WhiteOnlyListedPasses", kWhiteOnly, kAllowed, 0, 1, "lower", ""},
        SendRow{"WhiteOnlyNoHostPasses", kWhiteOnly, kNoHost, 0, 1, "lower", ""},
        SendRow{"ListsNotReadyNoListTest", {false, false, false}, kBlocked, 0, 1, "lower", ""},
        // Phrase slot 56 is "orgy sex".
        SendRow{"ListsNotReadySmartStillScans", kSmart, kPhrase, 0, 1, "cut,lower",
                "phrase-in-send - 56"},
        // The list step took no host: the block takes it for its record.
        SendRow{"ListsNotReadyPhraseRecordsTheHost", kSmart, kAllowed + "orgy sex.", 0, 1,
                "cut,lower", "phrase-in-send good.example 56"},
        SendRow{"SmartOffPhrasePasses", kLists, kPhrase, 0, 1, "lower", ""},
        SendRow{"AllowedHostStillScanned", kAll, kAllowed + "orgy sex.", 0, 1, "cut,lower",
                "phrase-in-send good.example 56"},
        SendRow{"FirstPhraseInTableOrderRecorded", kAll, kAllowed + "erotic stories, orgy sex.", 0,
                1, "cut,lower", "phrase-in-send good.example 24"},
        SendRow{"NothingOnEverythingPasses", kNothing, kBlocked + "orgy sex.", 0, 1, "lower", ""}),
    [](const ::testing::TestParamInfo<SendRow>& info) { return std::string(info.param.name); });

TEST(SendVerdict, ExemptProcessAskedFirstAndAlone) {
  auto state = MakeState(kAll);
  std::string request = kBlocked;
  BufferDesc buffer{static_cast<std::uint32_t>(request.size()), request.data()};
  FakeCallSite site;
  site.exempt = 1;
  FilterSend(*state, Extensions(false), &buffer, 1, site);
  EXPECT_EQ(site.calls, (std::vector<std::string>{"exempt", "lower"}));
}

TEST(SendVerdict, RecordedOnceBeforeTheCut) {
  auto state = MakeState(kAll);
  std::string request = kBlocked + "orgy sex.";
  BufferDesc buffer{static_cast<std::uint32_t>(request.size()), request.data()};
  FakeCallSite site;
  FilterSend(*state, Extensions(false), &buffer, 1, site);
  EXPECT_EQ(site.calls, (std::vector<std::string>{"exempt", "http", "record", "cut", "lower"}));
  EXPECT_EQ(Records(site), "blacklisted bad.example -1") << "a list block is not scanned";
}

TEST(SendVerdict, PortTestAskedOncePerCall) {
  auto state = MakeState(kAll);
  std::string request = kAllowed;
  BufferDesc buffer{static_cast<std::uint32_t>(request.size()), request.data()};
  FakeCallSite site;
  FilterSend(*state, Extensions(false), &buffer, 1, site);
  EXPECT_EQ(site.calls, (std::vector<std::string>{"exempt", "http", "lower"}));
}

TEST(SendVerdict, OnlyFirstBufferIsJudged) {
  auto state = MakeState(kAll);
  std::string first = kAllowed;
  std::string second = kBlocked + "orgy sex.";
  BufferDesc buffers[2] = {{static_cast<std::uint32_t>(first.size()), first.data()},
                           {static_cast<std::uint32_t>(second.size()), second.data()}};
  FakeCallSite site;
  FilterSend(*state, Extensions(false), buffers, 2, site);
  EXPECT_EQ(site.Sequence(), "lower");
}

TEST(SendVerdict, NoBuffersNothingInspected) {
  auto state = MakeState(kAll);
  for (std::uint32_t count : {0u, 1u}) {
    FakeCallSite site;
    BufferDesc null_buf{100, nullptr};
    EXPECT_EQ(FilterSend(*state, Extensions(false), count ? &null_buf : nullptr, count, site), 7);
    EXPECT_EQ(site.Sequence(), "lower");
  }
}

// --- The HTTPS filter -------------------------------------------------------
// A ClientHello is judged by its name on any socket; the port test is never
// asked for it. Other sends ask whether the socket is QUIC, then go the HTTP
// way.

using testing::BrowserClientHello;

struct HttpsRow {
  const char* name;
  Setup setup;
  bool https;
  std::string first_buffer;
  int exempt;
  int quic;
  std::vector<std::string> calls;
  int result;            // 7 the lower send's, -1 a refusal
  const char* recorded;  // the block's record, "" for none
};

class HttpsVerdictTest : public ::testing::TestWithParam<HttpsRow> {};

TEST_P(HttpsVerdictTest, CallsResultAndRecord) {
  const HttpsRow& row = GetParam();
  auto state = MakeState(row.setup);
  std::string data = row.first_buffer;
  BufferDesc buffer{static_cast<std::uint32_t>(data.size()), data.data()};
  FakeCallSite site;
  site.exempt = row.exempt;
  site.http = 0;
  site.quic = row.quic;
  EXPECT_EQ(FilterSend(*state, Extensions(row.https), &buffer, 1, site), row.result);
  EXPECT_EQ(site.calls, row.calls);
  EXPECT_EQ(Records(site), row.recorded);
}

const std::string kBadHello = BrowserClientHello("www.Bad.Example");
const std::string kGoodHello = BrowserClientHello("good.example");
const std::string kNamelessHello = BrowserClientHello("");
// The record header alone: the rest of the hello comes in a later send.
const std::string kHelloHeader = kBadHello.substr(0, 5);
const std::string kData = "\x17\x03\x03\x00\x10 sixteen bytes..";

using Calls = std::vector<std::string>;
const Calls kPassedCalls{"exempt", "lower"};
const Calls kBlockedCalls{"exempt", "record", "cut", "lower"};
const Calls kRefusedCalls{"exempt", "quic", "record", "refused"};
constexpr Setup kWhite{true, true, false};
constexpr Setup kNotReady{false, true, true};
constexpr bool kOn = true;
constexpr bool kOff = false;

INSTANTIATE_TEST_SUITE_P(
    Rows, HttpsVerdictTest,
    ::testing::Values(
        HttpsRow{"BlackListedNameBlocked", kLists, kOn, kBadHello, 0, 0, kBlockedCalls, 7,
                 "blacklisted Bad.Example -1"},
        HttpsRow{"OtherNamePasses", kLists, kOn, kGoodHello, 0, 0, kPassedCalls, 7, ""},
        HttpsRow{"NamelessPasses", kLists, kOn, kNamelessHello, 0, 0, kPassedCalls, 7, ""},
        HttpsRow{"WhiteOnlyListedPasses", kWhite, kOn, kGoodHello, 0, 0, kPassedCalls, 7, ""},
        HttpsRow{"WhiteOnlyUnlistedBlocked", kWhite, kOn, kBadHello, 0, 0, kBlockedCalls, 7,
                 "not-whitelisted Bad.Example -1"},
        HttpsRow{"WhiteOnlyNamelessBlocked", kWhite, kOn, kNamelessHello, 0, 0, kBlockedCalls, 7,
                 "not-whitelisted - -1"},
        HttpsRow{"WhiteOnlyHeaderAloneBlocked", kWhite, kOn, kHelloHeader, 0, 0, kBlockedCalls, 7,
                 "not-whitelisted - -1"},
        HttpsRow{"HeaderAlonePasses", kLists, kOn, kHelloHeader, 0, 0, kPassedCalls, 7, ""},
        HttpsRow{"ListsNotReadyPasses", kNotReady, kOn, kNamelessHello, 0, 0, kPassedCalls, 7, ""},
        HttpsRow{"ExemptPasses", kWhite, kOn, kBadHello, 1, 0, kPassedCalls, 7, ""},
        HttpsRow{"FilterOffNotJudged", kWhite, kOff, kBadHello, 0, 0,
                 Calls{"exempt", "http", "lower"}, 7, ""},
        HttpsRow{"QuicRefused", kLists, kOn, kData, 0, 1, kRefusedCalls, -1, "quic - -1"},
        HttpsRow{"QuicExemptPasses", kLists, kOn, kData, 1, 1, kPassedCalls, 7, ""},
        HttpsRow{"QuicFilterOffPasses", kLists, kOff, kData, 0, 1, Calls{"exempt", "http", "lower"},
                 7, ""},
        HttpsRow{"OtherDataGoesTheHttpWay", kLists, kOn, kData, 0, 0,
                 Calls{"exempt", "quic", "http", "lower"}, 7, ""}),
    [](const ::testing::TestParamInfo<HttpsRow>& info) { return std::string(info.param.name); });

// On an HTTP port too, a hello is judged by its name alone: the Host-like
// text and the phrases its bytes may hold play no part.
TEST(HttpsVerdict, HelloOnHttpPortSkipsHostAndPhrases) {
  auto state = MakeState(kAll);
  std::string hello =
      testing::ClientHello(testing::ServerNameExtension("good.example") +
                           testing::Extension(21, "Host: bad.example\r\norgy sex."));
  for (bool https : {kOn, kOff}) {
    BufferDesc buffer{static_cast<std::uint32_t>(hello.size()), hello.data()};
    FakeCallSite site;
    FilterSend(*state, Extensions(https), &buffer, 1, site);
    EXPECT_EQ(site.Sequence(), https ? "lower" : "cut,lower");
  }
}

// Only the first buffer counts: a hello behind another buffer is not seen.
TEST(HttpsVerdict, OnlyFirstBufferIsJudged) {
  auto state = MakeState(kLists);
  std::string first = "x";
  std::string second = kBadHello;
  BufferDesc buffers[2] = {{1, first.data()},
                           {static_cast<std::uint32_t>(second.size()), second.data()}};
  FakeCallSite site;
  site.http = 0;
  EXPECT_EQ(FilterSend(*state, Extensions(kOn), buffers, 2, site), 7);
  EXPECT_EQ(site.Sequence(), "lower");
}

// A hello is read across the send's buffers, and a start too short to be
// judged (fewer than the record and handshake headers) is kept for the
// socket's next send, which is judged with it in front.
struct SplitRow {
  const char* name;
  Setup setup;
  std::string hello;
  // Each send's buffers, as lengths cut from the hello in order; the last
  // buffer of the last send takes the rest.
  std::vector<std::vector<std::size_t>> sends;
  std::vector<std::string> sequences;  // per send
  std::string kept_after;              // the start left after the last send
};

class HelloSplitTest : public ::testing::TestWithParam<SplitRow> {};

TEST_P(HelloSplitTest, EachSendJudged) {
  const SplitRow& row = GetParam();
  auto state = MakeState(row.setup);
  std::string hello = row.hello;
  FakeCallSite site;
  site.http = 0;
  std::size_t at = 0;
  for (std::size_t i = 0; i < row.sends.size(); ++i) {
    std::vector<BufferDesc> buffers;
    for (std::size_t j = 0; j < row.sends[i].size(); ++j) {
      const bool last = i + 1 == row.sends.size() && j + 1 == row.sends[i].size();
      const std::size_t n = last ? hello.size() - at : row.sends[i][j];
      buffers.push_back({static_cast<std::uint32_t>(n), hello.data() + at});
      at += n;
    }
    site.calls.clear();
    FilterSend(*state, Extensions(kOn), buffers.data(), static_cast<std::uint32_t>(buffers.size()),
               site);
    EXPECT_EQ(site.Sequence(), row.sequences[i]) << "send " << i;
  }
  EXPECT_EQ(site.kept_start, row.kept_after);
}

const std::vector<std::size_t> kRest{0};

INSTANTIATE_TEST_SUITE_P(
    Rows, HelloSplitTest,
    ::testing::Values(
        SplitRow{
            "HeaderAndRestInTwoBuffersBlocked", kLists, kBadHello, {{5, 0}}, {"cut,lower"}, ""},
        SplitRow{"OneByteBufferThenRestBlocked", kLists, kBadHello, {{1, 3, 0}}, {"cut,lower"}, ""},
        SplitRow{"HeaderAloneThenRestBlocked",
                 kLists,
                 kBadHello,
                 {{5}, kRest},
                 {"lower", "cut,lower"},
                 ""},
        SplitRow{"OneByteSendsThenRestBlocked",
                 kLists,
                 kBadHello,
                 {{1}, {1}, {2}, {1, 1}, {2}, kRest},
                 {"lower", "lower", "lower", "lower", "lower", "cut,lower"},
                 ""},
        SplitRow{"AllowedNameAcrossSendsPasses",
                 kLists,
                 kGoodHello,
                 {{5}, kRest},
                 {"lower", "lower"},
                 ""},
        SplitRow{"HeadLeftAfterAShortSend",
                 kLists,
                 kBadHello.substr(0, 3),
                 {{3}},
                 {"lower"},
                 "\x16\x03\x01"},
        SplitRow{
            "WhiteOnlyListedAcrossBuffersPasses", kWhite, kGoodHello, {{5, 2, 0}}, {"lower"}, ""},
        // Only the one byte is too little to judge even in white-only mode.
        SplitRow{"WhiteOnlyOneByteLeftForTheNext",
                 kWhite,
                 kGoodHello,
                 {{1}, kRest},
                 {"lower", "lower"},
                 ""}),
    [](const ::testing::TestParamInfo<SplitRow>& info) { return std::string(info.param.name); });

// A kept start in front of bytes that do not go on as a hello is dropped,
// and the send goes the HTTP way on its own bytes.
TEST(HttpsVerdict, KeptStartBeforeOtherBytesDropped) {
  auto state = MakeState(kLists);
  std::string request = kBlocked;
  BufferDesc buffer{static_cast<std::uint32_t>(request.size()), request.data()};
  FakeCallSite site;
  site.kept_start = "\x16";
  EXPECT_EQ(FilterSend(*state, Extensions(kOn), &buffer, 1, site), 7);
  EXPECT_EQ(site.Sequence(), "cut,lower");
  EXPECT_EQ(site.kept_start, "");
}

// A fault in the QUIC test is tarvel's own: the send goes down unchanged.
// One in the record of a refusal leaves it a refusal.
TEST(HttpsVerdict, FaultsAroundTheQuicRefusal) {
  auto state = MakeState(kLists);
  std::string data = kData;
  BufferDesc buffer{static_cast<std::uint32_t>(data.size()), data.data()};
  for (const char* fault : {"quic", "record"}) {
    FakeCallSite site;
    site.quic = 1;
    site.fault_at = fault;
    const bool in_test = std::string(fault) == "quic";
    EXPECT_EQ(FilterSend(*state, Extensions(kOn), &buffer, 1, site), in_test ? 7 : -1) << fault;
    EXPECT_EQ(site.Sequence(), in_test ? "lower" : "refused") << fault;
  }
}

// --- Send-to -------------------------------------------------------------------

class FakeDatagramSite final : public DatagramSite {
 public:
  int exempt = 0;
  int quic = 1;
  bool fault = false;
  std::vector<std::string> calls;

  int IsExemptProcess() override {
    calls.push_back("exempt");
    return exempt;
  }
  int IsQuicDestination() override {
    calls.push_back("quic");
    if (fault) throw std::runtime_error("bad destination address");
    return quic;
  }
  void RecordBlock(const BlockFacts& facts) override {
    calls.push_back("record " + std::to_string(static_cast<int>(facts.reason)) + " " +
                    std::to_string(facts.host->length));
  }
};

TEST(RefusesDatagram, Rows) {
  struct Row {
    const char* name;
    std::int32_t https_filter;
    int exempt;
    int quic;
    bool fault;
    int refused;
    Calls calls;
  };
  const std::string quic_record =
      "record " + std::to_string(static_cast<int>(BlockReason::kQuicRefused)) + " 0";
  const Row rows[] = {
      {"to port 443: refused", 1, 0, 1, false, 1, {"exempt", "quic", quic_record}},
      {"elsewhere: sent", 1, 0, 0, false, 0, {"exempt", "quic"}},
      {"exempt: sent", 1, 1, 1, false, 0, {"exempt"}},
      {"bad address: the lower provider answers", 1, 0, 1, true, 0, {"exempt", "quic"}},
      {"filter off: nothing asked", 0, 0, 1, false, 0, {}},
      {"filter not exactly 1: off", 2, 0, 1, false, 0, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeDatagramSite site;
    site.exempt = row.exempt;
    site.quic = row.quic;
    site.fault = row.fault;
    EXPECT_EQ(RefusesDatagram(*testing::NewExtensions(row.https_filter), site), row.refused);
    EXPECT_EQ(site.calls, row.calls);
  }
}

struct RecvRow {
  const char* name;
  bool smart;
  std::string buffer;
  int first_result;
  Overlap overlap;
  int exempt;
  int http;
  const char* lower_sequence;
  int result;
  const char* recorded;
};

class RecvVerdictTest : public ::testing::TestWithParam<RecvRow> {};

TEST_P(RecvVerdictTest, LowerCalls) {
  const RecvRow& row = GetParam();
  auto state = MakeState({true, false, row.smart});
  std::string data = row.buffer;
  BufferDesc buffer{static_cast<std::uint32_t>(data.size()), data.data()};
  FakeCallSite site;
  site.exempt = row.exempt;
  site.http = row.http;
  site.lower_results = {row.first_result, -1};
  EXPECT_EQ(FilterRecv(*state, &buffer, 1, row.overlap, site), row.result);
  EXPECT_EQ(site.Sequence(), row.lower_sequence);
  EXPECT_EQ(Records(site), row.recorded);
}

const std::string kPage = "<html>orgy sex</html>";
const std::string kPlain = "<html>weather</html>";

constexpr Overlap kPlainCall = Overlap::kNone;

INSTANTIATE_TEST_SUITE_P(
    Rows, RecvVerdictTest,
    ::testing::Values(
        RecvRow{"PhraseBlocked", true, kPage, 21, kPlainCall, 0, 1, "lower,cut,lower", -1,
                "phrase-in-receive - 56"},
        RecvRow{"PlainPasses", true, kPlain, 20, kPlainCall, 0, 1, "lower", 20, ""},
        RecvRow{"SmartOff", false, kPage, 21, kPlainCall, 0, 1, "lower", 21, ""},
        RecvRow{"FailedReceiveUnscanned", true, kPage, -1, kPlainCall, 0, 1, "lower", -1, ""},
        RecvRow{"CompletionRoutineUnscanned", true, kPage, 0, Overlap::kWithRoutine, 0, 1, "lower",
                0, ""},
        // Its completion is queued already: a second receive would fail a
        // call whose completion still arrives. The next receive fails instead.
        RecvRow{"OverlappedDoneAtOnceCutAndFirstResultKept", true, kPage, 0, Overlap::kOverlapped,
                0, 1, "lower,cut", 0, "phrase-in-receive - 56"},
        RecvRow{"ExemptUnscanned", true, kPage, 21, kPlainCall, 1, 1, "lower", 21, ""},
        RecvRow{"NotHttpUnscanned", true, kPage, 21, kPlainCall, 0, 0, "lower", 21, ""},
        RecvRow{"ZeroBytesReceivedStillScans", true, kPage, 0, kPlainCall, 0, 1, "lower,cut,lower",
                -1, "phrase-in-receive - 56"}),
    [](const ::testing::TestParamInfo<RecvRow>& info) { return std::string(info.param.name); });

// Only the bytes this receive placed in the first buffer are scanned: what
// lies past them is left from before. A count the call does not tell
// leaves the whole buffer to scan.
TEST(RecvVerdict, ScansWhatTheReceivePlacedInTheFirstBufferOnly) {
  auto state = MakeState({true, false, true});
  std::string first = "HTTP/1.1 200 OK\r\n\r\nfresh bytes.." + std::string("orgy sex..");
  std::string second = kPage;
  BufferDesc buffers[2] = {{static_cast<std::uint32_t>(first.size()), first.data()},
                           {static_cast<std::uint32_t>(second.size()), second.data()}};
  struct Row {
    const char* name;
    std::uint32_t received;
    const char* sequence;
  };
  const std::uint32_t fresh = static_cast<std::uint32_t>(first.find("orgy"));
  const Row rows[] = {
      {"PhrasePastTheReceivedBytesPasses", fresh, "lower"},
      {"PhraseInsideTheReceivedBytesBlocks", fresh + 10, "lower,cut,lower"},
      {"CountPastTheBufferScansTheBuffer", 1u << 20, "lower,cut,lower"},
      {"CountNotKnownScansTheBuffer", CallSite::kNotKnown, "lower,cut,lower"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeCallSite site;
    site.lower_results = {0, -1};
    site.received = row.received;
    FilterRecv(*state, buffers, 2, Overlap::kNone, site);
    EXPECT_EQ(site.Sequence(), row.sequence);
  }

  FakeCallSite second_only;
  std::string clean = kPlain;
  buffers[0] = {static_cast<std::uint32_t>(clean.size()), clean.data()};
  EXPECT_EQ(FilterRecv(*state, buffers, 2, Overlap::kNone, second_only), 7);
  EXPECT_EQ(second_only.Sequence(), "lower");
}

// --- Faults -----------------------------------------------------------------
// A fault inside a lower call fails the call with WSAEFAULT ("efault") and
// repeats nothing: data the lower provider may have taken never goes down
// twice. A fault in tarvel's own work forwards a send unchanged and gives a
// receive the first receive's result.

enum class Judged { kSend, kReceive, kOverlappedReceive };

struct FaultRow {
  const char* name;
  Judged judged;
  int exempt;
  const char* fault_at;
  const char* sequence;
  int result;
};

class FaultTest : public ::testing::TestWithParam<FaultRow> {};

TEST_P(FaultTest, LowerCallsAndResult) {
  const FaultRow& row = GetParam();
  auto state = MakeState(kAll);
  std::string data = row.judged == Judged::kSend ? kBlocked : kPage;
  BufferDesc buffer{static_cast<std::uint32_t>(data.size()), data.data()};
  FakeCallSite site;
  site.exempt = row.exempt;
  site.lower_results = {21, 22};
  site.fault_at = row.fault_at;
  const Overlap overlap =
      row.judged == Judged::kOverlappedReceive ? Overlap::kOverlapped : Overlap::kNone;
  const int result = row.judged == Judged::kSend
                         ? FilterSend(*state, Extensions(false), &buffer, 1, site)
                         : FilterRecv(*state, &buffer, 1, overlap, site);
  EXPECT_EQ(result, row.result);
  EXPECT_EQ(site.Sequence(), row.sequence);
}

constexpr Judged kSend = Judged::kSend;
constexpr Judged kRecv = Judged::kReceive;

INSTANTIATE_TEST_SUITE_P(
    Rows, FaultTest,
    ::testing::Values(
        FaultRow{"SendExemptForwardFaults", kSend, 1, "lower#0", "lower,efault", -1},
        FaultRow{"SendOfBlockFaults", kSend, 0, "lower#0", "cut,lower,efault", -1},
        FaultRow{"CutOfSendFaultsNothingSent", kSend, 0, "cut", "cut,efault", -1},
        FaultRow{"SendOwnWorkFaultForwards", kSend, 0, "http", "lower", 21},
        FaultRow{"FirstReceiveFaults", kRecv, 0, "lower#0", "lower,efault", -1},
        FaultRow{"CutOfReceiveFaults", kRecv, 0, "cut", "lower,cut,efault", -1},
        FaultRow{"SecondReceiveFaults", kRecv, 0, "lower#1", "lower,cut,lower,efault", -1},
        FaultRow{"ReceiveOwnWorkFaultGivesFirstResult", kRecv, 0, "http", "lower", 21},
        // Its completion is queued: the call must not fail.
        FaultRow{"CutOfOverlappedReceiveFaultsKeepsFirstResult", Judged::kOverlappedReceive, 0,
                 "cut", "lower,cut", 21},
        // A fault in the record is the record's alone: the block goes on.
        FaultRow{"RecordOfSendFaultsBlockGoesOn", kSend, 0, "record", "cut,lower", 21},
        FaultRow{"RecordOfReceiveFaultsBlockGoesOn", kRecv, 0, "record", "lower,cut,lower", 22}),
    [](const ::testing::TestParamInfo<FaultRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvel

namespace tarvel {
namespace {

// The category step: after the blacklist, in blacklist mode only, with the
// whitelist as its exceptions; on Host headers and ClientHellos alike.
struct CategoryRow {
  const char* name;
  Setup setup;
  bool https;
  std::string first_buffer;
  int http;
  const char* asked;     // "category" when the categories were asked, else ""
  const char* recorded;  // the block's record, "" for a pass
};

class CategoryVerdictTest : public ::testing::TestWithParam<CategoryRow> {};

TEST_P(CategoryVerdictTest, AskedAndRecorded) {
  const CategoryRow& row = GetParam();
  auto state = MakeState(row.setup);
  std::string data = row.first_buffer;
  BufferDesc buffer{static_cast<std::uint32_t>(data.size()), data.data()};
  FakeCallSite site;
  site.http = row.http;
  site.categories = {{"gambling", "casino.example"},
                     {"adult", "cat.example"},
                     {"adult", "good.example"},
                     {"adult", "bad.example"}};
  FilterSend(*state, Extensions(row.https), &buffer, 1, site);
  const bool asked =
      std::find(site.calls.begin(), site.calls.end(), "category") != site.calls.end();
  EXPECT_EQ(asked ? "category" : "", std::string(row.asked));
  EXPECT_EQ(Records(site), row.recorded);
}

std::string Get(const std::string& host) { return "GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n"; }

INSTANTIATE_TEST_SUITE_P(
    Rows, CategoryVerdictTest,
    ::testing::Values(
        CategoryRow{"SubdomainBlocked", kLists, kOff, Get("a.b.Cat.Example"), 1, "category",
                    "category:adult a.b.Cat.Example -1"},
        CategoryRow{"OtherHostPasses", kLists, kOff, Get("badcat.example"), 1, "category", ""},
        CategoryRow{"WhitelistedHostIsTheException", kLists, kOff, Get("www.good.example"), 1,
                    "category", ""},
        CategoryRow{"BlacklistComesFirst", kLists, kOff, Get("bad.example"), 1, "",
                    "blacklisted bad.example -1"},
        CategoryRow{"WhiteOnlyNeverAsks", kWhiteOnly, kOff, Get("cat.example"), 1, "",
                    "not-whitelisted cat.example -1"},
        CategoryRow{"ListsNotReadyNeverAsks", kSmart, kOff, Get("cat.example"), 1, "", ""},
        CategoryRow{"NotHttpNeverAsks", kLists, kOff, Get("cat.example"), 0, "", ""},
        CategoryRow{"HelloNamingSubdomainBlocked", kLists, kOn,
                    BrowserClientHello("x.casino.example"), 0, "category",
                    "category:gambling x.casino.example -1"},
        CategoryRow{"HelloWhitelistedPasses", kLists, kOn, BrowserClientHello("good.example"), 0,
                    "category", ""},
        CategoryRow{"NamelessHelloNeverAsks", kLists, kOn, BrowserClientHello(""), 0, "", ""}),
    [](const ::testing::TestParamInfo<CategoryRow>& info) { return std::string(info.param.name); });

// The record keeps the category's name behind the host, the host cut to
// leave it room; other records keep the whole field for the host.
TEST(CategoryVerdict, RecordHoldsTheNameBehindTheHost) {
  Host host;
  const std::string long_host = std::string(kHostMax - 8, 'h') + ".example";
  const std::size_t length = long_host.copy(host.text, kHostMax);
  host.text[length] = '\0';
  host.length = length;
  CategoryHit hit;
  std::string("adult").copy(hit.name, kCategoryNameMax);
  const BlockEntry category = EntryOf(BlockFacts{BlockReason::kCategory, &host, -1, &hit});
  EXPECT_EQ(std::string(category.host), long_host.substr(0, kRecordCategoryAt - 1));
  EXPECT_EQ(std::string(category.host + kRecordCategoryAt), "adult");
  const BlockEntry listed = EntryOf(BlockFacts{BlockReason::kBlacklisted, &host, -1});
  EXPECT_EQ(std::string(listed.host), long_host);
}

}  // namespace
}  // namespace tarvel
