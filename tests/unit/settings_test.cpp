#include "state/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "tests/testing/fake_settings.h"

namespace tarvel {
namespace {

using testing::FakeSettingsKey;
using testing::StoredFlag;

constexpr std::int32_t kSentinel = 0x5EED;

// Every test ends with every key it opened closed again.
class Settings : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_TRUE(key_.open_handles.empty()) << key_.open_handles.size() << " keys left open";
  }

  FakeSettingsKey key_;
  SettingsStore store_{key_};
};

// --- ReadFlag ---------------------------------------------------------------

struct FlagReadRow {
  const char* name;
  std::optional<std::string> stored;  // nullopt: the value is missing
  int result;
  std::int32_t out;
};

class FlagRead : public Settings, public ::testing::WithParamInterface<FlagReadRow> {};

TEST_P(FlagRead, ExactTextsOnly) {
  const FlagReadRow& row = GetParam();
  if (row.stored) key_.values["iswhi"] = *row.stored;
  std::int32_t out = kSentinel;
  EXPECT_EQ(store_.ReadFlag("iswhi", &out), row.result);
  EXPECT_EQ(out, row.out);
  EXPECT_EQ(key_.opens, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FlagRead,
    ::testing::Values(
        FlagReadRow{"OneAsWritten", StoredFlag('1'), 1, 1},
        FlagReadRow{"ZeroAsWritten", StoredFlag('0'), 1, 0},
        FlagReadRow{"OneWithItsNul", std::string("1", 2), 1, 1},
        FlagReadRow{"OneWithoutNul", std::string("1"), 1, 1},
        FlagReadRow{"OneThen499Nuls", std::string("1") + std::string(499, '\0'), 1, 1},
        FlagReadRow{"OneThenBlank", std::string("1 ", 3), 0, kSentinel},
        FlagReadRow{"BlankThenOne", std::string(" 1", 3), 0, kSentinel},
        FlagReadRow{"Yes", std::string("yes", 4), 0, kSentinel},
        FlagReadRow{"True", std::string("true", 5), 0, kSentinel},
        FlagReadRow{"ZeroOne", std::string("01", 3), 0, kSentinel},
        FlagReadRow{"Two", std::string("2", 2), 0, kSentinel},
        FlagReadRow{"EmptyText", std::string("", 1), 0, kSentinel},
        FlagReadRow{"NoData", std::string(), 0, kSentinel},
        FlagReadRow{"Over500Bytes", std::string("1") + std::string(500, '\0'), 0, kSentinel},
        FlagReadRow{"Missing", std::nullopt, 0, kSentinel}),
    [](const ::testing::TestParamInfo<FlagReadRow>& info) { return std::string(info.param.name); });

TEST_F(Settings, ReadFlagOfMissingKeyFails) {
  key_.key_exists = false;
  std::int32_t out = kSentinel;
  EXPECT_EQ(store_.ReadFlag("issma", &out), 0);
  EXPECT_EQ(out, kSentinel);
  EXPECT_FALSE(key_.key_exists);
}

// --- WriteFlag --------------------------------------------------------------

struct FlagWriteRow {
  const char* name;
  std::int32_t value;
  char digit;
};

class FlagWrite : public Settings, public ::testing::WithParamInterface<FlagWriteRow> {};

TEST_P(FlagWrite, TenBytesOfOneOrZero) {
  const FlagWriteRow& row = GetParam();
  EXPECT_EQ(store_.WriteFlag("issmawe", row.value), 1);
  EXPECT_EQ(key_.values["issmawe"], StoredFlag(row.digit));
}

INSTANTIATE_TEST_SUITE_P(Rows, FlagWrite,
                         ::testing::Values(FlagWriteRow{"One", 1, '1'},
                                           FlagWriteRow{"Zero", 0, '0'},
                                           FlagWriteRow{"Two", 2, '0'},
                                           FlagWriteRow{"MinusOne", -1, '0'},
                                           FlagWriteRow{"Largest", 0x7FFFFFFF, '0'}),
                         [](const ::testing::TestParamInfo<FlagWriteRow>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(Settings, FirstWriteCreatesTheKey) {
  key_.key_exists = false;
  EXPECT_EQ(store_.WriteFlag("iswhi", 1), 1);
  EXPECT_TRUE(key_.key_exists);
  std::int32_t out = 0;
  EXPECT_EQ(store_.ReadFlag("iswhi", &out), 1);
  EXPECT_EQ(out, 1);
}

TEST_F(Settings, RefusedWriteReportsFailure) {
  key_.fail_sets = true;
  EXPECT_EQ(store_.WriteFlag("iswhi", 1), 0);
  EXPECT_EQ(store_.WritePath("whitelib", "C:\\w.lst"), 0);
  EXPECT_EQ(store_.WriteFilterText("x"), 0);
  key_.fail_sets = false;
  key_.fail_opens = true;
  EXPECT_EQ(store_.WriteFlag("iswhi", 1), 0);
  EXPECT_EQ(store_.DeleteValue("iswhi"), 0);
}

// --- ReadPath ---------------------------------------------------------------

struct PathReadRow {
  const char* name;
  std::optional<std::string> stored;
  std::int32_t size;
  int result;
  std::string expected;  // the first min(size, 260) bytes of dst on success
};

std::string Padded(const std::string& text, std::size_t size) {
  std::string bytes = text;
  bytes.resize(size, '\0');
  return bytes;
}

class PathRead : public Settings, public ::testing::WithParamInterface<PathReadRow> {};

TEST_P(PathRead, BoundedAndTerminated) {
  const PathReadRow& row = GetParam();
  if (row.stored) key_.values["whitelib"] = *row.stored;
  char dst[1024];
  std::memset(dst, 0xAB, sizeof dst);
  EXPECT_EQ(store_.ReadPath("whitelib", dst, row.size), row.result);
  const std::size_t written = row.result == 1 ? row.expected.size() : 0;
  EXPECT_EQ(std::string(dst, written), row.expected);
  for (std::size_t i = written; i < sizeof dst; ++i) {
    ASSERT_EQ(static_cast<unsigned char>(dst[i]), 0xAB) << "byte " << i << " written";
  }
}

const std::string k40 = "C:\\Program Files\\Tarvel\\lists\\white.lst";
const std::string k259(259, 'p');

INSTANTIATE_TEST_SUITE_P(
    Rows, PathRead,
    ::testing::Values(
        PathReadRow{"FortyCharactersFillsWith220Nuls", Padded(k40, 260), 260, 1, Padded(k40, 260)},
        PathReadRow{"ShortStoredFormStillPadded", k40 + '\0', 260, 1, Padded(k40, 260)},
        PathReadRow{"Size258PadsTo258", Padded(k40, 260), 258, 1, Padded(k40, 258)},
        PathReadRow{"LargeSizePadsTo260", k40, 1000, 1, Padded(k40, 260)},
        PathReadRow{"Longest259", k259 + '\0', 260, 1, k259 + '\0'},
        PathReadRow{"NoRoomForNulIn258", std::string(258, 'p'), 258, 0, ""},
        PathReadRow{"Characters260Refused", std::string(260, 'p'), 260, 0, ""},
        PathReadRow{"Characters499Refused", std::string(499, 'p') + '\0', 1000, 0, ""},
        PathReadRow{"Bytes500WithoutNulRefused", std::string(500, 'p'), 1000, 0, ""},
        PathReadRow{"Over500BytesRefused", Padded(k40, 501), 260, 0, ""},
        PathReadRow{"OnlyNuls", std::string(260, '\0'), 260, 0, ""},
        PathReadRow{"NoData", std::string(), 260, 0, ""},
        PathReadRow{"Missing", std::nullopt, 260, 0, ""}),
    [](const ::testing::TestParamInfo<PathReadRow>& info) { return std::string(info.param.name); });

TEST_F(Settings, ReadPathUnder258OrNullNeverOpensTheKey) {
  key_.values["blacklib"] = k40;
  char dst[300];
  std::memset(dst, 0xAB, sizeof dst);
  EXPECT_EQ(store_.ReadPath("blacklib", dst, 257), 0);
  EXPECT_EQ(store_.ReadPath("blacklib", dst, -260), 0);
  EXPECT_EQ(store_.ReadPath("blacklib", nullptr, 260), 0);
  EXPECT_EQ(key_.opens, 0);
  EXPECT_EQ(static_cast<unsigned char>(dst[0]), 0xAB);
}

TEST_F(Settings, ReadPathOfMissingKeyFails) {
  key_.key_exists = false;
  char dst[260];
  std::memset(dst, 0xAB, sizeof dst);
  EXPECT_EQ(store_.ReadPath("path", dst, sizeof dst), 0);
  EXPECT_EQ(static_cast<unsigned char>(dst[0]), 0xAB);
}

// --- WritePath --------------------------------------------------------------

struct PathWriteRow {
  const char* name;
  std::string text;
  int result;
};

class PathWrite : public Settings, public ::testing::WithParamInterface<PathWriteRow> {};

TEST_P(PathWrite, Always260BytesNeverCut) {
  const PathWriteRow& row = GetParam();
  key_.key_exists = false;
  EXPECT_EQ(store_.WritePath("blacklib", row.text.c_str()), row.result);
  if (row.result == 1) {
    EXPECT_EQ(key_.values["blacklib"], Padded(row.text, 260));
  } else {
    EXPECT_EQ(key_.values.count("blacklib"), 0u);
    EXPECT_EQ(key_.opens, 0);
    EXPECT_FALSE(key_.key_exists);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PathWrite,
    ::testing::Values(PathWriteRow{"Short", "D:\\b.lst", 1}, PathWriteRow{"Forty", k40, 1},
                      PathWriteRow{"Empty", "", 1}, PathWriteRow{"Longest259", k259, 1},
                      PathWriteRow{"Characters260Refused", std::string(260, 'p'), 0},
                      PathWriteRow{"Characters1000Refused", std::string(1000, 'p'), 0}),
    [](const ::testing::TestParamInfo<PathWriteRow>& info) {
      return std::string(info.param.name);
    });

TEST_F(Settings, WritePathOfNullRefusedUnopened) {
  EXPECT_EQ(store_.WritePath("path", nullptr), 0);
  EXPECT_EQ(key_.opens, 0);
}

TEST_F(Settings, WrittenPathReadsBack) {
  ASSERT_EQ(store_.WritePath("path", k259.c_str()), 1);
  char dst[260];
  ASSERT_EQ(store_.ReadPath("path", dst, sizeof dst), 1);
  EXPECT_EQ(std::string(dst), k259);
}

// --- The filter text ----------------------------------------------------------

TEST_F(Settings, FilterTextWrittenIsReadBack) {
  const std::string text(259, 't');
  ASSERT_EQ(store_.WriteFilterText(text.c_str()), 1);
  EXPECT_EQ(key_.values["TarvelFilter"], text + '\0');
  char dst[400];
  std::memset(dst, 0xAB, sizeof dst);
  ASSERT_EQ(store_.ReadFilterText(dst, 300), 1);
  EXPECT_EQ(std::string(dst, 300), Padded(text, 300));
  EXPECT_EQ(static_cast<unsigned char>(dst[300]), 0xAB);
}

TEST_F(Settings, FilterTextKeepsFirst259) {
  const std::string text(400, 'u');
  ASSERT_EQ(store_.WriteFilterText(text.c_str()), 1);
  EXPECT_EQ(key_.values["TarvelFilter"], Padded(text.substr(0, 259), 260));
}

struct FilterReadRow {
  const char* name;
  std::optional<std::string> stored;
  std::int32_t size;
  int result;
  std::string expected;  // the first `size` bytes of dst on success
};

class FilterRead : public Settings, public ::testing::WithParamInterface<FilterReadRow> {};

TEST_P(FilterRead, AtMostSizeBytes) {
  const FilterReadRow& row = GetParam();
  if (row.stored) key_.values["TarvelFilter"] = *row.stored;
  char dst[600];
  std::memset(dst, 0xAB, sizeof dst);
  EXPECT_EQ(store_.ReadFilterText(dst, row.size), row.result);
  const std::size_t written = row.result == 1 ? row.expected.size() : 0;
  EXPECT_EQ(std::string(dst, written), row.expected);
  EXPECT_EQ(static_cast<unsigned char>(dst[written]), 0xAB);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FilterRead,
    ::testing::Values(FilterReadRow{"PaddedToSize", Padded("words", 260), 12, 1,
                                    Padded("words", 12)},
                      FilterReadRow{"CutWithoutNulAtSize", Padded("abcdefgh", 260), 5, 1, "abcde"},
                      FilterReadRow{"Characters260FromAnotherWriter", std::string(260, 'v'), 500, 1,
                                    Padded(std::string(260, 'v'), 500)},
                      FilterReadRow{"Over260BytesRefused", Padded("words", 261), 12, 0, ""},
                      FilterReadRow{"EmptyRefused", std::string(260, '\0'), 12, 0, ""},
                      FilterReadRow{"Missing", std::nullopt, 12, 0, ""},
                      FilterReadRow{"SizeZero", Padded("words", 260), 0, 0, ""},
                      FilterReadRow{"SizeNegative", Padded("words", 260), -1, 0, ""}),
    [](const ::testing::TestParamInfo<FilterReadRow>& info) {
      return std::string(info.param.name);
    });

TEST_F(Settings, FilterTextNullArgumentsRefusedUnopened) {
  EXPECT_EQ(store_.ReadFilterText(nullptr, 10), 0);
  EXPECT_EQ(store_.WriteFilterText(nullptr), 0);
  EXPECT_EQ(key_.opens, 0);
}

// --- DeleteValue --------------------------------------------------------------

TEST_F(Settings, DeleteValueRemovesAndToleratesMissing) {
  key_.values["issmanc"] = StoredFlag('1');
  EXPECT_EQ(store_.DeleteValue("issmanc"), 1);
  EXPECT_EQ(key_.values.count("issmanc"), 0u);
  EXPECT_EQ(store_.DeleteValue("issmanc"), 1);
}

TEST_F(Settings, DeleteValueOfMissingKeyFailsWithoutCreatingIt) {
  key_.key_exists = false;
  EXPECT_EQ(store_.DeleteValue("issmanc"), 0);
  EXPECT_FALSE(key_.key_exists);
}

// --- The program's directory ------------------------------------------------------

struct DirectoryRow {
  const char* name;
  const char* exe_path;
  std::size_t size;
  std::string expected;
};

class ProgramDirectory : public ::testing::TestWithParam<DirectoryRow> {};

TEST_P(ProgramDirectory, DriveAndDirectoryWithBackslash) {
  const DirectoryRow& row = GetParam();
  char dst[300];
  std::memset(dst, 0xAB, sizeof dst);
  ProgramDirectoryOf(row.exe_path, dst, row.size);
  EXPECT_EQ(std::string(dst), row.expected);
}

const std::string kDeep = "C:\\" + std::string(250, 'd') + "\\a.exe";  // 258 characters
const std::string kDeepSlash = "C:/" + std::string(255, 'd') + "/";    // 259 characters

INSTANTIATE_TEST_SUITE_P(
    Rows, ProgramDirectory,
    ::testing::Values(DirectoryRow{"Tools", "D:\\Tools\\app.exe", 260, "D:\\Tools\\"},
                      DirectoryRow{"Root", "C:\\app.exe", 260, "C:\\"},
                      DirectoryRow{"DriveOnly", "C:app.exe", 260, "C:\\"},
                      DirectoryRow{"ForwardSlashes", "D:/Tools/app.exe", 260, "D:/Tools/\\"},
                      DirectoryRow{"Unc", "\\\\server\\share\\app.exe", 260, "\\\\server\\share\\"},
                      DirectoryRow{"NoExtension", "E:\\bin\\tool", 260, "E:\\bin\\"},
                      DirectoryRow{"DeepFits", kDeep.c_str(), 260, kDeep.substr(0, 254)},
                      DirectoryRow{"NoRoomForAddedBackslash", kDeepSlash.c_str(), 260, ""},
                      DirectoryRow{"TooSmall", "D:\\Tools\\app.exe", 9, ""},
                      DirectoryRow{"Empty", "", 260, ""}, DirectoryRow{"Null", nullptr, 260, ""}),
    [](const ::testing::TestParamInfo<DirectoryRow>& info) {
      return std::string(info.param.name);
    });

}  // namespace
}  // namespace tarvel
