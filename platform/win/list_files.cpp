#include "platform/win/list_files.h"

#include <windows.h>

namespace tarvel {
namespace {

// Read and write access, as "rb+" asks it: a read-only file cannot be opened
// at all. Others may go on reading and writing the file meanwhile.
constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE AsFile(ListFiles::Handle file) { return static_cast<HANDLE>(file); }

bool OpenFile(const char* path, DWORD disposition, ListFiles::Handle* file) {
  HANDLE opened =
      CreateFileA(path, kAccess, kShare, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return false;
  *file = opened;
  return true;
}

class FileSystemListFiles final : public ListFiles {
 public:
  bool Exists(const char* path) override {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
  }

  bool OpenExisting(const char* path, Handle* file) override {
    return OpenFile(path, OPEN_EXISTING, file);
  }

  // CREATE_NEW fails on anything that exists, so an existing file is never
  // emptied.
  bool CreateNew(const char* path, Handle* file) override {
    return OpenFile(path, CREATE_NEW, file);
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
