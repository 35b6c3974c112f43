#include "platform/win/list_files.h"

#include <windows.h>

namespace tarvel {
namespace {

// An existing list file is only read: whoever attaches first (a service, an
// ordinary user's program) may read the lists but seldom write them. Others
// may go on reading, writing, renaming and deleting the file meanwhile, so an
// editor or tarvelctl can put a new file in its place.
constexpr DWORD kReadAccess = GENERIC_READ;
// A missing file is created with read and write access.
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE AsFile(ListFiles::Handle file) { return static_cast<HANDLE>(file); }

bool OpenFile(const char* path, DWORD access, DWORD disposition, ListFiles::Handle* file) {
  HANDLE opened =
      CreateFileA(path, access, kShare, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return false;
  *file = opened;
  return true;
}

class FileSystemListFiles final : public ListFiles {
 public:
  bool Exists(const char* path) override {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
  }

  // Reading needs no write access, so only the attribute itself tells a
  // read-only file.
  bool ReadOnly(const char* path) override {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  }

  bool OpenExisting(const char* path, Handle* file) override {
    return OpenFile(path, kReadAccess, OPEN_EXISTING, file);
  }

  std::uint32_t ReadAt(Handle file, std::int64_t offset, void* data, std::uint32_t size) override {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!ReadFile(AsFile(file), data, size, &read, &at)) return 0;
    return read;
  }

  std::int64_t Size(Handle file) override {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(AsFile(file), &size)) return -1;
    return size.QuadPart;
  }

  void Close(Handle file) override { CloseHandle(AsFile(file)); }
};

FileSystemListFiles g_files;

}  // namespace

ListFiles& WindowsListFiles() { return g_files; }

}  // namespace tarvel
