// Registry data of any bytes read back through the settings store: a read
// writes only inside the size it is given, and a path comes back with its
// terminating NUL or not at all.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "state/settings.h"

namespace {

class OneValue final : public tarvel::SettingsKey {
 public:
  OneValue(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Open(Access, Handle* key) override {
    *key = this;
    return true;
  }
  bool Query(Handle, const char*, void* out, std::uint32_t size) override {
    if (size_ > size) return false;
    std::memcpy(out, data_, size_);
    return true;
  }
  bool SetText(Handle, const char*, const void*, std::uint32_t) override { return false; }
  bool Delete(Handle, const char*) override { return false; }
  void Close(Handle) override {}

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

constexpr unsigned char kGuard = 0xAB;

void CheckGuard(const unsigned char* bytes, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) {
    if (bytes[i] != kGuard) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the size a reader is given.
  const std::int32_t room = 250 + data[0] % 20;
  OneValue key(data + 1, size - 1);
  tarvel::SettingsStore store(key);

  std::int32_t flag = 7;
  const int read = store.ReadFlag("iswhi", &flag);
  if ((read == 1) != (flag == 0 || flag == 1) || (read == 0 && flag != 7)) std::abort();

  unsigned char dst[600];
  std::memset(dst, kGuard, sizeof dst);
  if (store.ReadPath("whitelib", reinterpret_cast<char*>(dst), room) == 1) {
    const std::size_t limit = room < 260 ? room : 260;
    if (std::memchr(dst, 0, limit) == nullptr) std::abort();
    CheckGuard(dst, limit, sizeof dst);
  } else {
    CheckGuard(dst, 0, sizeof dst);
  }

  std::memset(dst, kGuard, sizeof dst);
  if (store.ReadFilterText(reinterpret_cast<char*>(dst), room) == 1) {
    CheckGuard(dst, room, sizeof dst);
  } else {
    CheckGuard(dst, 0, sizeof dst);
  }
  return 0;
}
