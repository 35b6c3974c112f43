#include "tools/make_list_file/list_text.h"

#include <gtest/gtest.h>

#include <string>

#include "state/list_file.h"
#include "tests/testing/fake_list_files.h"
#include "tests/testing/fake_settings.h"
#include "tests/testing/state_builder.h"

namespace tarvel {
namespace {

// The file made from `text`, loaded as the black list of a new block.
std::vector<std::string> Loaded(const std::string& text) {
  std::string file;
  std::string error;
  EXPECT_TRUE(MakeListFile(text, file, error)) << error;
  testing::FakeSettingsKey key;
  key.values["blacklib"] = std::string("C:\\b.lst", 9);
  SettingsStore store(key);
  testing::FakeListFiles files;
  files.files["C:\\b.lst"].bytes = file;
  auto state = testing::NewState();
  EXPECT_EQ(LoadUrlListFile(*state, ListKind::kBlack, store, files), 1);
  std::vector<std::string> texts;
  for (int i = 0; i < state->black_count; ++i) {
    texts.emplace_back(state->black_entries[i], EntryLength(state->black_entries[i]));
  }
  return texts;
}

TEST(MakeListFile, PatternsInOrderWithoutCommentsBlanksOrLineEnds) {
  const std::string text =
      "# casinos\r\n  casino.example  \r\n\r\n\tads.*.example\n#x\nlast.example";
  EXPECT_EQ(Loaded(text),
            (std::vector<std::string>{"casino.example", "ads.*.example", "last.example"}));
}

TEST(MakeListFile, HeaderRecordThenRecords) {
  std::string file;
  std::string error;
  ASSERT_TRUE(MakeListFile("a.example\n", file, error));
  ASSERT_EQ(file.size(), 200u);
  EXPECT_EQ(file.substr(0, 21), std::string("TARVELINTERNETFILTER", 21));
  EXPECT_EQ(file.substr(21, 79), std::string(79, '\0'));
  EXPECT_EQ(file.substr(100, 10), std::string("a.example\0", 10));
  ASSERT_TRUE(MakeListFile("", file, error));
  EXPECT_EQ(file.size(), 100u);
}

TEST(MakeListFile, PatternOf100FillsItsRecord) {
  EXPECT_EQ(Loaded(std::string(100, 'p')), std::vector<std::string>{std::string(100, 'p')});
}

struct RefusedRow {
  const char* name;
  std::string text;
  const char* error;
};

class MakeListFileRefuses : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(MakeListFileRefuses, NamingTheLine) {
  std::string file = "untouched";
  std::string error;
  EXPECT_FALSE(MakeListFile(GetParam().text, file, error));
  EXPECT_EQ(error, GetParam().error);
  EXPECT_EQ(file, "untouched");
}

std::string Lines(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += "h" + std::to_string(i) + "\n";
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MakeListFileRefuses,
    ::testing::Values(
        RefusedRow{"Pattern101", "ok\n" + std::string(101, 'p'),
                   "line 2: a pattern of 101 characters; at most 100 fit a record"},
        RefusedRow{"NulByte", std::string("a\0b", 3), "line 1: a NUL byte"},
        RefusedRow{"Patterns2001", Lines(2001),
                   "line 2001: more than 2000 patterns; the filter loads only the first 2000"}),
    [](const ::testing::TestParamInfo<RefusedRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvel
