#include "state/category_set.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "state/categories.h"
#include "tests/testing/fake_settings.h"

namespace tarvel {
namespace {

// Compiled files by "<name>.<serial>"; a mapping is a private copy that
// Unmap poisons and frees, so a lookup in an unmapped view shows under
// AddressSanitizer and as a miss otherwise.
class FakeCategoryFiles final : public CategoryFiles {
 public:
  void Put(const std::string& name, std::uint32_t serial, std::vector<unsigned char> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_[name + "." + std::to_string(serial)] = std::move(bytes);
  }
  bool Map(const char* folder, const char* name, std::uint32_t serial, MappedCategory* out,
           std::uint32_t* serial_used, CategoryProblem* why) override {
    static_cast<void>(folder);
    std::lock_guard<std::mutex> lock(mutex_);
    if (serial == 0) serial = Newest(name);
    const auto found = files_.find(std::string(name) + "." + std::to_string(serial));
    if (found == files_.end()) {
      *why = CategoryProblem::kNoFile;
      return false;
    }
    auto* copy = new std::uint64_t[found->second.size() / 8 + 1];
    std::memcpy(copy, found->second.data(), found->second.size());
    out->bytes = copy;
    out->size = found->second.size();
    *serial_used = serial;
    ++mapped;
    return true;
  }
  void Unmap(const MappedCategory& m) override {
    auto* copy = const_cast<std::uint64_t*>(static_cast<const std::uint64_t*>(m.bytes));
    std::memset(copy, 0xAB, m.size);
    delete[] copy;
    ++unmapped;
  }
  void PauseThread() override { std::this_thread::yield(); }
  std::atomic<int> mapped{0};
  std::atomic<int> unmapped{0};

 private:
  std::uint32_t Newest(const std::string& name) {
    std::uint32_t newest = 0;
    for (const auto& [key, bytes] : files_) {
      newest = std::max(newest, CategoryFileSerial(name.c_str(), (key + ".tvcat").c_str()));
    }
    return newest;
  }
  std::mutex mutex_;
  std::map<std::string, std::vector<unsigned char>> files_;
};

struct Block {
  std::int32_t generation = 0;
  SharedCategories shared = {};
};

std::string Found(CategorySet& set, Block& b, FakeCategoryFiles& files, const char* host) {
  CategoryHit hit;
  if (!set.Find(b.generation, b.shared, files, host, std::strlen(host), &hit)) return "-";
  return std::string(hit.name) + ":" + hit.entry + "@" + std::to_string(hit.slot);
}

TEST(CategoryTable, PublishWithdrawAndRefusals) {
  Block b;
  EXPECT_EQ(PublishCategory(b.generation, b.shared, "adult", 3), 1);
  EXPECT_EQ(PublishCategory(b.generation, b.shared, "ad.ult", 1), 0);
  EXPECT_EQ(PublishCategory(b.generation, b.shared, std::string(33, 'a').c_str(), 1), 0);
  CountCategoryBlock(b.shared, 0);
  // An update keeps the slot and its count; a new name starts at 0.
  EXPECT_EQ(PublishCategory(b.generation, b.shared, "adult", 4), 1);
  EXPECT_EQ(CategoryBlocks(b.shared.slots[0]), 1u);
  for (int i = 1; i < static_cast<int>(kCategoriesMax); ++i) {
    EXPECT_EQ(PublishCategory(b.generation, b.shared, ("c" + std::to_string(i)).c_str(), 1), 1);
  }
  EXPECT_EQ(PublishCategory(b.generation, b.shared, "onemore", 1), 0);
  EXPECT_EQ(WithdrawCategory(b.generation, b.shared, "adult"), 1);
  EXPECT_EQ(WithdrawCategory(b.generation, b.shared, "adult"), 0);
  EXPECT_EQ(PublishCategory(b.generation, b.shared, "onemore", 1), 1);
  EXPECT_EQ(CategoryBlocks(b.shared.slots[0]), 0u);
  CategoryTable table;
  ASSERT_TRUE(ReadCategoryTable(b.generation, b.shared, &table));
  EXPECT_EQ(table.count, kCategoriesMax);
  EXPECT_STREQ(table.entries[0].name, "onemore");
  EXPECT_EQ(table.generation % 2, 0u);
  // A writer inside: the copy is refused.
  b.generation |= 1;
  EXPECT_FALSE(ReadCategoryTable(b.generation, b.shared, &table));
}

TEST(CategoryTable, ProblemCountsOnlyForTheSlotsFile) {
  Block b;
  PublishCategory(b.generation, b.shared, "adult", 3);
  ReportCategoryProblem(b.shared, 0, 3, CategoryProblem::kRefused);
  EXPECT_EQ(CategoryProblemOf(b.shared.slots[0]), CategoryProblem::kRefused);
  PublishCategory(b.generation, b.shared, "adult", 4);
  EXPECT_EQ(CategoryProblemOf(b.shared.slots[0]), CategoryProblem::kNone);
  ReportCategoryProblem(b.shared, 0, 3, CategoryProblem::kNoFile);  // a late report of the old one
  EXPECT_EQ(CategoryProblemOf(b.shared.slots[0]), CategoryProblem::kNone);
}

TEST(CategoryTable, FileNames) {
  struct Row {
    const char* file;
    std::uint32_t serial;
  } rows[] = {{"adult.3.tvcat", 3},          {"adult.4294967295.tvcat", 4294967295u},
              {"adult-extra.3.tvcat", 0},    {"adult.x.tvcat", 0},
              {"adult.4294967296.tvcat", 0}, {"adult.3.tvcat.tmp", 0},
              {"adult..tvcat", 0},           {"adul.3.tvcat", 0}};
  for (const Row& row : rows)
    EXPECT_EQ(CategoryFileSerial("adult", row.file), row.serial) << row.file;
  EXPECT_EQ(CategoryFileName("adult", 12), "adult.12.tvcat");
}

TEST(CategoryTable, SetUpFromSettings) {
  struct Row {
    const char* name;
    const char* cats;  // nullptr: no value
    const char* folder;
    std::vector<std::string> active;
  } rows[] = {
      {"NoValues", nullptr, nullptr, {}},
      {"Separators", "adult, gambling;ads\tx", "D:\\cats", {"adult", "gambling", "ads", "x"}},
      {"InvalidNamesSkipped", "ok,bad.name,,also-ok", nullptr, {"ok", "also-ok"}},
      {"OverLongSkipped", "a23456789012345678901234567890123,b", nullptr, {"b"}},
  };
  for (const Row& row : rows) {
    testing::FakeSettingsKey key;
    SettingsStore settings(key);
    if (row.cats != nullptr) settings.WritePath(settings::kCategories, row.cats);
    if (row.folder != nullptr) settings.WritePath(settings::kCategoryFolder, row.folder);
    Block b;
    SetUpCategories(b.generation, b.shared, settings);
    CategoryTable table;
    ASSERT_TRUE(ReadCategoryTable(b.generation, b.shared, &table)) << row.name;
    EXPECT_STREQ(table.folder, row.folder != nullptr ? row.folder : kDefaultCategoryFolder)
        << row.name;
    std::vector<std::string> active;
    for (std::size_t i = 0; i < table.count; ++i) {
      active.push_back(table.entries[i].name);
      EXPECT_EQ(table.entries[i].serial, 0u);
    }
    EXPECT_EQ(active, row.active) << row.name;
  }
}

std::vector<unsigned char> File(const char* name, std::vector<std::string> domains) {
  return BuildCategoryFile(name, domains);
}

TEST(CategorySet, SwitchesAtTheNextLookupAndUnmapsTheOldView) {
  FakeCategoryFiles files;
  files.Put("adult", 1, File("adult", {"one.example"}));
  files.Put("adult", 2, File("adult", {"two.example"}));
  files.Put("games", 1, File("games", {"play.example"}));
  Block b;
  CategorySet set;
  EXPECT_EQ(Found(set, b, files, "a.one.example"), "-");
  PublishCategory(b.generation, b.shared, "adult", 1);
  PublishCategory(b.generation, b.shared, "games", 0);  // the newest file
  EXPECT_EQ(Found(set, b, files, "a.one.example"), "adult:one.example@0");
  EXPECT_EQ(Found(set, b, files, "PLAY.example."), "games:play.example@1");
  PublishCategory(b.generation, b.shared, "adult", 2);
  EXPECT_EQ(Found(set, b, files, "a.one.example"), "-");
  EXPECT_EQ(Found(set, b, files, "two.example"), "adult:two.example@0");
  // The unchanged category kept its view; the old file's is gone.
  EXPECT_EQ(files.mapped, 3);
  EXPECT_EQ(files.unmapped, 1);
  EXPECT_EQ(set.ViewsMapped(), 2u);
  WithdrawCategory(b.generation, b.shared, "adult");
  EXPECT_EQ(Found(set, b, files, "two.example"), "-");
  set.Release(files);
  EXPECT_EQ(files.unmapped, 3);
}

TEST(CategorySet, BadFilesLeaveTheirCategoryOffAndSayWhy) {
  FakeCategoryFiles files;
  auto damaged = File("adult", {"one.example"});
  damaged[damaged.size() - 1] ^= 1;
  files.Put("adult", 1, damaged);
  files.Put("renamed", 1, File("games", {"play.example"}));
  files.Put("games", 1, File("games", {"play.example"}));
  Block b;
  PublishCategory(b.generation, b.shared, "adult", 1);
  PublishCategory(b.generation, b.shared, "renamed", 1);
  PublishCategory(b.generation, b.shared, "missing", 7);
  PublishCategory(b.generation, b.shared, "games", 1);
  CategorySet set;
  EXPECT_EQ(Found(set, b, files, "one.example"), "-");
  EXPECT_EQ(Found(set, b, files, "play.example"), "games:play.example@3");
  EXPECT_EQ(CategoryProblemOf(b.shared.slots[0]), CategoryProblem::kRefused);
  EXPECT_EQ(CategoryProblemOf(b.shared.slots[1]), CategoryProblem::kRefused);
  EXPECT_EQ(CategoryProblemOf(b.shared.slots[2]), CategoryProblem::kNoFile);
  EXPECT_EQ(CategoryProblemOf(b.shared.slots[3]), CategoryProblem::kNone);
  // Refused files are not kept mapped, and not tried again until a change.
  EXPECT_EQ(set.ViewsMapped(), 1u);
  const int tries = files.mapped;
  Found(set, b, files, "one.example");
  EXPECT_EQ(files.mapped, tries);
  set.Release(files);
}

// Threads look up without pause while the category's file changes under
// them: every lookup finds the host (in the old file or the new one), and
// no view is unmapped under a reader (the fake poisons and frees it).
TEST(CategorySet, LookupsDuringSwitchesUseTheOldOrTheNewFile) {
  FakeCategoryFiles files;
  for (std::uint32_t serial = 1; serial <= 4; ++serial) {
    files.Put("adult", serial,
              File("adult", {"both.example", "only" + std::to_string(serial) + ".example"}));
  }
  Block b;
  PublishCategory(b.generation, b.shared, "adult", 1);
  CategorySet set;
  std::atomic<bool> stop{false};
  std::atomic<long> misses{0};
  std::atomic<long> lookups{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        if (Found(set, b, files, "www.both.example") == "-") ++misses;
        ++lookups;
      }
    });
  }
  // Each switch waits until a lookup ends after it, so that lookups and
  // switches interleave however busy the machine is.
  for (int round = 0; round < 400; ++round) {
    PublishCategory(b.generation, b.shared, "adult", 1 + round % 4);
    const long before = lookups.load();
    while (lookups.load() == before) std::this_thread::yield();
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(misses, 0);
  // Once the readers are gone, one lookup settles on the newest file alone.
  EXPECT_EQ(Found(set, b, files, "only4.example"), "adult:only4.example@0");
  EXPECT_EQ(set.ViewsMapped(), 1u);
  set.Release(files);
  EXPECT_EQ(files.mapped, files.unmapped);
}

}  // namespace
}  // namespace tarvel
