// The soak's judge must catch what it is there to catch: a verdict the list
// history does not justify, an entry torn or lost in the shared block, a
// record lost or torn in the record of blocks.
#include "tests/soak/soak_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace tarvel::soak {
namespace {

Edit At(std::int64_t t, Op op, const std::string& arg) { return Edit{t, t + 10, op, arg, 1}; }
Call Made(std::int64_t start, std::int64_t end, Kind kind, const std::string& host, Seen seen) {
  return Call{start, end, kind, host, seen};
}

Tally Judge(const std::vector<Edit>& edits, const std::vector<Call>& calls) {
  Tally t;
  JudgeCalls(History(edits), calls, t);
  return t;
}

// --- Verdicts against the history -------------------------------------------

TEST(SoakVerdicts, BlockedWhileListedIsRight) {
  const Tally t = Judge({At(100, Op::kAddBlack, "h1.soak")},
                        {Made(200, 300, Kind::kHttp, "h1.soak", Seen::kBlocked)});
  EXPECT_EQ(t.calls, 1u);
  EXPECT_EQ(t.blocks, 1u);
  EXPECT_EQ(t.wrong, 0u);
}

TEST(SoakVerdicts, BlockedHostThatPassedIsWrong) {
  const Tally t = Judge({At(100, Op::kAddBlack, "h1.soak")},
                        {Made(200, 300, Kind::kHttp, "h1.soak", Seen::kPassed)});
  EXPECT_EQ(t.wrong, 1u);
  EXPECT_FALSE(t.Clean());
}

TEST(SoakVerdicts, BlockOfAHostNeverListedIsWrong) {
  const Tally t = Judge({At(100, Op::kAddBlack, "h1.soak")},
                        {Made(200, 300, Kind::kHttp, "h2.soak", Seen::kBlocked)});
  EXPECT_EQ(t.wrong, 1u);
}

TEST(SoakVerdicts, AnEditDuringTheCallJustifiesEitherVerdict) {
  const std::vector<Edit> edits = {At(100, Op::kAddBlack, "h1.soak"),
                                   At(250, Op::kDelBlack, "h1.soak")};
  EXPECT_EQ(Judge(edits, {Made(50, 150, Kind::kHttp, "h1.soak", Seen::kPassed),
                          Made(50, 150, Kind::kHttp, "h1.soak", Seen::kBlocked),
                          Made(200, 255, Kind::kHttp, "h1.soak", Seen::kPassed)})
                .wrong,
            0u);
  EXPECT_EQ(Judge(edits, {Made(270, 300, Kind::kHttp, "h1.soak", Seen::kBlocked)}).wrong, 1u);
}

TEST(SoakVerdicts, WhiteOnlyBlocksWhatTheWhiteListLacks) {
  const std::vector<Edit> edits = {At(100, Op::kAddWhite, "h1.soak"), At(200, Op::kWhiteOnly, "1")};
  EXPECT_EQ(Judge(edits, {Made(300, 400, Kind::kHttp, "h2.soak", Seen::kBlocked),
                          Made(300, 400, Kind::kHttp, "h1.soak", Seen::kPassed)})
                .wrong,
            0u);
  EXPECT_EQ(Judge(edits, {Made(300, 400, Kind::kHttp, "h2.soak", Seen::kPassed)}).wrong, 1u);
}

TEST(SoakVerdicts, HelloIsJudgedOnlyWithTheHttpsFilterOn) {
  const std::vector<Edit> edits = {At(100, Op::kAddBlack, "h1.soak"), At(200, Op::kHttps, "1")};
  EXPECT_EQ(Judge(edits, {Made(150, 160, Kind::kHello, "h1.soak", Seen::kBlocked)}).wrong, 1u);
  EXPECT_EQ(Judge(edits, {Made(300, 400, Kind::kHello, "h1.soak", Seen::kBlocked)}).wrong, 0u);
}

TEST(SoakVerdicts, PhraseIsBlockedOnlyWithTheSmartFilterOn) {
  const std::vector<Edit> edits = {At(100, Op::kSmart, "1"), At(200, Op::kSmart, "0")};
  for (Kind kind : {Kind::kPhrase, Kind::kPage}) {
    EXPECT_EQ(Judge(edits, {Made(130, 160, kind, "h1.soak", Seen::kBlocked)}).wrong, 0u);
    EXPECT_EQ(Judge(edits, {Made(130, 160, kind, "h1.soak", Seen::kPassed)}).wrong, 1u);
    EXPECT_EQ(Judge(edits, {Made(300, 400, kind, "h1.soak", Seen::kBlocked)}).wrong, 1u);
  }
}

// The request and the answer of a page are judged at two moments.
TEST(SoakVerdicts, PagePassesWhenItsRequestAndThenItsAnswerPass) {
  const std::vector<Edit> request_then_answer = {
      At(100, Op::kSmart, "1"), At(200, Op::kWhiteOnly, "1"), At(300, Op::kSmart, "0")};
  EXPECT_EQ(
      Judge(request_then_answer, {Made(150, 350, Kind::kPage, "h1.soak", Seen::kPassed)}).wrong,
      0u);
  const std::vector<Edit> answer_then_request = {
      At(50, Op::kSmart, "1"), At(100, Op::kWhiteOnly, "1"), At(200, Op::kSmart, "0"),
      At(300, Op::kSmart, "1"), At(400, Op::kWhiteOnly, "0")};
  EXPECT_EQ(
      Judge(answer_then_request, {Made(250, 450, Kind::kPage, "h1.soak", Seen::kPassed)}).wrong,
      1u);
}

TEST(SoakVerdicts, FailedCallsAndLongCallsCount) {
  const Tally t = Judge({}, {Made(0, 10, Kind::kHttp, "h1.soak", Seen::kFailed),
                             Made(0, kHangMicros + 1, Kind::kHttp, "h1.soak", Seen::kPassed)});
  EXPECT_EQ(t.failed, 1u);
  EXPECT_EQ(t.wrong, 1u);
  EXPECT_EQ(t.hung, 1u);
}

TEST(SoakVerdicts, LinesRoundTrip) {
  Edit e;
  ASSERT_TRUE(Parse(Format(Edit{5, 9, Op::kDelWhite, "h7.soak", 1}), e));
  EXPECT_EQ(e.op, Op::kDelWhite);
  EXPECT_EQ(e.arg, "h7.soak");
  Call c;
  ASSERT_TRUE(Parse(Format(Made(3, 4, Kind::kPage, "h8.soak", Seen::kBlocked)), c));
  EXPECT_EQ(c.kind, Kind::kPage);
  EXPECT_EQ(c.seen, Seen::kBlocked);
  EXPECT_FALSE(Parse(std::string("1 2 x h1 P"), c));
}

// --- The shared block's lists -----------------------------------------------

struct Block {
  std::unique_ptr<FilterState> state = std::make_unique<FilterState>();
  Block() { std::memset(state.get(), 0, sizeof(FilterState)); }
  void Put(int slot, const char* text, int active = 1) {
    std::strncpy(state->black_entries[slot], text, kEntryBytes);
    state->black_active[slot] = active;
    state->black_count = std::max(state->black_count, slot + 1);
  }
};

const std::set<std::string> kNames = {"h1.soak", "h2.soak"};

TEST(SoakEntries, TheEditorsFinalListsMatch) {
  Block b;
  b.Put(0, "h1.soak");
  b.Put(1, "", 0);
  ListState expected;
  expected.black = {"h1.soak"};
  Tally t;
  CheckEntries(*b.state, 0, expected, kNames, t);
  EXPECT_TRUE(t.Clean());
}

TEST(SoakEntries, TornEntryIsCaught) {
  Block b;
  b.Put(0, "h1.so");
  ListState expected;
  expected.black = {"h1.soak"};
  Tally t;
  CheckEntries(*b.state, 0, expected, kNames, t);
  EXPECT_EQ(t.torn, 1u);
  EXPECT_EQ(t.lost, 1u);
}

TEST(SoakEntries, HalfClearedSlotAndTwiceListedAreTorn) {
  Block b;
  b.Put(0, "h1.soak");
  b.Put(1, "h1.soak");
  b.Put(2, "h2.soak", 0);
  ListState expected;
  expected.black = {"h1.soak"};
  Tally t;
  CheckEntries(*b.state, 0, expected, kNames, t);
  EXPECT_EQ(t.torn, 2u);
}

TEST(SoakEntries, ModeThatDidNotTakeIsLost) {
  Block b;
  ListState expected;
  expected.https = true;
  Tally t;
  CheckEntries(*b.state, 0, expected, kNames, t);
  EXPECT_EQ(t.lost, 1u);
}

// --- The record of blocks ---------------------------------------------------

struct Log {
  std::unique_ptr<BlockLog> log = std::make_unique<BlockLog>();
  Log() { std::memset(log.get(), 0, sizeof(BlockLog)); }
  void Block(const char* host, BlockReason why = BlockReason::kBlacklisted) {
    BlockEntry e = {};
    e.reason = static_cast<std::uint32_t>(why);
    SetRecordText(e.host, sizeof e.host, host, std::strlen(host));
    AppendBlock(*log, e);
  }
};

TEST(SoakRecords, EveryBlockSeenIsRecordedWhole) {
  Log l;
  const BlockCounts before = ReadBlockCounts(*l.log);
  l.Block("h1.soak");
  l.Block("h2.soak");
  l.Block("", BlockReason::kPhraseInReceive);
  Tally t;
  CheckRecords(*l.log, before, 0, 3, kNames, t);
  EXPECT_TRUE(t.Clean());
}

TEST(SoakRecords, LostRecordIsCaught) {
  Log l;
  const BlockCounts before = ReadBlockCounts(*l.log);
  l.Block("h1.soak");
  Tally t;
  CheckRecords(*l.log, before, 0, 2, kNames, t);
  EXPECT_EQ(t.lost, 1u);
}

TEST(SoakRecords, PendingRecordIsLostAndStrangeHostsAreTorn) {
  Log l;
  const BlockCounts before = ReadBlockCounts(*l.log);
  l.Block("h1.soak");
  l.Block("h9.soak");
  l.Block("", BlockReason::kBlacklisted);
  l.Block("h1.soak", BlockReason::kPhraseInReceive);
  l.log->records[0].sequence = 1;  // a writer that never finished
  Tally t;
  CheckRecords(*l.log, before, 0, 4, kNames, t);
  EXPECT_EQ(t.lost, 1u);
  EXPECT_EQ(t.torn, 3u);
}

TEST(SoakRecords, LogLinesMustBeWholeRecordsOfKnownHosts) {
  EXPECT_TRUE(
      WholeLogLine(R"({"record":7,"pid":1,"host":"h1.soak","reason":"blacklisted"})", kNames));
  EXPECT_FALSE(WholeLogLine(R"({"record":7,"pid":1,"host":"h1.so)", kNames));
  EXPECT_FALSE(WholeLogLine(R"({"record":7,"host":"h1.sXak","reason":"blacklisted"})", kNames));
  EXPECT_TRUE(WholeLogLine(R"({"record":7,"host":"","reason":"phrase-in-page"})", kNames));
  EXPECT_FALSE(WholeLogLine(R"({"record":7,"host":"","reason":"blacklisted"})", kNames));
}

TEST(SoakSummary, LineAndJsonGiveTheCounts) {
  Tally t;
  t.calls = 120;
  t.wrong = 1;
  EXPECT_EQ(SummaryLine(t, 90),
            "soak: 120 calls in 1.5 min, 1 wrong, 0 crashed, 0 hung, 0 lost, 0 torn");
  EXPECT_NE(ToJson(t, 90).find("\"wrong\": 1"), std::string::npos);
}

}  // namespace
}  // namespace tarvel::soak
