// The categories as one process sees them: a view of each active
// category's compiled file, switched to the table's new files at the first
// lookup after a change, while other threads go on looking up in the old
// views. A lookup allocates nothing and takes no lock; an old view is
// unmapped only once no thread of the process can be reading it.
//
// One CategorySet per process, in static storage; the platform maps the
// files behind CategoryFiles, tests fill it with a fake.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "state/categories.h"
#include "state/category_file.h"

namespace tarvel {

// A compiled file mapped read-only and kept unwritable while mapped.
struct MappedCategory {
  const void* bytes = nullptr;
  std::size_t size = 0;
  void* handle = nullptr;  // the platform's own
};

class CategoryFiles {
 public:
  // Maps <folder>\<name>.<serial>.tvcat, or with serial 0 the file of the
  // highest serial; true and the mapping, or false and why not (kNoFile,
  // kNoMapping). `*serial_used` gets the serial mapped.
  virtual bool Map(const char* folder, const char* name, std::uint32_t serial, MappedCategory* out,
                   std::uint32_t* serial_used, CategoryProblem* why) = 0;
  virtual void Unmap(const MappedCategory& mapped) = 0;
  // Gives the processor up for a moment (a thread waiting for another's load).
  virtual void PauseThread() = 0;

 protected:
  ~CategoryFiles() = default;
};

// A host that falls under a category: its slot in the shared table, its
// name, and the entry it falls under.
struct CategoryHit {
  int slot = -1;
  char name[kCategoryNameMax + 1] = {};
  char entry[kCategoryDomainMax + 1] = {};
};

// The views one switch may hold: one per category, and during a switch the
// old and the new file of each changed one.
inline constexpr std::size_t kCategoryViewsMax = 2 * kCategoriesMax;

class CategorySet {
 public:
  constexpr CategorySet() = default;
  CategorySet(const CategorySet&) = delete;
  CategorySet& operator=(const CategorySet&) = delete;

  // The first active category (in slot order) that `host` falls under.
  // Loads the table's files first when the generation changed since the
  // last load and no other thread is loading; a thread that finds a load
  // under way looks up in the views loaded before it. False when none
  // matches or no category is active. A thread that finds the process's
  // first load under way waits for it: before it there is no old set to look
  // up in. Never throws; a fault reading a
  // damaged mapping is the caller's guard's business.
  bool Find(const std::int32_t& generation, SharedCategories& shared, CategoryFiles& files,
            const char* host, std::size_t length, CategoryHit* hit);

  // Loads the table's files now if it changed (as Find does); true when
  // the views match the table's generation afterwards.
  bool Refresh(const std::int32_t& generation, SharedCategories& shared, CategoryFiles& files);

  // Unmaps every view (process detach: no other thread runs).
  void Release(CategoryFiles& files);

  // The views mapped now, for tests and the bound on address space.
  std::size_t ViewsMapped() const;

 private:
  struct View {
    char name[kCategoryNameMax + 1];
    std::uint32_t serial;  // as asked of the table (0: the newest)
    MappedCategory mapped;
    CategoryView view;
    int holders;  // generations holding it; changed only under the load lock
  };
  struct Generation {
    std::atomic<int> readers{0};
    bool live = false;  // holds views; changed only under the load lock
    // Read by every lookup, also while the record is filled again.
    std::atomic<std::uint32_t> generation{0};
    std::size_t count = 0;
    int slot[kCategoriesMax] = {};
    int view[kCategoriesMax] = {};
  };

  bool Load(const std::int32_t& generation, SharedCategories& shared, CategoryFiles& files);
  Generation* Enter();
  void Retire(CategoryFiles& files);
  void Drop(Generation& g, CategoryFiles& files);
  int ViewFor(const CategoryTable::Entry& entry, const char* folder, SharedCategories& shared,
              CategoryFiles& files);

  View views_[kCategoryViewsMax] = {};
  Generation generations_[3];
  std::atomic<Generation*> current_{nullptr};
  std::atomic<bool> loading_{false};
  // A generation replaced while threads still read it waits here.
  std::atomic<bool> retired_{false};
};

}  // namespace tarvel
