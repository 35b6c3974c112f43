// The module's loader and tarvelctl's reader take every list file alike:
// both accept the same files and see the same entries in the same slots,
// for every file of both list-file fuzz corpora.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "state/list_file.h"
#include "tests/testing/fake_list_files.h"
#include "tests/testing/fake_settings.h"
#include "tests/testing/state_builder.h"
#include "tools/tarvelctl/list_file.h"

namespace tarvel {
namespace {

std::string Bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Loads `bytes` as the black list file of a new block.
std::unique_ptr<FilterState> LoadAsBlackList(const std::string& bytes, int* result) {
  testing::FakeSettingsKey key;
  key.values[settings::kBlackListPath] = std::string("C:\\b.lst\0", 9);
  SettingsStore store(key);
  testing::FakeListFiles files;
  files.files["C:\\b.lst"].bytes = bytes;
  auto state = testing::NewState();
  *result = LoadUrlListFile(*state, ListKind::kBlack, store, files);
  return state;
}

TEST(ListFormat, LoaderAndToolAgreeOnEveryCorpusFile) {
  int files_seen = 0;
  for (const char* corpus : {"list_file", "ctl_list_file"}) {
    const auto folder = std::filesystem::path(TARVEL_SOURCE_DIR) / "fuzz" / "corpus" / corpus;
    for (const auto& file : std::filesystem::directory_iterator(folder)) {
      SCOPED_TRACE(file.path().string());
      const std::string bytes = Bytes(file.path());
      int loaded = -1;
      const auto state = LoadAsBlackList(bytes, &loaded);
      const ctl::ListFile parsed = ctl::ParseListFile(bytes);
      ASSERT_EQ(loaded == 1, parsed.header == list_format::HeaderState::kValid);
      if (loaded != 1) continue;
      ASSERT_EQ(static_cast<std::size_t>(state->black_count), parsed.LoadedCount());
      for (std::size_t i = 0; i < parsed.LoadedCount(); ++i) {
        const char(&entry)[kEntryBytes] = state->black_entries[i];
        EXPECT_EQ(std::string(entry, EntryLength(entry)), parsed.entries[i]) << "slot " << i;
        EXPECT_EQ(state->black_active[i], 1) << "slot " << i;
      }
      ++files_seen;
    }
  }
  EXPECT_GT(files_seen, 0);
}

}  // namespace
}  // namespace tarvel
