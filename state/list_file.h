// The list-file loader (the format is in state/list_format.h). The module
// only reads list files: it never writes, extends, truncates or rewrites one.
#pragma once

#include <cstdint>

#include "state/filter_state.h"
#include "state/list_format.h"
#include "state/settings.h"

namespace tarvel {

// The file operations the loader makes; the Windows implementation maps them
// onto the file system, tests fill them with a fake.
class ListFiles {
 public:
  using Handle = void*;

  // True if anything (a file or a directory) exists at `path`.
  virtual bool Exists(const char* path) = 0;
  // True if the file at `path` carries the read-only attribute (natively:
  // nobody may write it). False when that cannot be told.
  virtual bool ReadOnly(const char* path) = 0;
  // Opens an existing file for reading only, without changing it, and lets
  // others read, write, rename and delete it meanwhile, so the loader never
  // stands in the way of an editor or tarvelctl.
  virtual bool OpenExisting(const char* path, Handle* file) = 0;
  // Reads up to `size` bytes from `offset`; the number of bytes read.
  virtual std::uint32_t ReadAt(Handle file, std::int64_t offset, void* data,
                               std::uint32_t size) = 0;
  // The file's size in bytes, or -1 when it cannot be found.
  virtual std::int64_t Size(Handle file) = 0;
  virtual void Close(Handle file) = 0;

 protected:
  ~ListFiles() = default;
};

enum class ListFileOpen { kOpened, kReadOnly, kNotOpened };

// The loader's open of an existing list file, shared with tarvelctl's checks
// so both judge a file alike: a file with the read-only attribute is refused
// without being opened; any other is opened for reading only. On kOpened
// `*file` is open and the caller closes it; otherwise `*file` is untouched.
ListFileOpen OpenExistingListFile(ListFiles& files, const char* path, ListFiles::Handle* file);

// Loads the list's file, whose path is the value "whitelib" or "blacklib"
// of the settings, into the list of `state`. Gives 1 when the file was
// accepted; its entry records then fill slots 0, 1, ... in file order, each
// an active entry whatever it holds (100 NULs give an active empty entry),
// the count is the number of records loaded, at most 2000, and slots above
// the count are not touched. Gives 0 and leaves the list untouched when no
// path is stored, nothing exists at the path, the file carries the read-only
// attribute, it cannot be opened for reading (nothing is created in its
// place, even where it has gone meanwhile), its first 21 bytes are
// not the magic and a NUL, or its size cannot be found. Every file opened is
// closed before the return.
int LoadUrlListFile(FilterState& state, ListKind kind, SettingsStore& settings, ListFiles& files);

}  // namespace tarvel
