// A list file of any bytes loaded into a block: the load stays inside the
// list it serves, never leaves more than 2000 entries, and every slot it
// fills holds its text and NUL bytes after it.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "state/list_file.h"

namespace {

constexpr char kPath[] = "C:\\list.lst";

class OneValue final : public tarvel::SettingsKey {
 public:
  bool Open(Access, Handle* key) override {
    *key = this;
    return true;
  }
  bool Query(Handle, const char*, void* data, std::uint32_t size) override {
    if (size < sizeof kPath) return false;
    std::memcpy(data, kPath, sizeof kPath);
    return true;
  }
  bool SetText(Handle, const char*, const void*, std::uint32_t) override { return false; }
  bool Delete(Handle, const char*) override { return false; }
  void Close(Handle) override {}
};

class OneFile final : public tarvel::ListFiles {
 public:
  OneFile(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Exists(const char*) override { return true; }
  bool ReadOnly(const char*) override { return false; }
  bool OpenExisting(const char*, Handle* file) override {
    *file = this;
    ++open_;
    return true;
  }
  std::uint32_t ReadAt(Handle, std::int64_t offset, void* out, std::uint32_t size) override {
    if (offset < 0 || static_cast<std::size_t>(offset) >= size_) return 0;
    const std::size_t n = std::min<std::size_t>(size, size_ - offset);
    std::memcpy(out, data_ + offset, n);
    return static_cast<std::uint32_t>(n);
  }
  std::int64_t Size(Handle) override { return static_cast<std::int64_t>(size_); }
  void Close(Handle) override { --open_; }
  int open_ = 0;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static tarvel::FilterState state;
  std::memset(&state, 0, sizeof state);
  OneValue key;
  tarvel::SettingsStore store(key);
  OneFile file(data, size);
  const int result = tarvel::LoadUrlListFile(state, tarvel::ListKind::kWhite, store, file);
  if (file.open_ != 0) std::abort();
  if (result == 0 && state.white_count != 0) std::abort();
  if (state.white_count < 0 || state.white_count > tarvel::kListSlots) std::abort();
  if (state.black_count != 0 || state.black_active[0] != 0 || state.black_entries[0][0] != 0) {
    std::abort();
  }
  for (int i = 0; i < state.white_count; ++i) {
    if (state.white_active[i] != 1) std::abort();
    const std::size_t n = tarvel::EntryLength(state.white_entries[i]);
    for (std::size_t k = n; k < tarvel::kEntryBytes; ++k) {
      if (state.white_entries[i][k] != '\0') std::abort();
    }
  }
  return 0;
}
