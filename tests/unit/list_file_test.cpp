#include "state/list_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/testing/fake_list_files.h"
#include "tests/testing/fake_settings.h"
#include "tests/testing/state_builder.h"

namespace tarvel {
namespace {

using testing::FakeListFiles;
using testing::FakeSettingsKey;

constexpr char kWhitePath[] = "C:\\lists\\white.lst";
constexpr char kBlackPath[] = "C:\\lists\\black.lst";

std::string Header() {
  std::string record(100, '\0');
  record.replace(0, 20, "TARVELINTERNETFILTER");
  return record;
}

std::string Record(const std::string& bytes) {
  std::string record = bytes.substr(0, 100);
  record.resize(100, '\0');
  return record;
}

std::string Text(const FilterState& s, ListKind kind, int slot) {
  const UrlList list = ListOf(s, kind);
  return std::string(list.entries[slot], EntryLength(list.entries[slot]));
}

class ListFile : public ::testing::Test {
 protected:
  void SetUp() override {
    key_.values["whitelib"] =
        std::string(kWhitePath) + std::string(260 - sizeof kWhitePath + 1, '\0');
    key_.values["blacklib"] = std::string(kBlackPath) + '\0';
    // A list that a refused load must leave exactly as it is.
    testing::AddEntries(*state_, ListKind::kWhite,
                        {"old1.example", "old2.example", "old3.example"});
    testing::AddEntries(*state_, ListKind::kBlack, {"black.example"});
  }
  void TearDown() override { EXPECT_EQ(files_.opens, files_.closes) << "a list file left open"; }

  int LoadWhite() { return LoadUrlListFile(*state_, ListKind::kWhite, store_, files_); }

  void ExpectWhiteUntouched() {
    EXPECT_EQ(state_->white_count, 3);
    EXPECT_EQ(Text(*state_, ListKind::kWhite, 0), "old1.example");
    EXPECT_EQ(Text(*state_, ListKind::kWhite, 2), "old3.example");
    EXPECT_EQ(state_->white_active[2], 1);
  }

  FakeSettingsKey key_;
  SettingsStore store_{key_};
  FakeListFiles files_;
  std::unique_ptr<FilterState> state_ = testing::NewState();
};

// --- The header ---------------------------------------------------------------------

struct HeaderRow {
  const char* name;
  std::string bytes;
  int result;
};

class ListFileHeader : public ListFile, public ::testing::WithParamInterface<HeaderRow> {};

TEST_P(ListFileHeader, AcceptedOnlyWithMagicAndNul) {
  const HeaderRow& row = GetParam();
  files_.files[kWhitePath].bytes = row.bytes;
  EXPECT_EQ(LoadWhite(), row.result);
  if (row.result == 1) {
    EXPECT_EQ(state_->white_count, 0);
  } else {
    ExpectWhiteUntouched();
  }
  EXPECT_EQ(files_.files[kWhitePath].bytes, row.bytes) << "the file was changed";
  EXPECT_EQ(state_->black_count, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ListFileHeader,
    ::testing::Values(HeaderRow{"HeaderRecordOnly", Header(), 1},
                      HeaderRow{"MagicAndNul21Bytes", std::string("TARVELINTERNETFILTER", 21), 1},
                      HeaderRow{"AnyBytesAfterTheNul",
                                std::string("TARVELINTERNETFILTER", 21) + std::string(79, 'z'), 1},
                      HeaderRow{"HeaderAndPartialRecord", Header() + std::string(99, 'a'), 1},
                      HeaderRow{"MagicWithoutNul20Bytes", "TARVELINTERNETFILTER", 0},
                      HeaderRow{"LowerCaseMagic", Record("tarvelinternetfilter"), 0},
                      HeaderRow{"OtherCharacterForNul", Record("TARVELINTERNETFILTERX"), 0},
                      HeaderRow{"MagicLater", Record(" TARVELINTERNETFILTER"), 0},
                      HeaderRow{"EmptyFile", "", 0}),
    [](const ::testing::TestParamInfo<HeaderRow>& info) { return std::string(info.param.name); });

// --- The entries --------------------------------------------------------------------

TEST_F(ListFile, EntriesFillSlotsInFileOrderActive) {
  files_.files[kWhitePath].bytes = Header() + Record("example.org") +
                                   Record(std::string("ample.net\0junk after", 20)) + Record("") +
                                   Record(std::string(100, 'L'));
  ASSERT_EQ(LoadWhite(), 1);
  EXPECT_EQ(state_->white_count, 4);
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 0), "example.org");
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 1), "ample.net");
  EXPECT_EQ(std::string(state_->white_entries[1] + 9, 91), std::string(91, '\0'));
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 2), "");
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 3), std::string(100, 'L'));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(state_->white_active[i], 1) << i;
}

TEST_F(ListFile, Bytes250GiveOneEntry) {
  files_.files[kWhitePath].bytes = Header() + Record("one.example") + std::string(50, 'x');
  ASSERT_EQ(LoadWhite(), 1);
  EXPECT_EQ(state_->white_count, 1);
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 0), "one.example");
}

TEST_F(ListFile, Records2500Give2000) {
  std::string bytes = Header();
  for (int k = 0; k < 2500; ++k) bytes += Record("e" + std::to_string(k));
  files_.files[kWhitePath].bytes = bytes;
  ASSERT_EQ(LoadWhite(), 1);
  EXPECT_EQ(state_->white_count, 2000);
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 1999), "e1999");
  // Nothing spills into the black list that follows.
  EXPECT_EQ(state_->black_count, 1);
  EXPECT_EQ(Text(*state_, ListKind::kBlack, 0), "black.example");
  EXPECT_EQ(Text(*state_, ListKind::kBlack, 1), "");
}

TEST_F(ListFile, SlotsAboveTheNewCountStay) {
  files_.files[kWhitePath].bytes = Header() + Record("new.example");
  ASSERT_EQ(LoadWhite(), 1);
  EXPECT_EQ(state_->white_count, 1);
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 1), "old2.example");
}

TEST_F(ListFile, BlackListReadsItsOwnPath) {
  files_.files[kBlackPath].bytes = Header() + Record("bad.example");
  ASSERT_EQ(LoadUrlListFile(*state_, ListKind::kBlack, store_, files_), 1);
  EXPECT_EQ(state_->black_count, 1);
  EXPECT_EQ(Text(*state_, ListKind::kBlack, 0), "bad.example");
  ExpectWhiteUntouched();
}

// --- Refusals -------------------------------------------------------------------------

// The file could be read, but the attribute alone refuses it: it is not
// opened.
TEST_F(ListFile, ReadOnlyFileRefusedUnopenedAndKept) {
  const std::string bytes = Header() + Record("valid.example");
  files_.files[kWhitePath] = {bytes, true};
  EXPECT_EQ(LoadWhite(), 0);
  ExpectWhiteUntouched();
  EXPECT_EQ(files_.files[kWhitePath].bytes, bytes);
  const std::vector<std::string> expected = {std::string("exists ") + kWhitePath,
                                             std::string("read-only ") + kWhitePath};
  EXPECT_EQ(files_.calls, expected);
}

TEST_F(ListFile, MissingFileRefusedAndNotCreated) {
  EXPECT_EQ(LoadWhite(), 0);
  ExpectWhiteUntouched();
  EXPECT_EQ(files_.files.count(kWhitePath), 0u);
  EXPECT_EQ(files_.calls, std::vector<std::string>{std::string("exists ") + kWhitePath});
}

TEST_F(ListFile, NoPathStoredOrEmptyPathRefused) {
  key_.values.erase("whitelib");
  EXPECT_EQ(LoadWhite(), 0);
  key_.values["whitelib"] = std::string(260, '\0');
  EXPECT_EQ(LoadWhite(), 0);
  key_.key_exists = false;
  EXPECT_EQ(LoadWhite(), 0);
  ExpectWhiteUntouched();
  EXPECT_TRUE(files_.calls.empty());
}

// Seen a moment ago, it may be between the two renames of a replace: an
// empty file made in its place would stand for the real list.
TEST_F(ListFile, FileGoneBeforeTheOpenRefusedAndNotCreated) {
  files_.phantom.insert(kWhitePath);
  EXPECT_EQ(LoadWhite(), 0);
  ExpectWhiteUntouched();
  EXPECT_EQ(files_.files.count(kWhitePath), 0u);
  const std::vector<std::string> expected = {std::string("exists ") + kWhitePath,
                                             std::string("read-only ") + kWhitePath,
                                             std::string("open ") + kWhitePath};
  EXPECT_EQ(files_.calls, expected);
}

TEST_F(ListFile, UnknownSizeRefused) {
  files_.files[kWhitePath].bytes = Header() + Record("a.example");
  files_.fail_size = true;
  EXPECT_EQ(LoadWhite(), 0);
  ExpectWhiteUntouched();
}

TEST_F(ListFile, FileShrinkingUnderTheLoadStopsIt) {
  files_.files[kWhitePath].bytes = Header() + Record("a.example") + Record("b.example");
  files_.readable_until = 250;
  ASSERT_EQ(LoadWhite(), 1);
  EXPECT_EQ(state_->white_count, 1);
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 0), "a.example");
}

}  // namespace
}  // namespace tarvel
