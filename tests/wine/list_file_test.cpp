// The list-file loader on real files, with the path read from the real
// registry: what is accepted and refused, and that no file is ever changed.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/win/list_files.h"
#include "platform/win/machine_settings.h"
#include "state/url_list.h"
#include "tests/wine/harness.h"
#include "tools/tarvelctl/files.h"

namespace tarvel::wine {
namespace {

std::string Record(const std::string& bytes) {
  std::string record = bytes.substr(0, 100);
  record.resize(100, '\0');
  return record;
}

std::string Text(const FilterState& s, ListKind kind, int slot) {
  const UrlList list = ListOf(s, kind);
  return std::string(list.entries[slot], EntryLength(list.entries[slot]));
}

FILETIME LastWrite(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
  return data.ftLastWriteTime;
}

class ListFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = TempPath("list-under-test.lst");
    DeleteFileA(path_.c_str());
    SetSetting("whitelib", path_ + '\0');
    // A list that a refused load must leave exactly as it is.
    AddUrl(*state_, ListKind::kWhite, "old1.example");
    AddUrl(*state_, ListKind::kWhite, "old2.example");
  }
  void TearDown() override {
    SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path_.c_str());
  }

  int Load() {
    return LoadUrlListFile(*state_, ListKind::kWhite, MachineSettings(), WindowsListFiles());
  }
  void ExpectUntouched() {
    EXPECT_EQ(state_->white_count, 2);
    EXPECT_EQ(Text(*state_, ListKind::kWhite, 1), "old2.example");
  }
  // Loads `bytes` from the file and checks that the file is as it was.
  int LoadFileOf(const std::string& bytes) {
    WriteFileBytes(path_, bytes);
    const FILETIME before = LastWrite(path_);
    const int result = Load();
    std::string after;
    EXPECT_TRUE(ReadFileBytes(path_, after));
    EXPECT_EQ(after, bytes) << "the list file was changed";
    const FILETIME written = LastWrite(path_);
    EXPECT_EQ(CompareFileTime(&before, &written), 0) << "the list file was written";
    return result;
  }

  std::string path_;
  std::unique_ptr<FilterState> state_ = std::make_unique<FilterState>();
};

struct FileRow {
  const char* name;
  std::string bytes;
  int result;
  int count;  // after an accepted load
};

class ListFileContent : public ListFileOnDisk, public ::testing::WithParamInterface<FileRow> {};

TEST_P(ListFileContent, AcceptedOrRefusedUntouched) {
  const FileRow& row = GetParam();
  EXPECT_EQ(LoadFileOf(row.bytes), row.result);
  if (row.result == 1) {
    EXPECT_EQ(state_->white_count, row.count);
  } else {
    ExpectUntouched();
  }
}

std::string Records(int n) {
  std::string bytes = HeaderRecord();
  for (int k = 0; k < n; ++k) bytes += Record("r" + std::to_string(k) + ".example");
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ListFileContent,
    ::testing::Values(
        FileRow{"Bytes21", std::string("TARVELINTERNETFILTER", 21), 1, 0},
        FileRow{"Bytes100", HeaderRecord(), 1, 0},
        FileRow{"Bytes20", std::string("TARVELINTERNETFILTER"), 0, 0},
        FileRow{"LowerCaseMagic", Record("tarvelinternetfilter") + Record("a.example"), 0, 0},
        FileRow{"OtherByteForNul", Record("TARVELINTERNETFILTER-") + Record("a.example"), 0, 0},
        FileRow{"Empty", "", 0, 0},
        FileRow{"Bytes250OneEntry", HeaderRecord() + Record("one.example") + std::string(50, 'z'),
                1, 1},
        FileRow{"Records2500Give2000", Records(2500), 1, 2000}),
    [](const ::testing::TestParamInfo<FileRow>& info) { return std::string(info.param.name); });

TEST_F(ListFileOnDisk, RecordsBecomeActiveEntriesInFileOrder) {
  ASSERT_EQ(LoadFileOf(ListFileBytes({"example.org", std::string("cut.example\0tail", 16),
                                      std::string(100, '\0'), std::string(100, 'L')})),
            1);
  ASSERT_EQ(state_->white_count, 4);
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 0), "example.org");
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 1), "cut.example");
  EXPECT_EQ(std::string(state_->white_entries[1] + 11, 89), std::string(89, '\0'));
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 2), "");
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 3), std::string(100, 'L'));
  for (int i = 0; i < 4; ++i) EXPECT_EQ(state_->white_active[i], 1) << i;
}

TEST_F(ListFileOnDisk, Records2500LoadTheFirst2000InOrder) {
  ASSERT_EQ(LoadFileOf(Records(2500)), 1);
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 0), "r0.example");
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 1999), "r1999.example");
  EXPECT_EQ(state_->black_count, 0);
  EXPECT_EQ(Text(*state_, ListKind::kBlack, 0), "");
}

TEST_F(ListFileOnDisk, MissingFileRefusedAndNotCreated) {
  EXPECT_EQ(Load(), 0);
  ExpectUntouched();
  EXPECT_EQ(GetFileAttributesA(path_.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(ListFileOnDisk, DirectoryRefused) {
  ASSERT_TRUE(CreateDirectoryA(path_.c_str(), nullptr));
  EXPECT_EQ(Load(), 0);
  ExpectUntouched();
  RemoveDirectoryA(path_.c_str());
}

TEST_F(ListFileOnDisk, NoPathOrEmptyPathRefused) {
  RemoveSetting("whitelib");
  EXPECT_EQ(Load(), 0);
  SetSetting("whitelib", std::string(260, '\0'));
  EXPECT_EQ(Load(), 0);
  ExpectUntouched();
}

// Another program may hold the file open in any way that lets others read:
// the loader asks for reading only.
struct HeldRow {
  const char* name;
  DWORD access;
  DWORD share;
};

class ListFileHeldElsewhere : public ListFileOnDisk,
                              public ::testing::WithParamInterface<HeldRow> {};

TEST_P(ListFileHeldElsewhere, StillLoads) {
  const HeldRow& row = GetParam();
  WriteFileBytes(path_, ListFileBytes({"shared.example"}));
  HANDLE other =
      CreateFileA(path_.c_str(), row.access, row.share, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_EQ(Load(), 1);
  CloseHandle(other);
  EXPECT_EQ(state_->white_count, 1);
  EXPECT_EQ(Text(*state_, ListKind::kWhite, 0), "shared.example");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ListFileHeldElsewhere,
    ::testing::Values(HeldRow{"ReadingSharingOnlyReading", GENERIC_READ, FILE_SHARE_READ},
                      HeldRow{"WritingSharingReadAndWrite", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE},
                      HeldRow{"DeletingSharingEverything", GENERIC_READ | DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}),
    [](const ::testing::TestParamInfo<HeldRow>& info) { return std::string(info.param.name); });

// While the loader holds the file, tarvelctl may put a new list in its place
// (the old file is renamed to a backup name on the way).
TEST_F(ListFileOnDisk, TarvelctlReplacesTheFileWhileTheLoaderHoldsIt) {
  WriteFileBytes(path_, ListFileBytes({"old.example"}));
  ListFiles::Handle held = nullptr;
  ASSERT_TRUE(WindowsListFiles().OpenExisting(path_.c_str(), &held));
  EXPECT_EQ(ctl::ReplaceFileWith(path_, ListFileBytes({"new.example"})), "");
  WindowsListFiles().Close(held);
  std::string bytes;
  ASSERT_TRUE(ReadFileBytes(path_, bytes));
  EXPECT_EQ(bytes, ListFileBytes({"new.example"}));
}

// A file with the read-only attribute is refused although its content is
// valid and it could be read (as root under Wine it could even be written).
TEST_F(ListFileOnDisk, ReadOnlyAttributeRefused) {
  const std::string bytes = ListFileBytes({"valid.example"});
  WriteFileBytes(path_, bytes);
  ASSERT_TRUE(SetFileAttributesA(path_.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(Load(), 0);
  ExpectUntouched();
  std::string after;
  ASSERT_TRUE(ReadFileBytes(path_, after));
  EXPECT_EQ(after, bytes);
}

}  // namespace
}  // namespace tarvel::wine
