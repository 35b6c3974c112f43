#include "state/settings.h"

#include <cstring>

namespace tarvel {
namespace {

using Access = SettingsKey::Access;

// Readers offer this many bytes; one more stays NUL behind them, so a value
// that fills the offer without a NUL still reads as a bounded text.
constexpr std::uint32_t kReadOffer = 500;

// The key of one operation, closed on every way out of it.
class OpenKey {
 public:
  OpenKey(SettingsKey& key, Access access) : key_(key), opened_(key.Open(access, &handle_)) {}
  ~OpenKey() {
    if (opened_) key_.Close(handle_);
  }
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;

  explicit operator bool() const { return opened_; }
  SettingsKey::Handle get() const { return handle_; }

 private:
  SettingsKey& key_;
  SettingsKey::Handle handle_ = nullptr;
  bool opened_;
};

std::size_t BoundedLength(const char* text, std::size_t limit) {
  std::size_t n = 0;
  while (n < limit && text[n] != '\0') ++n;
  return n;
}

// Stores `text`'s first `length` bytes, NUL-padded to 260 bytes.
int SetPaddedText(SettingsKey& key, const char* name, const char* text, std::size_t length) {
  OpenKey opened(key, Access::kCreate);
  if (!opened) return 0;
  char buffer[settings::kTextBytes] = {};
  std::memcpy(buffer, text, length);
  return key.SetText(opened.get(), name, buffer, sizeof buffer) ? 1 : 0;
}

}  // namespace

int SettingsStore::ReadFlag(const char* name, std::int32_t* out) {
  if (out == nullptr) return 0;
  OpenKey opened(key_, Access::kRead);
  if (!opened) return 0;
  char buffer[kReadOffer] = {};
  if (!key_.Query(opened.get(), name, buffer, kReadOffer)) return 0;
  if (buffer[1] != '\0') return 0;
  if (buffer[0] == '0') {
    *out = 0;
    return 1;
  }
  if (buffer[0] == '1') {
    *out = 1;
    return 1;
  }
  return 0;
}

int SettingsStore::WriteFlag(const char* name, std::int32_t value) {
  OpenKey opened(key_, Access::kCreate);
  if (!opened) return 0;
  char buffer[settings::kFlagBytes] = {};
  buffer[0] = value == 1 ? '1' : '0';
  return key_.SetText(opened.get(), name, buffer, sizeof buffer) ? 1 : 0;
}

int SettingsStore::ReadPath(const char* name, char* dst, std::int32_t size) {
  if (dst == nullptr || size < 258) return 0;
  OpenKey opened(key_, Access::kRead);
  if (!opened) return 0;
  char buffer[kReadOffer + 1] = {};
  if (!key_.Query(opened.get(), name, buffer, kReadOffer)) return 0;
  const std::size_t room =
      static_cast<std::size_t>(size) < settings::kTextBytes ? size : settings::kTextBytes;
  const std::size_t length = BoundedLength(buffer, kReadOffer);
  if (length == 0 || length >= room) return 0;
  std::memcpy(dst, buffer, length);
  std::memset(dst + length, 0, room - length);
  return 1;
}

int SettingsStore::WritePath(const char* name, const char* text) {
  if (text == nullptr) return 0;
  const std::size_t length = BoundedLength(text, settings::kTextBytes);
  if (length >= settings::kTextBytes) return 0;
  return SetPaddedText(key_, name, text, length);
}

int SettingsStore::ReadFilterText(char* dst, std::int32_t size) {
  if (dst == nullptr || size <= 0) return 0;
  OpenKey opened(key_, Access::kRead);
  if (!opened) return 0;
  // The whole 260 bytes that WriteFilterText stores are offered; the byte
  // behind them stays NUL.
  char buffer[settings::kTextBytes + 1] = {};
  if (!key_.Query(opened.get(), settings::kFilterText, buffer, settings::kTextBytes)) return 0;
  if (buffer[0] == '\0') return 0;
  const std::size_t room = static_cast<std::size_t>(size);
  const std::size_t length = BoundedLength(buffer, settings::kTextBytes);
  const std::size_t copied = length < room ? length : room;
  std::memcpy(dst, buffer, copied);
  std::memset(dst + copied, 0, room - copied);
  return 1;
}

int SettingsStore::WriteFilterText(const char* text) {
  if (text == nullptr) return 0;
  return SetPaddedText(key_, settings::kFilterText, text,
                       BoundedLength(text, settings::kTextBytes - 1));
}

int SettingsStore::DeleteValue(const char* name) {
  OpenKey opened(key_, Access::kWrite);
  if (!opened) return 0;
  // A value that is not there is already removed.
  key_.Delete(opened.get(), name);
  return 1;
}

void ProgramDirectoryOf(const char* exe_path, char* dst, std::size_t size) {
  if (dst == nullptr || size == 0) return;
  dst[0] = '\0';
  if (exe_path == nullptr || exe_path[0] == '\0') return;
  // Drive and directory end after the last separator; a drive letter alone
  // ("C:app.exe") is a directory too.
  std::size_t end = (exe_path[0] != '\0' && exe_path[1] == ':') ? 2 : 0;
  for (std::size_t i = end; exe_path[i] != '\0'; ++i) {
    if (exe_path[i] == '\\' || exe_path[i] == '/') end = i + 1;
  }
  const bool ends_in_backslash = end > 0 && exe_path[end - 1] == '\\';
  const std::size_t needed = end + (ends_in_backslash ? 0 : 1) + 1;
  if (needed > size) return;
  std::memcpy(dst, exe_path, end);
  if (!ends_in_backslash) dst[end++] = '\\';
  dst[end] = '\0';
}

}  // namespace tarvel
