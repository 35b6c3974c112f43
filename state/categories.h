// The active categories as every process holding tarvel.dll shares them:
// the folder of the compiled files and one slot per category (its name and
// which file of it is current), read by each process when the generation
// in SharedExtensions changes. Fixed-size integers and bytes only, the same
// on i686 and x86_64; offsets pinned below.
//
// The table is written under a sequence lock: a writer takes the generation
// from even to odd with one compare-exchange, writes, and stores the next
// even value; a reader copies the table and keeps the copy only when the
// generation read the same even value before and after. Writers are the
// exports (rare, from tarvelctl) and a block's set-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "state/category_file.h"
#include "state/settings.h"

namespace tarvel {

inline constexpr std::size_t kCategoriesMax = 16;
inline constexpr std::size_t kCategoryFolderBytes = 264;  // a path of up to 259 and its NUL
inline constexpr char kCategoryFileSuffix[] = ".tvcat";

// Why a process left a category off. Stored with the serial it concerns.
enum class CategoryProblem : std::uint32_t {
  kNone = 0,
  kNoFile = 1,     // no file of the category could be opened
  kRefused = 2,    // the file failed a check: truncated, damaged or foreign
  kNoMapping = 3,  // the file could not be mapped (address space, rights)
};
inline constexpr std::uint32_t kLastCategoryProblem = 3;

struct alignas(8) CategorySlot {
  char name[kCategoryNameMax + 8];  // NUL-terminated, NUL-padded; "" for a free slot
  // The file <folder>\<name>.<serial>.tvcat; 0 names the file of the
  // highest serial in the folder (the set-up's choice).
  std::uint32_t serial;
  std::uint32_t reserved;
  // The problem the last process to open the category met: the serial it
  // opened in the high 32 bits, a CategoryProblem in the low ones. Only a
  // value whose serial is the slot's own counts.
  std::uint64_t problem;
  std::uint64_t blocks;  // blocks by this category since its name was added
};

struct alignas(8) SharedCategories {
  char folder[kCategoryFolderBytes];  // NUL-terminated; environment references allowed
  CategorySlot slots[kCategoriesMax];
};

static_assert(offsetof(CategorySlot, name) == 0);
static_assert(offsetof(CategorySlot, serial) == 40);
static_assert(offsetof(CategorySlot, problem) == 48);
static_assert(offsetof(CategorySlot, blocks) == 56);
static_assert(sizeof(CategorySlot) == 64);
static_assert(offsetof(SharedCategories, slots) == 264);
static_assert(sizeof(SharedCategories) == 264 + 64 * kCategoriesMax);

// A category's name: 1 to 32 letters, digits, '-' and '_'.
bool IsCategoryName(const char* name);

// The file name of a category's compiled file: "<name>.<serial>.tvcat".
std::string CategoryFileName(const char* name, std::uint32_t serial);
// The serial of `file_name` when it is a compiled file of `name`, else 0.
std::uint32_t CategoryFileSerial(const char* name, const char* file_name);

// One copy of the table as a reader kept it.
struct CategoryTable {
  std::uint32_t generation = 0;
  char folder[kCategoryFolderBytes] = {};
  struct Entry {
    int slot = -1;
    char name[kCategoryNameMax + 1] = {};
    std::uint32_t serial = 0;
  } entries[kCategoriesMax];
  std::size_t count = 0;
};

// Copies the table when no writer is inside; false when one is (try later).
bool ReadCategoryTable(const std::int32_t& generation, const SharedCategories& shared,
                       CategoryTable* out);

// Makes `name` active with file `serial` (a new slot, or its slot kept with
// its count of blocks). 0 when the name is not valid, the table is full, or
// a writer held it for the whole wait.
int PublishCategory(std::int32_t& generation, SharedCategories& shared, const char* name,
                    std::uint32_t serial);
// Frees the slot of `name`; 0 when there is none (or the wait ran out).
int WithdrawCategory(std::int32_t& generation, SharedCategories& shared, const char* name);

// Notes what a process met opening `serial` of the category in `slot`.
void ReportCategoryProblem(SharedCategories& shared, int slot, std::uint32_t serial,
                           CategoryProblem problem);
// The problem noted for the slot's current file, or kNone.
CategoryProblem CategoryProblemOf(const CategorySlot& slot);
void CountCategoryBlock(SharedCategories& shared, int slot);
std::uint64_t CategoryBlocks(const CategorySlot& slot);

// The folder a block uses when "catdir" names none.
inline constexpr char kDefaultCategoryFolder[] = "%ProgramData%\\Tarvel\\categories";

// The set-up's part: the folder from "catdir" (else the default) and the
// names "cats" lists (separated by ',', ';' or blanks; an invalid name is
// skipped), each naming its newest file.
void SetUpCategories(std::int32_t& generation, SharedCategories& shared, SettingsStore& settings);

}  // namespace tarvel
