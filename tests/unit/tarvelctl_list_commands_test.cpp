// The list commands end to end through the shell, on real files in a
// temporary folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/testing/temp_folder.h"
#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/list_commands.h"
#include "tools/tarvelctl/list_file.h"

namespace tarvel::ctl {
namespace {

namespace fs = std::filesystem;

class ListCommandTest : public ::testing::Test {
 protected:
  tarvel::testing::TempFolder folder_;

  std::vector<std::string> Entries(const std::string& name) const {
    return ParseListFile(folder_.Read(name)).entries;
  }

  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    Console console{out_, err_};
    const Shell shell(ListCommands(), "");
    return shell.Run(args, console);
  }

  std::ostringstream out_;
  std::ostringstream err_;
};

std::string Header() {
  std::string h = std::string(kListMagic);
  h.resize(kRecordBytes, '\0');
  return h;
}

TEST_F(ListCommandTest, NewWritesHeaderAndKeepsExistingFiles) {
  EXPECT_EQ(Run({"list", "new", folder_.Path("b.tvl")}), kExitOk);
  EXPECT_EQ(folder_.Read("b.tvl"), Header());
  folder_.Write("b.tvl", Header() + std::string(100, 'a'));
  EXPECT_EQ(Run({"list", "new", folder_.Path("b.tvl")}), kExitFailed);
  EXPECT_EQ(err_.str(), "tarvelctl: " + folder_.Path("b.tvl") +
                            " exists; add --force to replace it with an empty list\n");
  EXPECT_EQ(Entries("b.tvl").size(), 1u);
  EXPECT_EQ(Run({"list", "new", folder_.Path("b.tvl"), "--force"}), kExitOk);
  EXPECT_EQ(folder_.Read("b.tvl"), Header());
}

TEST_F(ListCommandTest, ImportCreatesAppendsAndReplaces) {
  folder_.Write("one.txt", "# ads\n0.0.0.0 ads.example\n127.0.0.1 localhost\ntrack.example\n");
  ASSERT_EQ(Run({"list", "import", folder_.Path("one.txt"), folder_.Path("b.tvl")}), kExitOk)
      << err_.str();
  EXPECT_EQ(out_.str(), folder_.Path("b.tvl") +
                            ": imported 2 patterns, 1 local name of a hosts file skipped; the "
                            "list holds 2 entries\n");
  EXPECT_EQ(Entries("b.tvl"), (std::vector<std::string>{"ads.example", "track.example"}));

  folder_.Write("two.txt", "track.example\nnew.example\n");
  ASSERT_EQ(Run({"list", "import", folder_.Path("two.txt"), folder_.Path("b.tvl")}), kExitOk);
  EXPECT_EQ(out_.str(), folder_.Path("b.tvl") +
                            ": imported 1 pattern, 1 already listed; the list holds 3 entries\n");
  EXPECT_EQ(Entries("b.tvl"),
            (std::vector<std::string>{"ads.example", "track.example", "new.example"}));

  ASSERT_EQ(Run({"list", "import", "--replace", folder_.Path("two.txt"), folder_.Path("b.tvl")}),
            kExitOk);
  EXPECT_EQ(Entries("b.tvl"), (std::vector<std::string>{"track.example", "new.example"}));
}

// A file beside the list that another run may be writing (the name one
// temporary file used to share) is left alone, and this run leaves nothing.
TEST_F(ListCommandTest, ImportLeavesFilesBesideTheListAlone) {
  folder_.Write("t.txt", "a.example\n");
  folder_.Write("b.tvl.tarvelctl-new", "another run's list");
  ASSERT_EQ(Run({"list", "import", folder_.Path("t.txt"), folder_.Path("b.tvl")}), kExitOk)
      << err_.str();
  ASSERT_EQ(Run({"list", "import", folder_.Path("t.txt"), folder_.Path("b.tvl")}), kExitOk);
  EXPECT_EQ(Entries("b.tvl"), std::vector<std::string>{"a.example"});
  EXPECT_EQ(folder_.Read("b.tvl.tarvelctl-new"), "another run's list");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder_.path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"b.tvl", "b.tvl.tarvelctl-new", "t.txt"}));
}

TEST_F(ListCommandTest, ImportKeepsForeignHeaderBytesAndDropsPartialRecord) {
  std::string header = Header();
  header.replace(30, 6, "vendor");
  folder_.Write("b.tvl", header + std::string(100, '\0') + "partial");
  folder_.Write("t.txt", "x.example\n");
  ASSERT_EQ(Run({"list", "import", folder_.Path("t.txt"), folder_.Path("b.tvl")}), kExitOk);
  EXPECT_NE(out_.str().find("dropped 7 bytes after the last whole record"), std::string::npos);
  std::string x = "x.example";
  x.resize(100, '\0');
  EXPECT_EQ(folder_.Read("b.tvl"), header + std::string(100, '\0') + x);
}

struct ImportRefusal {
  const char* name;
  std::string text;
  std::string existing;  // the list file before; empty: none
  std::string error;     // after "tarvelctl: "; $T and $F stand for the paths
};

class ImportRefusals : public ListCommandTest,
                       public ::testing::WithParamInterface<ImportRefusal> {};

TEST_P(ImportRefusals, WriteNothing) {
  const ImportRefusal& row = GetParam();
  folder_.Write("t.txt", row.text);
  if (!row.existing.empty()) folder_.Write("b.tvl", row.existing);
  EXPECT_EQ(Run({"list", "import", folder_.Path("t.txt"), folder_.Path("b.tvl")}), kExitFailed);
  std::string error = row.error;
  for (auto [token, path] :
       {std::pair{"$T", folder_.Path("t.txt")}, std::pair{"$F", folder_.Path("b.tvl")}}) {
    for (std::size_t at; (at = error.find(token)) != std::string::npos;) error.replace(at, 2, path);
  }
  EXPECT_EQ(err_.str(), "tarvelctl: " + error + "\n");
  EXPECT_EQ(out_.str(), "");
  EXPECT_EQ(fs::exists(folder_.Path("b.tvl")), !row.existing.empty());
  if (!row.existing.empty()) {
    EXPECT_EQ(folder_.Read("b.tvl"), row.existing);
  }
}

std::string ManyHosts(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += "h" + std::to_string(i) + ".example\n";
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ImportRefusals,
    ::testing::Values(
        ImportRefusal{"LongPattern", "ok.example\n" + std::string(101, 'x') + "\n", "",
                      "$T line 2: pattern of 101 characters; a list entry holds at most 100"},
        ImportRefusal{"TooManyForANewList", ManyHosts(2001), "",
                      "$F would hold 2001 entries; the filter loads at most 2000, so nothing was "
                      "imported"},
        ImportRefusal{"TooManyWithExisting", ManyHosts(1999),
                      Header() + std::string(100, 'a') + std::string(100, 'b'),
                      "$F would hold 2001 entries; the filter loads at most 2000, so nothing was "
                      "imported"},
        ImportRefusal{"NotAListFile", "a.example\n", "just some text, not a list file at all",
                      "$F is not a tarvel list file (no header: the file does not start with "
                      "TARVELINTERNETFILTER (upper case)); it is left as it is"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ListCommandTest, ImportOfAMissingTextFails) {
  EXPECT_EQ(Run({"list", "import", folder_.Path("none.txt"), folder_.Path("b.tvl")}), kExitFailed);
  EXPECT_EQ(err_.str(), "tarvelctl: no file at " + folder_.Path("none.txt") + "\n");
}

TEST_F(ListCommandTest, ExportRoundTripsThroughImport) {
  std::string bytes = Header();
  for (const char* e : {"a.example", "", "b c", "ex*le.org"}) {
    std::string r = e;
    r.resize(100, '\0');
    bytes += r;
  }
  folder_.Write("b.tvl", bytes);
  ASSERT_EQ(Run({"list", "export", folder_.Path("b.tvl")}), kExitOk);
  EXPECT_EQ(out_.str(), "a.example\nex*le.org\n");
  EXPECT_EQ(err_.str(),
            "tarvelctl: record 2 left out: empty pattern (as a whitelist entry it would let "
            "every host through)\n"
            "tarvelctl: record 3 left out: pattern holds a blank, control or non-ASCII "
            "character, which no host name holds\n");
  folder_.Write("back.txt", out_.str());
  ASSERT_EQ(Run({"list", "import", folder_.Path("back.txt"), folder_.Path("c.tvl")}), kExitOk);
  EXPECT_EQ(Entries("c.tvl"), (std::vector<std::string>{"a.example", "ex*le.org"}));
}

TEST_F(ListCommandTest, ExportRefusesFileWithoutHeader) {
  folder_.Write("b.tvl", "TARVELINTERNETFILTE");
  EXPECT_EQ(Run({"list", "export", folder_.Path("b.tvl")}), kExitFailed);
  EXPECT_EQ(err_.str(), "tarvelctl: " + folder_.Path("b.tvl") +
                            " is not a tarvel list file: too short for a header: a list file "
                            "starts with the 20 characters TARVELINTERNETFILTER and a NUL byte\n");
}

TEST_F(ListCommandTest, CheckReportsWhatTheFilterIgnores) {
  std::string bytes = Header();
  auto record = [](std::string text) {
    text.resize(100, '\0');
    return text;
  };
  bytes += record("a.example") + record("") + record("a.example");
  for (int i = 0; i < 1999; ++i) bytes += record("h" + std::to_string(i));
  bytes += "xyz";
  folder_.Write("b.tvl", bytes);
  EXPECT_EQ(Run({"list", "check", folder_.Path("b.tvl")}), kExitOk);
  EXPECT_EQ(
      out_.str(),
      folder_.Path("b.tvl") +
          ": loads: 2000 entries (2 further records ignored)\n"
          "  records: 2002 entry records after the header\n"
          "  beyond 2000: records 2001 to 2002 are never loaded\n"
          "  trailing partial record: 3 bytes after the last whole record, ignored\n"
          "  record 2: empty entry: in a whitelist it lets every host through, in a blacklist "
          "it blocks nothing\n"
          "  record 3: \"a.example\" repeats record 1\n");
}

struct CheckRefusal {
  const char* name;
  std::string bytes;  // "-" for no file
  std::string line;   // after "PATH: "
};

class CheckRefusals : public ListCommandTest, public ::testing::WithParamInterface<CheckRefusal> {};

TEST_P(CheckRefusals, ExitOneWithTheReason) {
  const CheckRefusal& row = GetParam();
  if (row.bytes != "-") folder_.Write("b.tvl", row.bytes);
  EXPECT_EQ(Run({"list", "check", folder_.Path("b.tvl")}), kExitFailed);
  std::string expected = row.line;
  if (expected.find("$F") != std::string::npos)
    expected.replace(expected.find("$F"), 2, folder_.Path("b.tvl"));
  EXPECT_EQ(out_.str(), folder_.Path("b.tvl") + ": " + expected + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CheckRefusals,
    ::testing::Values(
        CheckRefusal{"NoFile", "-", "does not load: no file at $F"},
        CheckRefusal{"LowerCaseMagic", "tarvelinternetfilter" + std::string(80, '\0'),
                     "does not load: no header: the file does not start with "
                     "TARVELINTERNETFILTER (upper case)"},
        CheckRefusal{"NoNul", "TARVELINTERNETFILTERX",
                     "does not load: damaged header: TARVELINTERNETFILTER is not followed by a "
                     "NUL byte"}),
    [](const auto& info) { return std::string(info.param.name); });

// Natively a file that nobody may write stands for the read-only attribute;
// root's freedom to write it anyway changes nothing.
TEST_F(ListCommandTest, CheckRefusesAReadOnlyFile) {
  folder_.Write("b.tvl", Header());
  const std::string path = folder_.Path("b.tvl");
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(Run({"list", "check", path}), kExitFailed);
  EXPECT_EQ(out_.str(), path +
                            ": does not load: the file is read-only, and the filter refuses a "
                            "read-only list file\n"
                            "  records: 0 entry records after the header\n");
}

}  // namespace
}  // namespace tarvel::ctl
