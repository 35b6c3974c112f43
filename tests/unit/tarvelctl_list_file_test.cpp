#include "tools/tarvelctl/list_file.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvel::ctl {
namespace {

std::string Header(std::string rest = "") {
  std::string h = std::string(kListMagic) + '\0' + rest;
  h.resize(kRecordBytes, '\0');
  return h;
}

std::string Record(const std::string& text) {
  std::string r = text;
  r.resize(kRecordBytes, '\0');
  return r;
}

struct ParseRow {
  const char* name;
  std::string bytes;
  HeaderState header;
  std::vector<std::string> entries;
  std::size_t trailing;
};

class ParseListFileTest : public ::testing::TestWithParam<ParseRow> {};

TEST_P(ParseListFileTest, ReadsAsTheFilterDoes) {
  const ParseRow& row = GetParam();
  const ListFile list = ParseListFile(row.bytes);
  EXPECT_EQ(list.header, row.header);
  EXPECT_EQ(list.entries, row.entries);
  EXPECT_EQ(list.trailing_bytes, row.trailing);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ParseListFileTest,
    ::testing::Values(
        ParseRow{"HeaderRecordOnly", Header(), HeaderState::kValid, {}, 0},
        ParseRow{"MagicAndNulOnly", std::string(kListMagic) + '\0', HeaderState::kValid, {}, 0},
        ParseRow{"MagicWithoutNul", std::string(kListMagic), HeaderState::kTooShort, {}, 0},
        ParseRow{"Empty", "", HeaderState::kTooShort, {}, 0},
        ParseRow{"LowerCaseMagic",
                 "tarvelinternetfilter" + std::string(80, '\0'),
                 HeaderState::kWrongMagic,
                 {},
                 0},
        ParseRow{"MagicThenBlank",
                 std::string(kListMagic) + " " + std::string(79, '\0'),
                 HeaderState::kNoNul,
                 {},
                 0},
        ParseRow{"AnyBytesAfterTheNul",
                 Header("anything at all") + Record("a.example"),
                 HeaderState::kValid,
                 {"a.example"},
                 0},
        ParseRow{"TrailingPartialRecordIgnored",
                 Header() + Record("one") + std::string(50, 'x'),
                 HeaderState::kValid,
                 {"one"},
                 50},
        ParseRow{"TextEndsAtFirstNul",
                 Header() + Record(std::string("example.org") + '\0' + "junk"),
                 HeaderState::kValid,
                 {"example.org"},
                 0},
        ParseRow{"AllNulRecordIsEmptyEntry", Header() + Record(""), HeaderState::kValid, {""}, 0},
        ParseRow{"HundredLettersNoNul",
                 Header() + std::string(100, 'q'),
                 HeaderState::kValid,
                 {std::string(100, 'q')},
                 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseListFile, KeepsRecordsBeyondTheLoadedTwoThousand) {
  std::string bytes = Header();
  for (int i = 0; i < 2500; ++i) bytes += Record("h" + std::to_string(i));
  const ListFile list = ParseListFile(bytes);
  EXPECT_EQ(list.entries.size(), 2500u);
  EXPECT_EQ(list.LoadedCount(), 2000u);
  EXPECT_EQ(list.entries[2499], "h2499");
}

TEST(SerializeListFile, RoundTripKeepsHeaderRestAndPadsEntries) {
  const std::string original =
      Header("vendor data") + Record("a.example") + Record("") + std::string(100, 'z') + "tail";
  const ListFile list = ParseListFile(original);
  const std::string written = SerializeListFile(list);
  // The trailing bytes go; everything else is as it was.
  EXPECT_EQ(written, original.substr(0, 400));
}

TEST(SerializeListFile, ShortHeaderBecomesAWholeRecord) {
  ListFile list = ParseListFile(std::string(kListMagic) + '\0');
  list.entries.push_back("b.example");
  EXPECT_EQ(SerializeListFile(list), Header() + Record("b.example"));
}

TEST(SerializeListFile, NewListIsTheHeaderRecord) {
  const std::string bytes = SerializeListFile(NewListFile());
  EXPECT_EQ(bytes, Header());
  EXPECT_EQ(ParseListFile(bytes).header, HeaderState::kValid);
}

}  // namespace
}  // namespace tarvel::ctl
