// The persistent settings: values of the key Software\Tarvel under
// HKEY_LOCAL_MACHINE, one value per call. Every operation opens the key,
// does one thing with one value and closes the key again on every path;
// nothing is cached. Results are 1 for success and 0 for failure; a failure
// leaves the caller's output untouched and stores no error anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvel {

// Value names and the stored forms that bind every writer of the key.
namespace settings {
inline constexpr char kWhiteOnly[] = "iswhi";          // flag, 10 bytes
inline constexpr char kSmartFilter[] = "issma";        // flag, 10 bytes
inline constexpr char kSmartWe[] = "issmawe";          // flag, 10 bytes
inline constexpr char kSmartEm[] = "issmaem";          // flag, 10 bytes
inline constexpr char kSmartNc[] = "issmanc";          // flag, 10 bytes
inline constexpr char kHttpsFilter[] = "issni";        // flag, 10 bytes
inline constexpr char kLocked[] = "islck";             // flag, 10 bytes
inline constexpr char kWhiteListPath[] = "whitelib";   // path, 260 bytes
inline constexpr char kBlackListPath[] = "blacklib";   // path, 260 bytes
inline constexpr char kCategoryFolder[] = "catdir";    // path, 260 bytes
inline constexpr char kCategories[] = "cats";          // names, stored as a path, 260 bytes
inline constexpr char kPath[] = "path";                // path, 260 bytes
inline constexpr char kFilterText[] = "TarvelFilter";  // text, 260 bytes

inline constexpr std::uint32_t kFlagBytes = 10;
inline constexpr std::uint32_t kTextBytes = 260;  // a path or text and its NUL padding
}  // namespace settings

// The key as the store sees it: the few registry operations it makes. The
// Windows implementation maps them one to one onto the registry; tests fill
// it with a fake.
class SettingsKey {
 public:
  using Handle = void*;
  enum class Access {
    kRead,    // open an existing key
    kCreate,  // open the key, creating it when missing
    kWrite,   // open an existing key with write access
  };

  // Opens the key; true and a handle that Close() takes, or false.
  virtual bool Open(Access access, Handle* key) = 0;
  // Reads the value's data into `data`, offering `size` bytes; false when the
  // value is missing or its data is larger than `size`.
  virtual bool Query(Handle key, const char* name, void* data, std::uint32_t size) = 0;
  // Writes exactly `size` bytes of `data` as a single-byte text value.
  virtual bool SetText(Handle key, const char* name, const void* data, std::uint32_t size) = 0;
  // Removes the value; false when it could not be removed.
  virtual bool Delete(Handle key, const char* name) = 0;
  virtual void Close(Handle key) = 0;

 protected:
  ~SettingsKey() = default;
};

class SettingsStore {
 public:
  explicit constexpr SettingsStore(SettingsKey& key) : key_(key) {}

  // Reads a flag value: exactly "1" stores 1, exactly "0" stores 0, through
  // `out`, and gives 1. Anything else (missing, empty, "1 ", "01", "yes",
  // data over 500 bytes) gives 0 and leaves *out as it was. The value's type
  // plays no part, only its bytes.
  int ReadFlag(const char* name, std::int32_t* out);

  // Stores "1" for the value 1 and "0" for every other value, as 10 bytes
  // (the digit and nine NULs). Creates the key when missing.
  int WriteFlag(const char* name, std::int32_t value);

  // Puts the path stored in `name` into `dst` as a text ending in its NUL,
  // NUL-padded to 260 bytes or to `size` when smaller, and gives 1. Gives 0
  // and leaves `dst` untouched when dst is null, size is under 258, the key
  // or value is missing, the path is empty, or the path and its NUL do not
  // fit in 260 bytes and `size` (a stored path is never cut: a cut path
  // names another file).
  int ReadPath(const char* name, char* dst, std::int32_t size);

  // Stores `text` and NUL bytes, 260 bytes in all. A null text, or one of
  // more than 259 characters, is refused (0) and nothing is written.
  int WritePath(const char* name, const char* text);

  // Copies the TarvelFilter text into `dst`, its bytes up to its NUL and
  // then NUL bytes, `size` bytes in all, and gives 1. As with strncpy, a
  // text of `size` characters or more fills `dst` without a NUL. Accepts
  // what WriteFilterText stores (260 bytes). Gives 0 with `dst` untouched
  // for a null dst, a size of 0 or less, a missing key or value, data over
  // 260 bytes, or an empty text.
  int ReadFilterText(char* dst, std::int32_t size);

  // Stores the first 259 characters of `text` at most, NUL-padded to 260
  // bytes, as TarvelFilter. A null text gives 0.
  int WriteFilterText(const char* text);

  // Removes the value. 0 only when the key cannot be opened for writing; a
  // value that does not exist still gives 1.
  int DeleteValue(const char* name);

 private:
  SettingsKey& key_;
};

// The directory part of an executable's full path, as GetProgramDirectory
// gives it: the drive and the directory (up to and including the last '\'
// or '/'), with a '\' appended unless it already ends in one. `dst` gets ""
// when `exe_path` is null or empty or the result and its NUL exceed `size`.
void ProgramDirectoryOf(const char* exe_path, char* dst, std::size_t size);

}  // namespace tarvel
