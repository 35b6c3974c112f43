#include "tools/tarvelctl/patterns.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvel::ctl {
namespace {

struct ProblemRow {
  const char* name;
  std::string pattern;
  bool refused;
};

class PatternProblemTest : public ::testing::TestWithParam<ProblemRow> {};

TEST_P(PatternProblemTest, RefusesWhatNoHostHolds) {
  const ProblemRow& row = GetParam();
  EXPECT_EQ(!PatternProblem(row.pattern).empty(), row.refused) << PatternProblem(row.pattern);
}

INSTANTIATE_TEST_SUITE_P(Rows, PatternProblemTest,
                         ::testing::Values(ProblemRow{"PlainHost", "example.org", false},
                                           ProblemRow{"Wildcards", "ex*le.org?", false},
                                           ProblemRow{"PortSuffix", "example.org:8080", false},
                                           ProblemRow{"Exactly100", std::string(100, 'a'), false},
                                           ProblemRow{"Over100", std::string(101, 'a'), true},
                                           ProblemRow{"Empty", "", true},
                                           ProblemRow{"InnerBlank", "exa mple", true},
                                           ProblemRow{"Tab", "exa\tmple", true},
                                           ProblemRow{"NonAscii",
                                                      "b\xC3\xBC"
                                                      "cher.de",
                                                      true},
                                           ProblemRow{"Delete", "a\x7F", true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct TextRow {
  const char* name;
  std::string text;
  std::vector<std::string> patterns;
  int duplicates;
  int local_names;
};

class ReadPatternTextTest : public ::testing::TestWithParam<TextRow> {};

TEST_P(ReadPatternTextTest, GivesThePatterns) {
  const TextRow& row = GetParam();
  PatternText out;
  ASSERT_EQ(ReadPatternText(row.text, &out), "");
  EXPECT_EQ(out.patterns, row.patterns);
  EXPECT_EQ(out.duplicates, row.duplicates);
  EXPECT_EQ(out.local_names, row.local_names);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadPatternTextTest,
    ::testing::Values(
        TextRow{"OnePerLine", "a.example\nb.example\n", {"a.example", "b.example"}, 0, 0},
        TextRow{"NoFinalNewline", "a.example", {"a.example"}, 0, 0},
        TextRow{"CrLfAndBlanks",
                "  a.example \r\n\r\n\t\r\nb.example\r\n",
                {"a.example", "b.example"},
                0,
                0},
        TextRow{"Comments", "# list\na.example # ads\n   # indented\n", {"a.example"}, 0, 0},
        TextRow{"ByteOrderMark",
                "\xEF\xBB\xBF"
                "a.example\n",
                {"a.example"},
                0,
                0},
        TextRow{"HostsFileLines",
                "127.0.0.1 localhost\n::1 localhost ip6-localhost\n0.0.0.0 0.0.0.0\n"
                "0.0.0.0 ads.example\n127.0.0.1\ttrack.example  more.example\n",
                {"ads.example", "track.example", "more.example"},
                0,
                4},
        TextRow{"LoneAddressIsAPattern", "10.0.0.1\n", {"10.0.0.1"}, 0, 0},
        TextRow{"RepeatsTakenOnce",
                "a.example\nb.example\na.example\n0.0.0.0 b.example\n",
                {"a.example", "b.example"},
                2,
                0},
        TextRow{
            "CaseDiffersIsNotARepeat", "A.example\na.example\n", {"A.example", "a.example"}, 0, 0},
        TextRow{"EmptyText", "", {}, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusalRow {
  const char* name;
  std::string text;
  std::string error;
};

class ReadPatternTextRefusal : public ::testing::TestWithParam<RefusalRow> {};

TEST_P(ReadPatternTextRefusal, NamesTheLine) {
  const RefusalRow& row = GetParam();
  PatternText out;
  EXPECT_EQ(ReadPatternText(row.text, &out), row.error);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadPatternTextRefusal,
    ::testing::Values(
        RefusalRow{"TooLong", "a.example\n\n" + std::string(101, 'x') + "\n",
                   "line 3: pattern of 101 characters; a list entry holds at most 100"},
        RefusalRow{"TooLongInHostsLine", "0.0.0.0 " + std::string(130, 'x'),
                   "line 1: pattern of 130 characters; a list entry holds at most 100"},
        RefusalRow{"TwoWordsNoAddress", "a.example\nexample org\n",
                   "line 2: more than one word; give one host pattern per line, or a hosts-file "
                   "line (an address, then host names)"},
        RefusalRow{"BadAddressIsNoAddress", "300.1.1.1 a.example\n",
                   "line 1: more than one word; give one host pattern per line, or a hosts-file "
                   "line (an address, then host names)"},
        RefusalRow{"NonAscii",
                   "x\nb\xC3\xBC"
                   "cher.de\n",
                   "line 2: pattern holds a blank, control or non-ASCII character, which no host "
                   "name holds"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarvel::ctl
