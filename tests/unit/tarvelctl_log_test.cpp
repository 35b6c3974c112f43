// tarvelctl log and the counters of status, over a fake machine whose
// running filter has a shared block of its own, a clock one hour east of
// UTC, and records appended by the real ring code.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <sstream>

#include "state/block_log.h"
#include "tests/testing/state_builder.h"
#include "tests/testing/tarvelctl_fake_machine.h"
#include "tests/testing/temp_folder.h"
#include "tools/tarvelctl/commands.h"
#include "tools/tarvelctl/log_time.h"
#include "tools/tarvelctl/running_filters.h"

namespace tarvel::ctl {
namespace {

using testing::FakeMachine;

std::uint64_t Utc(int year, int month, int day, int hour, int minute, int second = 0) {
  std::uint64_t t = 0;
  EXPECT_TRUE(FileTimeOf({year, month, day, hour, minute, second, 0}, &t));
  return t;
}

std::vector<std::uint8_t> V6(std::initializer_list<unsigned> groups) {
  std::vector<std::uint8_t> bytes;
  for (unsigned g : groups) {
    bytes.push_back(static_cast<std::uint8_t>(g >> 8));
    bytes.push_back(static_cast<std::uint8_t>(g & 0xFF));
  }
  return bytes;
}

struct Block {
  std::uint64_t time;
  std::uint32_t pid;
  const char* program;
  BlockReason reason;
  std::string host;
  std::int32_t phrase = -1;
  std::uint8_t family = kAddressIPv4;
  std::vector<std::uint8_t> address = {127, 0, 0, 1};
  std::uint16_t port = 8080;
};

class LogCommand : public ::testing::Test {
 protected:
  LogCommand() : m_(folder_.path()) {
    m_.fake_clock.now = Utc(2026, 12, 8, 10, 0);
    tarvel::testing::NewStateWithPhrases().swap(m_.block);
    m_.block->attach_counter = 7;
  }

  // Appends to the record of `m` (this program's filter when null).
  void Add(const Block& b, FakeMachine* m = nullptr) {
    BlockEntry e = {};
    e.time = b.time;
    e.process_id = b.pid;
    e.reason = static_cast<std::uint32_t>(b.reason);
    e.phrase = b.phrase;
    e.port = b.port;
    e.family = b.family;
    if (!b.address.empty()) std::memcpy(e.address, b.address.data(), b.address.size());
    SetRecordText(e.host, sizeof e.host, b.host.data(), b.host.size());
    SetRecordText(e.program, sizeof e.program, b.program, std::strlen(b.program));
    AppendBlock((m != nullptr ? *m : m_).extensions->block_log, e);
  }

  // Four blocks: 22:00 UTC the day before, then 08:00, 09:40 and 09:55.
  void AddFour() {
    Add({Utc(2026, 12, 7, 22, 0), 11, "a.exe", BlockReason::kBlacklisted, "a.example"});
    Add({Utc(2026, 12, 8, 8, 0), 12, "b.exe", BlockReason::kBlacklisted, "b.example"});
    Add({Utc(2026, 12, 8, 9, 40), 13, "c.exe", BlockReason::kBlacklisted, "c.example"});
    Add({Utc(2026, 12, 8, 9, 55), 14, "d.exe", BlockReason::kBlacklisted, "d.example"});
  }

  // The record of this program's own filter alone (--own-only).
  int Run(std::vector<std::string> args) {
    args.push_back(kOwnOnly);
    return RunBoth(args);
  }

  // As a command line names it: on this 64-bit Windows both filters.
  int RunBoth(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    args.insert(args.end(), {"--dll", folder_.Path("x64/tarvel.dll"), "--dll32",
                             folder_.Path("x86/tarvel.dll")});
    Console console{out_, err_};
    const Shell shell(AllCommands(m_), "");
    return shell.Run(args, console);
  }

  // The host column of each record line of the text form.
  std::string Hosts() const {
    std::istringstream lines(out_.str());
    std::string line;
    std::string hosts;
    while (std::getline(lines, line)) {
      if (line.rfind("20", 0) != 0) continue;
      std::istringstream fields(line);
      std::string time, program, pid, remote, host;
      fields >> time >> program >> pid >> remote >> host;
      hosts += (hosts.empty() ? "" : " ") + host;
    }
    return hosts;
  }

  tarvel::testing::TempFolder folder_;
  FakeMachine m_;
  std::ostringstream out_;
  std::ostringstream err_;
};

TEST_F(LogCommand, OneAlignedLinePerRecordNewestLast) {
  Add({Utc(2026, 12, 8, 9, 14, 3), 4242, "firefox.exe", BlockReason::kBlacklisted,
       "casino.example"});
  Block chrome{Utc(2026, 12, 8, 9, 15), 77, "chrome.exe", BlockReason::kNotWhitelisted,
               "shop.example"};
  chrome.family = kAddressIPv6;
  chrome.address = V6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1});
  chrome.port = 80;
  Add(chrome);
  Add({Utc(2026, 12, 8, 9, 16), 4242, "firefox.exe", BlockReason::kPhraseInReceive, "", 24});
  Block curl{Utc(2026, 12, 8, 9, 17), 9, "curl.exe", BlockReason::kPhraseInSend,
             "a\nb.example",          56};
  curl.family = kNoAddress;
  Add(curl);
  ASSERT_EQ(Run({"log"}), kExitOk) << err_.str();
  EXPECT_EQ(out_.str(),
            "time                 program                 pid     remote                 host    "
            "                  why\n"
            "2026-12-08T10:14:03  firefox.exe             4242    127.0.0.1:8080         "
            "casino.example            on the blacklist\n"
            "2026-12-08T10:15:00  chrome.exe              77      [2001:db8::1]:80       "
            "shop.example              not on the whitelist\n"
            "2026-12-08T10:16:00  firefox.exe             4242    127.0.0.1:8080         -     "
            "                    its page holds \"erotic stories\"\n"
            "2026-12-08T10:17:00  curl.exe                9       -                      "
            "a\\x0ab.example            the request holds \"orgy sex\"\n");
  EXPECT_EQ(err_.str(), "");
}

TEST_F(LogCommand, JsonOneObjectPerLine) {
  Add({Utc(2026, 12, 8, 9, 14, 3) + 2500000, 4242, "caf\xC3\xA9.exe", BlockReason::kPhraseInSend,
       "q\"\\\n\xFF.example", 24});
  m_.fake_clock.offset_minutes = -330;
  ASSERT_EQ(Run({"log", "--json"}), kExitOk) << err_.str();
  EXPECT_EQ(out_.str(),
            "{\"record\":0,\"time\":\"2026-12-08T03:44:03.250-05:30\",\"filter\":\"64-bit\","
            "\"pid\":4242,\"program\":\"caf\xC3\xA9.exe\",\"remote\":\"127.0.0.1\",\"port\":8080,"
            "\"host\":\"q\\\"\\\\\\u000a\\ufffd.example\",\"reason\":\"phrase-in-request\","
            "\"phrase\":\"erotic stories\"}\n");
}

struct SelectRow {
  const char* name;
  std::vector<std::string> args;
  const char* hosts;
};

class LogSelects : public LogCommand, public ::testing::WithParamInterface<SelectRow> {};

TEST_P(LogSelects, TheRecordsAsked) {
  AddFour();
  std::vector<std::string> args = {"log"};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  ASSERT_EQ(Run(args), kExitOk) << err_.str();
  EXPECT_EQ(Hosts(), GetParam().hosts) << out_.str();
  EXPECT_EQ(err_.str(), "");
}

// Now is 10:00 UTC, 11:00 local; the records are at 22:00 the day before,
// 08:00, 09:40 and 09:55 UTC.
INSTANTIATE_TEST_SUITE_P(
    Rows, LogSelects,
    ::testing::Values(
        SelectRow{"All", {}, "a.example b.example c.example d.example"},
        SelectRow{"NewestTwo", {"-n", "2"}, "c.example d.example"},
        SelectRow{"MinutesBack", {"--since", "30m"}, "c.example d.example"},
        SelectRow{"DaysBack", {"--since", "1d"}, "a.example b.example c.example d.example"},
        // Local midnight is 23:00 UTC the day before.
        SelectRow{"LocalDate", {"--since", "2026-12-08"}, "b.example c.example d.example"},
        SelectRow{"LocalTimeFromItsMomentOn",
                  {"--since", "2026-12-08 09:00"},
                  "b.example c.example d.example"},
        SelectRow{"Utc", {"--since", "2026-12-08T09:40Z"}, "c.example d.example"},
        SelectRow{"Offset", {"--since", "2026-12-08T04:45:00.5-0500"}, "d.example"},
        SelectRow{"SinceThenNewestOne", {"--since", "2h", "-n", "1"}, "d.example"}),
    [](const ::testing::TestParamInfo<SelectRow>& info) { return std::string(info.param.name); });

struct UsageRow {
  const char* name;
  std::vector<std::string> args;
  const char* error;  // the start of the one error line
};

class LogUsage : public LogCommand, public ::testing::WithParamInterface<UsageRow> {};

TEST_P(LogUsage, OneLineAndExitTwo) {
  AddFour();
  ASSERT_EQ(Run(GetParam().args), kExitUsage);
  EXPECT_EQ(out_.str(), "");
  const std::string err = err_.str();
  EXPECT_EQ(err.rfind(GetParam().error, 0), 0u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LogUsage,
    ::testing::Values(
        UsageRow{"CountNotANumber", {"log", "-n", "x"}, "tarvelctl: -n takes a number"},
        UsageRow{"CountNegative", {"log", "-n", "-3"}, "tarvelctl: -n takes a number"},
        UsageRow{"SinceWord", {"log", "--since", "yesterday"}, "tarvelctl: --since takes"},
        UsageRow{"SinceNoSuchDay", {"log", "--since", "2026-02-29"}, "tarvelctl: --since takes"},
        UsageRow{"SinceBadZone",
                 {"log", "--since", "2026-12-08T10:00+25:00"},
                 "tarvelctl: --since takes"},
        UsageRow{
            "SinceTrailing", {"log", "--since", "2026-12-08T10:00Zx"}, "tarvelctl: --since takes"},
        UsageRow{"SinceUnknownUnit", {"log", "--since", "10y"}, "tarvelctl: --since takes"}),
    [](const ::testing::TestParamInfo<UsageRow>& info) { return std::string(info.param.name); });

TEST_F(LogCommand, RecordBeingWrittenIsLeftOut) {
  AddFour();
  m_.extensions->block_log.records[1].sequence = 2 * 1 + 1;  // record 1 being written
  ASSERT_EQ(Run({"log"}), kExitOk);
  EXPECT_EQ(Hosts(), "a.example c.example d.example");
}

TEST_F(LogCommand, NothingRecorded) {
  ASSERT_EQ(Run({"log"}), kExitOk);
  EXPECT_EQ(out_.str().substr(0, out_.str().find('\n')),
            "No blocked request is recorded since the filter started.");
  ASSERT_EQ(Run({"log", "--json"}), kExitOk);
  EXPECT_EQ(out_.str(), "");
}

TEST_F(LogCommand, FilterNotRunningOrWithoutARecordFails) {
  m_.block->attach_counter = 1;  // only this command holds the module
  ASSERT_EQ(Run({"log"}), kExitNotRunning);
  EXPECT_NE(err_.str().find("the filter is not running"), std::string::npos) << err_.str();
  // Following, it waits for the programs that load the module after it.
  m_.fake_clock.on_wait = [&] {
    Add({Utc(2026, 12, 8, 10, 1), 15, "e.exe", BlockReason::kBlacklisted, "e.example"});
    return m_.fake_clock.waits < 2;
  };
  ASSERT_EQ(Run({"log", "--follow"}), kExitOk) << err_.str();
  EXPECT_EQ(Hosts(), "e.example");
  m_.fake_clock.on_wait = nullptr;
  m_.block->attach_counter = 7;
  m_.extensions.reset();  // an older tarvel.dll
  ASSERT_EQ(Run({"log"}), kExitFailed);
  EXPECT_NE(err_.str().find("keeps no record of blocked requests"), std::string::npos);
  EXPECT_EQ(out_.str(), "");
}

// --follow: each wait of the fake clock is one look; the test's writer adds
// records between looks, and the fourth look's wait is the Ctrl+C.
TEST_F(LogCommand, FollowPrintsEachNewRecordOnceInOrder) {
  AddFour();
  int round = 0;
  m_.fake_clock.on_wait = [&] {
    ++round;
    if (round == 1) {
      Add({Utc(2026, 12, 8, 10, 1), 15, "e.exe", BlockReason::kBlacklisted, "e.example"});
      // f is numbered, but its writer has not finished it yet.
      m_.extensions->block_log.next_record++;
      m_.extensions->block_log.records[5].sequence = 2 * 5 + 1;
    }
    if (round == 2) {
      BlockEntry f = {};
      f.time = Utc(2026, 12, 8, 10, 2);
      SetRecordText(f.host, sizeof f.host, "f.example", 9);
      std::memcpy(&m_.extensions->block_log.records[5].entry, &f, sizeof f);
      m_.extensions->block_log.records[5].sequence = 2 * 5 + 2;
    }
    if (round == 3) {
      Add({Utc(2026, 12, 8, 10, 3), 17, "g.exe", BlockReason::kBlacklisted, "g.example"});
    }
    return round < 4;
  };
  ASSERT_EQ(Run({"log", "--follow", "-n", "1"}), kExitOk) << err_.str();
  EXPECT_EQ(Hosts(), "d.example e.example f.example g.example");
  EXPECT_EQ(m_.fake_clock.waits, 4);
  EXPECT_EQ(err_.str(), "");
}

TEST_F(LogCommand, FollowTellsOfRecordsOverwrittenBeforeTheyWereShown) {
  AddFour();
  m_.fake_clock.on_wait = [&] {
    if (m_.fake_clock.waits > 1) return false;
    for (int i = 0; i < kBlockRecords + 10; ++i) {
      Add({Utc(2026, 12, 8, 10, 5), 99, "burst.exe", BlockReason::kBlacklisted, "burst.example"});
    }
    return true;
  };
  ASSERT_EQ(Run({"log", "--follow", "--json", "-n", "0"}), kExitOk);
  EXPECT_EQ(err_.str(),
            "tarvelctl: 10 blocked requests were overwritten before they could be "
            "shown\n");
  const std::string out = out_.str();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), kBlockRecords);
  EXPECT_EQ(out.rfind("{\"record\":14,", 0), 0u) << out.substr(0, 80);
}

TEST_F(LogCommand, FollowEndsWhenItsOutputIsGone) {
  m_.fake_clock.on_wait = [&] {
    out_.setstate(std::ios::badbit);  // the reader of the pipe ended
    return m_.fake_clock.waits < 5;
  };
  ASSERT_EQ(Run({"log", "--follow"}), kExitOk);
  EXPECT_EQ(m_.fake_clock.waits, 1);
}

// IPv6 as RFC 5952 writes it: the longest run of zero groups (the first of
// equal ones, never a single one) as "::", an IPv4-mapped address dotted.
TEST_F(LogCommand, IPv6AddressesAsRfc5952WritesThem) {
  const struct {
    std::vector<std::uint8_t> address;
    const char* remote;
  } rows[] = {{V6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), "2001:db8:0:1:1:1:1:1"},
              {V6({1, 0, 0, 2, 0, 0, 0, 3}), "1:0:0:2::3"},
              {V6({1, 0, 0, 2, 3, 0, 0, 4}), "1::2:3:0:0:4"},
              {V6({0, 0, 0, 0, 0, 0xffff, 0x0102, 0x0304}), "::ffff:1.2.3.4"}};
  for (const auto& row : rows) {
    Block b{m_.fake_clock.now, 1, "x.exe", BlockReason::kBlacklisted, "x"};
    b.family = kAddressIPv6;
    b.address = row.address;
    Add(b);
  }
  ASSERT_EQ(Run({"log", "--json"}), kExitOk);
  for (const auto& row : rows) {
    EXPECT_NE(out_.str().find(std::string("\"remote\":\"") + row.remote + "\""), std::string::npos)
        << row.remote << " in " << out_.str();
  }
}

// --- both filters of 64-bit Windows ------------------------------------------

// One run of "tarvelctl log" that reaches the 32-bit filter too. Each filter
// holds one record: a.example in this program's, b32.example in the other's.
struct BothRow {
  const char* name;
  std::function<void(FakeMachine&)> setup;
  std::vector<std::string> args;
  int code;
  std::vector<std::string> in_order;  // pieces of the output, in this order; {tool}: its path
  std::string err;
  std::vector<std::string> other_run;  // the other tarvelctl's command; empty: not run
};

class LogBothRows : public LogCommand, public ::testing::WithParamInterface<BothRow> {};

TEST_P(LogBothRows, EachFilterUnderItsTitle) {
  m_.AddOtherTool();
  Add({Utc(2026, 12, 8, 8, 0), 11, "a.exe", BlockReason::kBlacklisted, "a.example"});
  Add({Utc(2026, 12, 8, 9, 0), 32, "b.exe", BlockReason::kBlacklisted, "b32.example"},
      m_.other.get());
  GetParam().setup(m_);
  const std::string tool = folder_.Path("x86/tarvelctl.exe");
  EXPECT_EQ(RunBoth(GetParam().args), GetParam().code) << err_.str();
  std::size_t at = 0;
  for (std::string piece : GetParam().in_order) {
    const std::size_t mark = piece.find("{tool}");
    if (mark != std::string::npos) piece.replace(mark, 6, tool);
    at = out_.str().find(piece, at);
    ASSERT_NE(at, std::string::npos) << piece << " in order in:\n" << out_.str();
  }
  EXPECT_EQ(err_.str(), GetParam().err);
  std::vector<std::string> expected_run;
  if (!GetParam().other_run.empty()) expected_run = {tool};
  for (const std::string& arg : GetParam().other_run) expected_run.push_back(arg);
  if (!expected_run.empty()) {
    expected_run.insert(expected_run.end(), {kOwnOnly, "--dll", folder_.Path("x86/tarvel.dll")});
  }
  EXPECT_EQ(m_.runs.empty() ? std::vector<std::string>() : m_.runs.back(), expected_run);
}

const char kNotRunningThere[] = "32-bit programs:\n  not running, so nothing is recorded\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, LogBothRows,
    ::testing::Values(
        BothRow{"TextWithTheSelectionPassedOn",
                [](FakeMachine&) {},
                {"log", "-n", "1", "--since", "2h"},
                kExitOk,
                {"64-bit programs:\ntime ", "a.example", "32-bit programs:\ntime ", "b32.example"},
                "",
                {"log", "-n", "1", "--since", "2h"}},
        BothRow{"JsonWithTheFilterOfEachRecord",
                [](FakeMachine&) {},
                {"log", "--json"},
                kExitOk,
                {"{\"record\":0,", "\"filter\":\"64-bit\"", "a.example", "}\n{\"record\":0,",
                 "\"filter\":\"32-bit\"", "b32.example"},
                "",
                {"log", "--json"}},
        BothRow{"OtherNotRunning",
                [](FakeMachine& m) { m.other->block->attach_counter = 1; },
                {"log"},
                kExitOk,
                {"a.example", kNotRunningThere},
                "",
                {"log"}},
        BothRow{"OtherNotRunningJson",
                [](FakeMachine& m) { m.other->block->attach_counter = 1; },
                {"log", "--json"},
                kExitOk,
                {"a.example"},
                "tarvelctl: the filter of 32-bit programs: not running, so nothing is recorded\n",
                {"log", "--json"}},
        BothRow{"OtherToolMissing",
                [](FakeMachine& m) { m.other.reset(); },
                {"log"},
                kExitOk,
                {"a.example", "32-bit programs:\n  its record cannot be shown: cannot run {tool}"},
                "",
                {"log"}},
        BothRow{"OwnNotRunning",
                [](FakeMachine& m) { m.block->attach_counter = 1; },
                {"log"},
                kExitOk,
                {"64-bit programs:\n  not running, so nothing is recorded\n", "b32.example"},
                "",
                {"log"}},
        BothRow{"NeitherRunning",
                [](FakeMachine& m) {
                  m.block->attach_counter = 1;
                  m.other->block->attach_counter = 1;
                },
                {"log"},
                kExitFailed,
                {kNotRunningThere},
                "tarvelctl: no running filter's record could be shown\n",
                {"log"}},
        BothRow{"FollowReadsItsOwnAndSaysHowToFollowTheOther",
                [](FakeMachine& m) { m.fake_clock.on_wait = [] { return false; }; },
                {"log", "--follow"},
                kExitOk,
                {"32-bit programs have a record of their own: run x86\\tarvelctl.exe log "
                 "--follow for it.\ntime ",
                 "a.example"},
                "",
                {}}),
    [](const auto& info) { return std::string(info.param.name); });

// A category block's record holds the category's name behind the host.
TEST_F(LogCommand, CategoryBlockNamesItsCategory) {
  BlockEntry e = {};
  e.time = Utc(2026, 12, 8, 9, 14, 3);
  e.process_id = 7;
  e.reason = static_cast<std::uint32_t>(BlockReason::kCategory);
  e.phrase = -1;
  const std::string host = "a.b.casino.example";
  SetRecordText(e.host, kRecordCategoryAt, host.data(), host.size());
  SetRecordText(e.host + kRecordCategoryAt, kRecordCategoryBytes, "gambling", 8);
  SetRecordText(e.program, sizeof e.program, "edge.exe", 8);
  AppendBlock(m_.extensions->block_log, e);
  ASSERT_EQ(Run({"log"}), kExitOk) << err_.str();
  EXPECT_NE(out_.str().find("edge.exe                7       -                      "
                            "a.b.casino.example        category gambling\n"),
            std::string::npos)
      << out_.str();
  ASSERT_EQ(Run({"log", "--json"}), kExitOk) << err_.str();
  EXPECT_NE(out_.str().find(",\"host\":\"a.b.casino.example\",\"reason\":\"category\","
                            "\"category\":\"gambling\"}\n"),
            std::string::npos)
      << out_.str();
  ASSERT_EQ(Run({"status"}), kExitOk) << err_.str();
  EXPECT_NE(out_.str().find("\n  blocked since the filter started: 1 (1 by a category); "),
            std::string::npos)
      << out_.str();
}

TEST_F(LogCommand, StatusCountsTheBlocksByReason) {
  AddFour();
  Add({m_.fake_clock.now, 1, "x.exe", BlockReason::kPhraseInReceive, "", 24});
  ASSERT_EQ(Run({"status"}), kExitOk) << err_.str();
  EXPECT_NE(out_.str().find("\n  blocked since the filter started: 5 (4 on the blacklist, 1 by a "
                            "phrase in a page); \"tarvelctl log\" lists them\n"),
            std::string::npos)
      << out_.str();
}

}  // namespace
}  // namespace tarvel::ctl
