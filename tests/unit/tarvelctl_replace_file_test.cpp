// ReplaceFileWith over files in memory, with a failure injected at each of
// its changing steps: the list is never lost, and nothing is left beside it.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/tarvelctl/files.h"

namespace tarvel::ctl {
namespace {

constexpr char kList[] = "C:\\lists\\black.lst";
const std::string kOld = "old list";
const std::string kNew = "the whole new list";

// Every changing call is a step; the steps numbered in `fail` fail. A failing replace can leave the
// target moved to the backup name, as ReplaceFile does with ERROR_UNABLE_TO_MOVE_REPLACEMENT_2.
class FakeFileSteps final : public FileSteps {
 public:
  std::map<std::string, std::string> files;
  std::set<int> fail;
  bool failed_replace_moves_aside = false;
  // Then leaves this in the target's place (a replace cut off midway).
  const std::string* failed_replace_leaves = nullptr;
  int taken = 0;  // so many names are taken by other runs' files first
  int steps = 0;
  std::vector<std::string> calls;    // "create", "write", "replace", "move", "remove"
  std::vector<std::string> created;  // the files CreateNew made

  Created CreateNew(const std::string& path, std::string* error) override {
    if (files.count(path) == 1) return Created::kExists;
    if (taken > 0) {
      --taken;
      files[path] = "another run's file";
      return Created::kExists;
    }
    if (Fails("create")) {
      *error = "injected";
      return Created::kFailed;
    }
    files[path] = "";
    created.push_back(path);
    return Created::kOk;
  }
  std::string WriteFlushed(const std::string& path, const std::string& bytes) override {
    if (Fails("write")) {
      files[path] = bytes.substr(0, bytes.size() / 2);
      return "injected";
    }
    files[path] = bytes;
    return "";
  }
  bool Exists(const std::string& path) override { return files.count(path) == 1; }
  std::string Replace(const std::string& target, const std::string& replacement,
                      const std::string& backup) override {
    if (Fails("replace")) {
      if (failed_replace_moves_aside) Rename(target, backup);
      if (failed_replace_leaves != nullptr) files[target] = *failed_replace_leaves;
      return "injected";
    }
    Rename(target, backup);
    Rename(replacement, target);
    return "";
  }
  std::string Move(const std::string& from, const std::string& to) override {
    if (Fails("move")) return "injected";
    Rename(from, to);
    return "";
  }
  std::string Remove(const std::string& path) override {
    if (Fails("remove")) return "injected";
    files.erase(path);
    return "";
  }
  FileRead Read(const std::string& path, std::string* bytes) override {
    if (files.count(path) == 0) return FileRead::kMissing;
    *bytes = files[path];
    return FileRead::kOk;
  }
  unsigned long ProcessId() override { return 4711; }
  FileRead ListFolder(const std::string&, std::vector<FolderFile>*, std::string*) override {
    return FileRead::kMissing;
  }
  std::string MakeFolders(const std::string&) override { return ""; }
  Removal RemoveNowOrAtRestart(const std::string&, std::string*) override {
    return Removal::kFailed;
  }
  FileRead ListFolders(const std::string&, std::vector<std::string>*, std::string*) override {
    return FileRead::kMissing;
  }

  // The files other than the list.
  std::map<std::string, std::string> Beside() const {
    std::map<std::string, std::string> beside = files;
    beside.erase(kList);
    return beside;
  }

 private:
  bool Fails(const char* call) {
    calls.push_back(call);
    ++steps;
    return fail.count(steps) == 1;
  }
  void Rename(const std::string& from, const std::string& to) {
    files[to] = files[from];
    files.erase(from);
  }
};

struct Scenario {
  const char* name;
  bool old_exists;
  bool failed_replace_moves_aside;
};

class ReplaceFile : public ::testing::TestWithParam<Scenario> {
 protected:
  FakeFileSteps Make() const {
    FakeFileSteps steps;
    if (GetParam().old_exists) steps.files[kList] = kOld;
    steps.failed_replace_moves_aside = GetParam().failed_replace_moves_aside;
    return steps;
  }
};

TEST_P(ReplaceFile, EveryFailureKeepsAWholeListAndLeavesNothingBeside) {
  FakeFileSteps clean = Make();
  ASSERT_EQ(ReplaceFileWith(clean, kList, kNew), "");
  EXPECT_EQ(clean.files, (std::map<std::string, std::string>{{kList, kNew}}));
  ASSERT_GE(clean.steps, 3);
  for (int step = 1; step <= clean.steps; ++step) {
    FakeFileSteps steps = Make();
    steps.fail = {step};
    const std::string error = ReplaceFileWith(steps, kList, kNew);
    const std::string failed = steps.calls[step - 1];
    // Only the backup's removal after the swap may fail unnoticed: the new
    // list is in place, the old one beside it.
    if (step == clean.steps && failed == "remove") {
      EXPECT_EQ(error, "");
      EXPECT_EQ(steps.files[kList], kNew);
      for (const auto& [name, bytes] : steps.Beside()) EXPECT_EQ(bytes, kOld) << name;
      continue;
    }
    EXPECT_NE(error, "") << failed << " at step " << step;
    if (steps.Exists(kList)) {
      const std::string& list = steps.files[kList];
      EXPECT_TRUE(list == kOld || list == kNew) << failed << " at step " << step << ": " << list;
      EXPECT_TRUE(GetParam().old_exists || list == kNew) << step;
    } else {
      EXPECT_FALSE(GetParam().old_exists) << failed << " at step " << step << " lost the list";
    }
    EXPECT_EQ(steps.Beside(), (std::map<std::string, std::string>{}))
        << failed << " at step " << step;
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, ReplaceFile,
                         ::testing::Values(Scenario{"NoFileYet", false, false},
                                           Scenario{"ReplaceChangesNothing", true, false},
                                           Scenario{"ReplaceMovesTheTargetAside", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A replace that fails after moving the target aside and leaving a file in
// its place: unless that file is one of the lists byte for byte, both lists
// stay beside it and the reason names them.
TEST(ReplaceFileCutOff, KeepsBothListsUnlessTheTargetIsWhole) {
  struct Row {
    const char* name;
    std::string left;
    bool both_kept;
  };
  const Row rows[] = {
      {"EmptyTarget", "", true},
      {"PartOfTheOldList", kOld.substr(0, 3), true},
      {"WholeOldList", kOld, false},
      {"WholeNewList", kNew, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeFileSteps steps;
    steps.files[kList] = kOld;
    steps.failed_replace_moves_aside = true;
    steps.failed_replace_leaves = &row.left;
    steps.fail = {3};
    const std::string error = ReplaceFileWith(steps, kList, kNew);
    std::set<std::string> beside;
    for (const auto& [name, bytes] : steps.Beside()) beside.insert(bytes);
    const std::set<std::string> expected =
        row.both_kept ? std::set<std::string>{kOld, kNew} : std::set<std::string>{};
    EXPECT_EQ(beside, expected);
    EXPECT_EQ(error.find("may be incomplete: the old list is kept in ") != std::string::npos,
              row.both_kept)
        << error;
  }
}

// After a replace that moved the target aside: the old list comes back from
// the backup, or else the new one from the temporary file; a file that
// cannot come back or go stays where it is, and the reason names it.
struct RestoreRow {
  const char* name;
  std::set<int> fail;                        // 3 the replace, then the moves back and removals
  std::map<std::string, std::string> files;  // "$B" the backup, "$T" the temporary file
  std::string error;
};

class ReplaceFileRestore : public ::testing::TestWithParam<RestoreRow> {};

TEST_P(ReplaceFileRestore, PutsAWholeListBack) {
  const RestoreRow& row = GetParam();
  FakeFileSteps steps;
  steps.files[kList] = kOld;
  steps.failed_replace_moves_aside = true;
  steps.fail = row.fail;
  const std::string error = ReplaceFileWith(steps, kList, kNew);
  ASSERT_EQ(steps.created.size(), 1u);
  const std::string temp = steps.created[0];
  const std::string backup = temp.substr(0, temp.size() - 4) + ".old";
  const auto named = [&](std::string text) {
    for (const auto& [mark, name] : {std::pair{"$B", backup}, std::pair{"$T", temp}}) {
      for (std::size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, 2, name);
    }
    return text;
  };
  std::map<std::string, std::string> expected;
  for (const auto& [name, bytes] : row.files) expected[named(name)] = bytes;
  EXPECT_EQ(steps.files, expected);
  EXPECT_EQ(error, named(row.error));
}

const std::string kReplaceFailed = std::string("cannot replace ") + kList + ": injected";

INSTANTIATE_TEST_SUITE_P(
    Rows, ReplaceFileRestore,
    ::testing::Values(
        RestoreRow{"OldFromTheBackup", {3}, {{kList, kOld}}, kReplaceFailed},
        RestoreRow{"NewFromTheTemporaryFile",
                   {3, 4},
                   {{kList, kNew}},
                   kReplaceFailed + "; cannot move $B back: injected"},
        RestoreRow{"NeitherComesBack",
                   {3, 4, 5},
                   {{"$B", kOld}, {"$T", kNew}},
                   kReplaceFailed +
                       "; cannot move $B back: injected; cannot move $T back: injected; " + kList +
                       " is gone: the old list is kept in $B, the new list is kept in $T"},
        RestoreRow{"TemporaryFileThatStaysIsNamed",
                   {3, 5},
                   {{kList, kOld}, {"$T", kNew}},
                   kReplaceFailed + "; $T is left behind: injected"}),
    [](const auto& info) { return std::string(info.param.name); });

// Names taken by other runs' files are skipped and those files left alone;
// each name carries the process id, and two writes use two names.
TEST(ReplaceFileNames, OtherRunsFilesAreSkippedAndKept) {
  FakeFileSteps steps;
  steps.files[kList] = kOld;
  steps.taken = 3;
  ASSERT_EQ(ReplaceFileWith(steps, kList, kNew), "");
  EXPECT_EQ(steps.files[kList], kNew);
  const std::map<std::string, std::string> beside = steps.Beside();
  EXPECT_EQ(beside.size(), 3u);
  for (const auto& [name, bytes] : beside) EXPECT_EQ(bytes, "another run's file") << name;
  ASSERT_EQ(ReplaceFileWith(steps, kList, kOld), "");
  ASSERT_EQ(steps.created.size(), 2u);
  EXPECT_NE(steps.created[0], steps.created[1]);
  for (const std::string& name : steps.created) {
    EXPECT_EQ(name.rfind(std::string(kList) + ".tarvelctl-4711-", 0), 0u) << name;
  }
}

}  // namespace
}  // namespace tarvel::ctl
