// The settings store on the real registry: the stored forms, exact flag
// texts, a missing key, bounded paths; the program's directory of a real
// executable.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/win/machine_settings.h"
#include "tests/wine/harness.h"

namespace tarvel::wine {
namespace {

constexpr std::int32_t kSentinel = 0x5EED;

bool KeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

std::string Padded(const std::string& text, std::size_t size) {
  std::string bytes = text;
  bytes.resize(size, '\0');
  return bytes;
}

// Every test starts without the key and leaves none behind.
class RegistrySettings : public ::testing::Test {
 protected:
  void SetUp() override { RemoveSetting(); }
  void TearDown() override { RemoveSetting(); }
  SettingsStore& store_ = MachineSettings();
};

TEST_F(RegistrySettings, MissingKeyFailsEveryReadAndFirstWriteCreatesIt) {
  ASSERT_FALSE(KeyExists());
  std::int32_t flag = kSentinel;
  char path[260];
  std::memset(path, 0xAB, sizeof path);
  EXPECT_EQ(store_.ReadFlag("iswhi", &flag), 0);
  EXPECT_EQ(store_.ReadPath("whitelib", path, sizeof path), 0);
  EXPECT_EQ(store_.ReadFilterText(path, sizeof path), 0);
  EXPECT_EQ(store_.DeleteValue("iswhi"), 0);
  EXPECT_EQ(flag, kSentinel);
  EXPECT_EQ(static_cast<unsigned char>(path[0]), 0xAB);
  EXPECT_FALSE(KeyExists()) << "a read or a removal created the key";

  EXPECT_EQ(store_.WriteFlag("iswhi", 1), 1);
  EXPECT_TRUE(KeyExists());
  EXPECT_EQ(store_.ReadFlag("iswhi", &flag), 1);
  EXPECT_EQ(flag, 1);
}

struct FormRow {
  const char* name;
  const char* value_name;
  int (*write)(SettingsStore&);
  std::string bytes;
};

class StoredForm : public RegistrySettings, public ::testing::WithParamInterface<FormRow> {};

TEST_P(StoredForm, TypeAndExactBytes) {
  const FormRow& row = GetParam();
  ASSERT_EQ(row.write(store_), 1);
  std::string bytes;
  DWORD type = 0;
  ASSERT_TRUE(GetSetting(row.value_name, bytes, &type));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(bytes, row.bytes);
}

const std::string kPath40 = "C:\\Program Files\\Tarvel\\lists\\white.lst";

INSTANTIATE_TEST_SUITE_P(
    Rows, StoredForm,
    ::testing::Values(
        FormRow{"FlagOne", "issma", [](SettingsStore& s) { return s.WriteFlag("issma", 1); },
                Padded("1", 10)},
        FormRow{"FlagTwoIsZero", "issmaem",
                [](SettingsStore& s) { return s.WriteFlag("issmaem", 2); }, Padded("0", 10)},
        FormRow{"FlagMinusOneIsZero", "issmanc",
                [](SettingsStore& s) { return s.WriteFlag("issmanc", -1); }, Padded("0", 10)},
        FormRow{"Path", "blacklib",
                [](SettingsStore& s) { return s.WritePath("blacklib", kPath40.c_str()); },
                Padded(kPath40, 260)},
        FormRow{"FilterText", "TarvelFilter",
                [](SettingsStore& s) { return s.WriteFilterText("some words"); },
                Padded("some words", 260)}),
    [](const ::testing::TestParamInfo<FormRow>& info) { return std::string(info.param.name); });

struct FlagRow {
  const char* name;
  std::string bytes;
  DWORD type;
  int result;
  std::int32_t flag;
};

class FlagText : public RegistrySettings, public ::testing::WithParamInterface<FlagRow> {};

TEST_P(FlagText, OnlyExactOneOrZero) {
  const FlagRow& row = GetParam();
  SetSetting("iswhi", row.bytes, row.type);
  std::int32_t flag = kSentinel;
  EXPECT_EQ(store_.ReadFlag("iswhi", &flag), row.result);
  EXPECT_EQ(flag, row.flag);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FlagText,
    ::testing::Values(FlagRow{"One", Padded("1", 10), REG_SZ, 1, 1},
                      FlagRow{"Zero", Padded("0", 10), REG_SZ, 1, 0},
                      FlagRow{"OneAsRegAdd", std::string("1", 2), REG_SZ, 1, 1},
                      FlagRow{"OneAsBinary", std::string("1", 2), REG_BINARY, 1, 1},
                      FlagRow{"OneBlank", std::string("1 ", 3), REG_SZ, 0, kSentinel},
                      FlagRow{"Yes", std::string("yes", 4), REG_SZ, 0, kSentinel},
                      FlagRow{"Empty", std::string("", 1), REG_SZ, 0, kSentinel},
                      FlagRow{"Over500Bytes", Padded("1", 600), REG_BINARY, 0, kSentinel}),
    [](const ::testing::TestParamInfo<FlagRow>& info) { return std::string(info.param.name); });

TEST_F(RegistrySettings, ReadPathGivesThePathAndNulPadding) {
  SetSetting("whitelib", Padded(kPath40, 260));
  char dst[300];
  std::memset(dst, 0xAB, sizeof dst);
  ASSERT_EQ(store_.ReadPath("whitelib", dst, 260), 1);
  EXPECT_EQ(std::string(dst, 260), Padded(kPath40, 260));
  EXPECT_EQ(static_cast<unsigned char>(dst[260]), 0xAB);
}

struct PathRow {
  const char* name;
  std::string bytes;
  std::int32_t size;
};

class PathRefused : public RegistrySettings, public ::testing::WithParamInterface<PathRow> {};

TEST_P(PathRefused, DestinationUntouched) {
  const PathRow& row = GetParam();
  SetSetting("blacklib", row.bytes);
  char dst[300];
  std::memset(dst, 0xAB, sizeof dst);
  EXPECT_EQ(store_.ReadPath("blacklib", dst, row.size), 0);
  for (unsigned char c : dst) ASSERT_EQ(c, 0xAB);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PathRefused,
    ::testing::Values(PathRow{"Size257", Padded(kPath40, 260), 257},
                      PathRow{"OnlyNuls", std::string(260, '\0'), 260},
                      PathRow{"Characters260", std::string(260, 'p'), 260},
                      PathRow{"Characters400", Padded(std::string(400, 'p'), 401), 260}),
    [](const ::testing::TestParamInfo<PathRow>& info) { return std::string(info.param.name); });

TEST_F(RegistrySettings, OverlongPathIsNotWritten) {
  EXPECT_EQ(store_.WritePath("path", std::string(260, 'p').c_str()), 0);
  std::string bytes;
  EXPECT_FALSE(GetSetting("path", bytes));
}

TEST_F(RegistrySettings, FilterTextAsWrittenReadsBack) {
  const std::string text(300, 'f');
  ASSERT_EQ(store_.WriteFilterText(text.c_str()), 1);
  char dst[260];
  ASSERT_EQ(store_.ReadFilterText(dst, sizeof dst), 1);
  EXPECT_EQ(std::string(dst, 259), text.substr(0, 259));
  EXPECT_EQ(dst[259], '\0');
}

TEST_F(RegistrySettings, DeleteValueRemovesAndToleratesMissing) {
  ASSERT_EQ(store_.WriteFlag("issmawe", 1), 1);
  EXPECT_EQ(store_.DeleteValue("issmawe"), 1);
  std::string bytes;
  EXPECT_FALSE(GetSetting("issmawe", bytes));
  EXPECT_EQ(store_.DeleteValue("issmawe"), 1);
}

// --- The program's directory ---------------------------------------------------

// Runs in a child copied elsewhere: its directory is the one the parent says.
TEST(ProgramDirectoryChild, IsWhereTheParentPutIt) {
  char expected[MAX_PATH] = {};
  if (GetEnvironmentVariableA("TARVEL_EXPECT_DIRECTORY", expected, MAX_PATH) == 0) {
    GTEST_SKIP() << "runs only as a child of ProgramDirectory.*";
  }
  char dst[MAX_PATH];
  std::memset(dst, 0xAB, sizeof dst);
  GetProgramDirectory(dst);
  EXPECT_STREQ(dst, expected);
}

TEST(ProgramDirectory, OfThisExecutable) {
  char dst[MAX_PATH];
  GetProgramDirectory(dst);
  const std::string self = SelfPath();
  EXPECT_EQ(std::string(dst), self.substr(0, self.rfind('\\') + 1));
}

TEST(ProgramDirectory, OfAnExecutableCopiedElsewhere) {
  const std::string dir = TempPath("progdir");
  CreateDirectoryA(dir.c_str(), nullptr);
  const std::string copy = dir + "\\app.exe";
  ASSERT_TRUE(CopyFileA(SelfPath().c_str(), copy.c_str(), FALSE)) << GetLastError();
  int code = -1;
  {
    ScopedEnv expect("TARVEL_EXPECT_DIRECTORY", (dir + "\\").c_str());
    ScopedEnv bin("TARVEL_BIN_DIR", BinDir().c_str());
    code = RunProcess(copy, "--gtest_brief=1 --gtest_filter=ProgramDirectoryChild.*");
  }
  DeleteFileA(copy.c_str());
  RemoveDirectoryA(dir.c_str());
  EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace tarvel::wine
