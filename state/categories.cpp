#include "state/categories.h"

#include <atomic>
#include <cstring>

namespace tarvel {
namespace {

// How long a writer waits for another writer to leave the table. Writers
// hold it for a few hundred stores; one that never leaves (killed inside)
// makes later writers give up rather than hang.
constexpr int kWriterSpins = 1 << 20;

std::atomic_ref<std::int32_t> Generation(const std::int32_t& g) {
  return std::atomic_ref<std::int32_t>(const_cast<std::int32_t&>(g));
}

std::atomic_ref<std::uint64_t> Word(const std::uint64_t& w) {
  return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(w));
}

// Takes the table for writing: the even generation it held, or -1.
std::int32_t EnterWriter(std::int32_t& generation) {
  auto g = Generation(generation);
  for (int i = 0; i < kWriterSpins; ++i) {
    std::int32_t seen = g.load(std::memory_order_relaxed);
    if ((seen & 1) == 0 && g.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                                   std::memory_order_relaxed)) {
      return seen;
    }
  }
  return -1;
}

// Leaves the table at the next even generation (wrapping past the sign).
void LeaveWriter(std::int32_t& generation, std::int32_t entered) {
  const auto next = static_cast<std::int32_t>(static_cast<std::uint32_t>(entered) + 2);
  // Every store inside is ordered before this one.
  std::atomic_thread_fence(std::memory_order_release);
  Generation(generation).store(next, std::memory_order_release);
}

// Stores `text` into a shared byte field one byte at a time through
// relaxed atomics: readers copy it while a writer may be inside.
void PutText(char* field, std::size_t size, const char* text) {
  std::size_t i = 0;
  for (; i + 1 < size && text[i] != '\0'; ++i)
    std::atomic_ref<char>(field[i]).store(text[i], std::memory_order_relaxed);
  for (; i < size; ++i) std::atomic_ref<char>(field[i]).store('\0', std::memory_order_relaxed);
}

void GetText(char* out, const char* field, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = std::atomic_ref<char>(const_cast<char&>(field[i])).load(std::memory_order_relaxed);
  }
  out[size - 1] = '\0';
}

std::uint32_t LoadSerial(const std::uint32_t& s) {
  return std::atomic_ref<std::uint32_t>(const_cast<std::uint32_t&>(s))
      .load(std::memory_order_relaxed);
}

void StoreSerial(std::uint32_t& s, std::uint32_t v) {
  std::atomic_ref<std::uint32_t>(s).store(v, std::memory_order_relaxed);
}

bool SameName(const CategorySlot& slot, const char* name) {
  char held[sizeof slot.name];
  GetText(held, slot.name, sizeof held);
  return std::strcmp(held, name) == 0;
}

int SlotOf(const SharedCategories& shared, const char* name) {
  for (std::size_t i = 0; i < kCategoriesMax; ++i) {
    if (SameName(shared.slots[i], name)) return static_cast<int>(i);
  }
  return -1;
}

// Fills a free slot (or the name's own) inside the writer's hold.
int PutSlot(SharedCategories& shared, const char* name, std::uint32_t serial) {
  int slot = SlotOf(shared, name);
  if (slot < 0) {
    slot = SlotOf(shared, "");
    if (slot < 0) return 0;
    PutText(shared.slots[slot].name, sizeof shared.slots[slot].name, name);
    Word(shared.slots[slot].blocks).store(0, std::memory_order_relaxed);
  }
  StoreSerial(shared.slots[slot].serial, serial);
  Word(shared.slots[slot].problem).store(0, std::memory_order_relaxed);
  return 1;
}

bool IsNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

}  // namespace

bool IsCategoryName(const char* name) {
  if (name == nullptr) return false;
  std::size_t n = 0;
  for (; name[n] != '\0'; ++n) {
    if (n == kCategoryNameMax || !IsNameByte(name[n])) return false;
  }
  return n > 0;
}

std::string CategoryFileName(const char* name, std::uint32_t serial) {
  return std::string(name) + "." + std::to_string(serial) + kCategoryFileSuffix;
}

std::uint32_t CategoryFileSerial(const char* name, const char* file_name) {
  const std::size_t n = std::strlen(name);
  if (std::strncmp(file_name, name, n) != 0 || file_name[n] != '.') return 0;
  const char* p = file_name + n + 1;
  std::uint64_t serial = 0;
  std::size_t digits = 0;
  for (; *p >= '0' && *p <= '9' && digits < 10; ++p, ++digits) serial = serial * 10 + (*p - '0');
  if (digits == 0 || serial > 0xFFFFFFFFu || std::strcmp(p, kCategoryFileSuffix) != 0) return 0;
  return static_cast<std::uint32_t>(serial);
}

bool ReadCategoryTable(const std::int32_t& generation, const SharedCategories& shared,
                       CategoryTable* out) {
  const std::int32_t before = Generation(generation).load(std::memory_order_acquire);
  if ((before & 1) != 0) return false;
  out->generation = static_cast<std::uint32_t>(before);
  GetText(out->folder, shared.folder, sizeof out->folder);
  out->count = 0;
  for (std::size_t i = 0; i < kCategoriesMax; ++i) {
    CategoryTable::Entry& e = out->entries[out->count];
    GetText(e.name, shared.slots[i].name, sizeof e.name);
    if (e.name[0] == '\0') continue;
    e.slot = static_cast<int>(i);
    e.serial = LoadSerial(shared.slots[i].serial);
    ++out->count;
  }
  // The copy counts only if no writer entered meanwhile.
  std::atomic_thread_fence(std::memory_order_acquire);
  return Generation(generation).load(std::memory_order_relaxed) == before;
}

int PublishCategory(std::int32_t& generation, SharedCategories& shared, const char* name,
                    std::uint32_t serial) {
  if (!IsCategoryName(name)) return 0;
  const std::int32_t entered = EnterWriter(generation);
  if (entered < 0) return 0;
  const int done = PutSlot(shared, name, serial);
  LeaveWriter(generation, entered);
  return done;
}

int WithdrawCategory(std::int32_t& generation, SharedCategories& shared, const char* name) {
  if (!IsCategoryName(name)) return 0;
  const std::int32_t entered = EnterWriter(generation);
  if (entered < 0) return 0;
  const int slot = SlotOf(shared, name);
  if (slot >= 0) {
    PutText(shared.slots[slot].name, sizeof shared.slots[slot].name, "");
    StoreSerial(shared.slots[slot].serial, 0);
  }
  LeaveWriter(generation, entered);
  return slot >= 0 ? 1 : 0;
}

void ReportCategoryProblem(SharedCategories& shared, int slot, std::uint32_t serial,
                           CategoryProblem problem) {
  if (slot < 0 || static_cast<std::size_t>(slot) >= kCategoriesMax) return;
  const std::uint64_t word =
      (static_cast<std::uint64_t>(serial) << 32) | static_cast<std::uint32_t>(problem);
  Word(shared.slots[slot].problem).store(word, std::memory_order_relaxed);
}

CategoryProblem CategoryProblemOf(const CategorySlot& slot) {
  const std::uint64_t word = Word(slot.problem).load(std::memory_order_relaxed);
  const auto code = static_cast<std::uint32_t>(word);
  if (static_cast<std::uint32_t>(word >> 32) != LoadSerial(slot.serial) ||
      code > kLastCategoryProblem) {
    return CategoryProblem::kNone;
  }
  return static_cast<CategoryProblem>(code);
}

void CountCategoryBlock(SharedCategories& shared, int slot) {
  if (slot < 0 || static_cast<std::size_t>(slot) >= kCategoriesMax) return;
  Word(shared.slots[slot].blocks).fetch_add(1, std::memory_order_relaxed);
}

std::uint64_t CategoryBlocks(const CategorySlot& slot) {
  return Word(slot.blocks).load(std::memory_order_relaxed);
}

void SetUpCategories(std::int32_t& generation, SharedCategories& shared, SettingsStore& settings) {
  char folder[settings::kTextBytes] = {};
  if (settings.ReadPath(settings::kCategoryFolder, folder, sizeof folder) != 1) {
    std::memcpy(folder, kDefaultCategoryFolder, sizeof kDefaultCategoryFolder);
  }
  char names[settings::kTextBytes] = {};
  settings.ReadPath(settings::kCategories, names, sizeof names);
  const std::int32_t entered = EnterWriter(generation);
  if (entered < 0) return;
  PutText(shared.folder, sizeof shared.folder, folder);
  // Each name between separators; the text is NUL-terminated within 260.
  char name[kCategoryNameMax + 2];
  std::size_t n = 0;
  for (std::size_t i = 0; i < sizeof names; ++i) {
    const char c = names[i];
    if (c == ',' || c == ';' || c == ' ' || c == '\t' || c == '\0') {
      name[n < sizeof name ? n : sizeof name - 1] = '\0';
      if (n > 0 && n <= kCategoryNameMax && IsCategoryName(name)) PutSlot(shared, name, 0);
      n = 0;
      if (c == '\0') break;
      continue;
    }
    if (n < sizeof name - 1) name[n] = c;
    ++n;
  }
  LeaveWriter(generation, entered);
}

}  // namespace tarvel
