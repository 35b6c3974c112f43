#include "state/category_set.h"

#include <cstring>

#include "filter/category_match.h"

namespace tarvel {
namespace {

constexpr int kNoView = -1;  // the category is off in this generation
constexpr int kNoRoom = -2;  // every place is held: try the whole load later
constexpr int kTableReadTries = 1000;

// Holds the load lock for one scope; `held` says whether it was free.
class LoadLock {
 public:
  explicit LoadLock(std::atomic<bool>& flag)
      : flag_(flag), held_(!flag.exchange(true, std::memory_order_acquire)) {}
  ~LoadLock() {
    if (held_) flag_.store(false, std::memory_order_release);
  }
  LoadLock(const LoadLock&) = delete;
  LoadLock& operator=(const LoadLock&) = delete;
  bool held() const { return held_; }

 private:
  std::atomic<bool>& flag_;
  bool held_;
};

// The generation word, read whole.
std::uint32_t TableGeneration(const std::int32_t& generation) {
  return static_cast<std::uint32_t>(
      std::atomic_ref<std::int32_t>(const_cast<std::int32_t&>(generation))
          .load(std::memory_order_acquire));
}

void CopyDomain(const CategoryView& view, std::int64_t index, char* out) {
  const unsigned char* at = view.text + view.offsets[index];
  std::memcpy(out, at + 1, at[0]);
  out[at[0]] = '\0';
}

}  // namespace

bool CategorySet::Find(const std::int32_t& generation, SharedCategories& shared,
                       CategoryFiles& files, const char* host, std::size_t length,
                       CategoryHit* hit) {
  Refresh(generation, shared, files);
  Generation* g = Enter();
  if (g == nullptr) return false;
  bool found = false;
  for (std::size_t i = 0; i < g->count && !found; ++i) {
    const View& v = views_[g->view[i]];
    const std::int64_t entry = MatchCategory(v.view, host, length);
    if (entry < 0) continue;
    hit->slot = g->slot[i];
    std::memcpy(hit->name, v.name, sizeof hit->name);
    CopyDomain(v.view, entry, hit->entry);
    found = true;
  }
  g->readers.fetch_sub(1, std::memory_order_release);
  return found;
}

bool CategorySet::Refresh(const std::int32_t& generation, SharedCategories& shared,
                          CategoryFiles& files) {
  const std::uint32_t now = TableGeneration(generation);
  const Generation* current = current_.load(std::memory_order_acquire);
  const bool stale =
      current == nullptr || current->generation.load(std::memory_order_relaxed) != now;
  if (!stale && !retired_.load(std::memory_order_relaxed)) return true;
  // One thread loads; the others go on with the views they have.
  LoadLock lock(loading_);
  if (!lock.held()) {
    if (current != nullptr) return !stale;
    // The process's first load: no old views to look up in meanwhile.
    while (current_.load(std::memory_order_acquire) == nullptr &&
           loading_.load(std::memory_order_acquire)) {
      files.PauseThread();
    }
    return current_.load(std::memory_order_acquire) != nullptr;
  }
  Retire(files);
  if (!stale) return true;
  return Load(generation, shared, files);
}

CategorySet::Generation* CategorySet::Enter() {
  for (;;) {
    Generation* g = current_.load(std::memory_order_seq_cst);
    if (g == nullptr) return nullptr;
    g->readers.fetch_add(1, std::memory_order_seq_cst);
    // Paired with the loader's exchange and its read of `readers`: either
    // the loader sees this reader, or this reader sees the new generation.
    if (current_.load(std::memory_order_seq_cst) == g) return g;
    g->readers.fetch_sub(1, std::memory_order_release);
  }
}

bool CategorySet::Load(const std::int32_t& generation, SharedCategories& shared,
                       CategoryFiles& files) {
  // A writer holds the table for a few hundred stores; wait it out rather
  // than leave a process's first load without a set. One that never leaves
  // (killed inside) leaves the set as it was.
  CategoryTable table;
  for (int tries = 0; !ReadCategoryTable(generation, shared, &table); ++tries) {
    if (tries == kTableReadTries) return false;
    files.PauseThread();
  }
  Generation* current = current_.load(std::memory_order_relaxed);
  Generation* fresh = nullptr;
  for (Generation& g : generations_) {
    if (&g != current && !g.live) fresh = &g;
  }
  if (fresh == nullptr) return false;
  fresh->generation.store(table.generation, std::memory_order_relaxed);
  fresh->count = 0;
  fresh->live = true;
  for (std::size_t i = 0; i < table.count; ++i) {
    const int view = ViewFor(table.entries[i], table.folder, shared, files);
    if (view == kNoRoom) {
      // Old readers still hold the places; keep the old views for now.
      Drop(*fresh, files);
      return false;
    }
    if (view == kNoView) continue;
    ++views_[view].holders;
    fresh->slot[fresh->count] = table.entries[i].slot;
    fresh->view[fresh->count] = view;
    ++fresh->count;
  }
  Generation* old = current_.exchange(fresh, std::memory_order_seq_cst);
  if (old != nullptr) retired_.store(true, std::memory_order_relaxed);
  Retire(files);
  return true;
}

int CategorySet::ViewFor(const CategoryTable::Entry& entry, const char* folder,
                         SharedCategories& shared, CategoryFiles& files) {
  int free_place = kNoRoom;
  for (std::size_t i = 0; i < kCategoryViewsMax; ++i) {
    View& v = views_[i];
    if (v.holders == 0) {
      if (free_place == kNoRoom) free_place = static_cast<int>(i);
      continue;
    }
    if (v.serial == entry.serial && std::strcmp(v.name, entry.name) == 0)
      return static_cast<int>(i);
  }
  if (free_place == kNoRoom) return kNoRoom;
  View& v = views_[free_place];
  std::uint32_t used = 0;
  CategoryProblem why = CategoryProblem::kNoFile;
  if (!files.Map(folder, entry.name, entry.serial, &v.mapped, &used, &why)) {
    ReportCategoryProblem(shared, entry.slot, entry.serial, why);
    v.mapped = MappedCategory{};
    return kNoView;
  }
  v.view = OpenCategoryFile(v.mapped.bytes, v.mapped.size, nullptr);
  // A file renamed from another category's is not this category.
  if (!v.view.valid() || std::strcmp(v.view.header->name, entry.name) != 0) {
    ReportCategoryProblem(shared, entry.slot, entry.serial, CategoryProblem::kRefused);
    files.Unmap(v.mapped);
    v.mapped = MappedCategory{};
    v.view = CategoryView{};
    return kNoView;
  }
  ReportCategoryProblem(shared, entry.slot, entry.serial, CategoryProblem::kNone);
  std::memcpy(v.name, entry.name, sizeof v.name);
  v.serial = entry.serial;
  return free_place;
}

void CategorySet::Retire(CategoryFiles& files) {
  const Generation* current = current_.load(std::memory_order_seq_cst);
  bool waiting = false;
  for (Generation& g : generations_) {
    if (&g == current || !g.live) continue;
    if (g.readers.load(std::memory_order_seq_cst) == 0) {
      Drop(g, files);
    } else {
      waiting = true;
    }
  }
  retired_.store(waiting, std::memory_order_relaxed);
}

void CategorySet::Drop(Generation& g, CategoryFiles& files) {
  for (std::size_t i = 0; i < g.count; ++i) {
    View& v = views_[g.view[i]];
    if (--v.holders > 0) continue;
    files.Unmap(v.mapped);
    v = View{};
  }
  g.count = 0;
  g.live = false;
}

void CategorySet::Release(CategoryFiles& files) {
  current_.store(nullptr, std::memory_order_seq_cst);
  for (Generation& g : generations_) {
    if (g.live) Drop(g, files);
  }
  retired_.store(false, std::memory_order_relaxed);
}

std::size_t CategorySet::ViewsMapped() const {
  std::size_t n = 0;
  for (const View& v : views_) n += v.holders > 0 ? 1 : 0;
  return n;
}

}  // namespace tarvel
