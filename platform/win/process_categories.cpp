// The compiled files are opened for reading with FILE_SHARE_READ and
// FILE_SHARE_DELETE only: while a view is mapped nobody can open the file for
// writing (CreateFile, "dwShareMode"), so the bytes checked at the load stay
// the bytes read, and tarvelctl may still delete an old file, which goes
// when its last view does.
#include "platform/win/process_categories.h"

#include <windows.h>

#include <cstring>

#include "state/shared_state.h"

namespace tarvel {
namespace {

// A folder's expanded path and the file name, or false when they do not fit.
bool JoinPath(const char* folder, const char* name, char (&out)[MAX_PATH * 2]) {
  char expanded[MAX_PATH * 2];
  const DWORD n = ExpandEnvironmentStringsA(folder, expanded, sizeof expanded);
  if (n == 0 || n > sizeof expanded) return false;
  std::size_t length = std::strlen(expanded);
  const bool separated =
      length > 0 && (expanded[length - 1] == '\\' || expanded[length - 1] == '/');
  const std::size_t name_length = std::strlen(name);
  if (length + 1 + name_length + 1 > sizeof out) return false;
  std::memcpy(out, expanded, length);
  if (!separated) out[length++] = '\\';
  std::memcpy(out + length, name, name_length + 1);
  return true;
}

// The highest serial among the folder's files of `name`, or 0.
std::uint32_t NewestSerial(const char* folder, const char* name) {
  char pattern[MAX_PATH * 2];
  char wanted[kCategoryNameMax + 16];
  std::memcpy(wanted, name, std::strlen(name));
  std::memcpy(wanted + std::strlen(name), ".*.tvcat", sizeof ".*.tvcat");
  if (!JoinPath(folder, wanted, pattern)) return 0;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  std::uint32_t newest = 0;
  do {
    const std::uint32_t serial = CategoryFileSerial(name, found.cFileName);
    if (serial > newest) newest = serial;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return newest;
}

class WindowsCategoryFiles final : public CategoryFiles {
 public:
  bool Map(const char* folder, const char* name, std::uint32_t serial, MappedCategory* out,
           std::uint32_t* serial_used, CategoryProblem* why) override {
    *why = CategoryProblem::kNoFile;
    if (serial == 0) serial = NewestSerial(folder, name);
    char path[MAX_PATH * 2];
    if (serial == 0 || !JoinPath(folder, CategoryFileName(name, serial).c_str(), path)) {
      return false;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    *why = CategoryProblem::kNoMapping;
    LARGE_INTEGER size;
    // A file larger than the address space is refused before it is mapped.
    if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0 ||
        static_cast<unsigned long long>(size.QuadPart) > (~std::size_t{0} >> 1)) {
      CloseHandle(file);
      return false;
    }
    HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void* bytes =
        mapping != nullptr ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    // The view keeps the section; the file handle keeps writers out.
    if (mapping != nullptr) CloseHandle(mapping);
    if (bytes == nullptr) {
      CloseHandle(file);
      return false;
    }
    out->bytes = bytes;
    out->size = static_cast<std::size_t>(size.QuadPart);
    out->handle = file;
    *serial_used = serial;
    return true;
  }

  void Unmap(const MappedCategory& mapped) override {
    if (mapped.bytes != nullptr) UnmapViewOfFile(mapped.bytes);
    if (mapped.handle != nullptr) CloseHandle(mapped.handle);
  }

  void PauseThread() override { SwitchToThread(); }
};

WindowsCategoryFiles g_files;
CategorySet g_categories;

}  // namespace

bool FindProcessCategory(const Host& host, CategoryHit* hit) {
  SharedExtensions& e = SharedExtensionBlock();
  return g_categories.Find(e.categories_generation, e.categories, g_files, host.text, host.length,
                           hit);
}

void ReleaseProcessCategories() { g_categories.Release(g_files); }

}  // namespace tarvel
