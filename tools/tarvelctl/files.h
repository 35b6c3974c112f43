// Whole-file reads and replacing writes for list files. Paths are the
// platform's single-byte paths, as the filter itself opens them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "state/list_file.h"

namespace tarvel::ctl {

enum class FileRead { kOk, kMissing, kFailed };

// Reads the whole file into `bytes`. On kFailed, `error` says why.
[[nodiscard]] FileRead ReadWholeFile(const std::string& path, std::string* bytes,
                                     std::string* error);

// The list files as the filter sees them on this platform: Windows binds the
// filter's own file operations; natively a file that nobody may write stands
// for one with the read-only attribute.
ListFiles& PlatformListFiles();

// How the filter's own open of the existing file at `path` ends (see
// OpenExistingListFile); the file is closed again.
ListFileOpen FilterOpenOf(const std::string& path);

// A file in a folder, as a listing of the folder shows it.
struct FolderFile {
  std::string name;            // within the folder
  std::uint64_t size = 0;      // bytes
  std::uint64_t modified = 0;  // last written, UTC as a FILETIME (100 ns steps since 1601)
};

// The file-system steps of ReplaceFileWith and of the category files, one
// call each, so that tests can make any of them fail. Every failure is
// returned as its reason.
class FileSteps {
 public:
  enum class Created { kOk, kExists, kFailed };
  virtual ~FileSteps() = default;

  // Creates an empty file at `path` only where nothing exists; kExists
  // leaves what is there alone.
  virtual Created CreateNew(const std::string& path, std::string* error) = 0;
  // Writes `bytes` over the file at `path` and flushes them to the disk.
  [[nodiscard]] virtual std::string WriteFlushed(const std::string& path,
                                                 const std::string& bytes) = 0;
  virtual bool Exists(const std::string& path) = 0;
  // Puts `replacement` in place of the existing `target` in one step and
  // keeps the old target as `backup` (where nothing exists beforehand). The
  // target keeps its attributes and permissions where the platform allows.
  // A failure may leave the target gone, its old file at `backup`.
  [[nodiscard]] virtual std::string Replace(const std::string& target,
                                            const std::string& replacement,
                                            const std::string& backup) = 0;
  // Renames `from` to `to`, where nothing exists: a file at `to` stays as
  // it is and the move fails.
  [[nodiscard]] virtual std::string Move(const std::string& from, const std::string& to) = 0;
  // Removes the file at `path`; a missing file is no error.
  [[nodiscard]] virtual std::string Remove(const std::string& path) = 0;
  // Reads the whole file at `path` (as ReadWholeFile).
  virtual FileRead Read(const std::string& path, std::string* bytes) = 0;
  // Tells this process's temporary names from those of another.
  virtual unsigned long ProcessId() = 0;
  // The files (not the folders) directly in `folder`; kMissing when there is
  // no such folder.
  virtual FileRead ListFolder(const std::string& folder, std::vector<FolderFile>* files,
                              std::string* error) = 0;
  // Creates `folder` and every folder above it that is missing; an existing
  // folder is no error.
  [[nodiscard]] virtual std::string MakeFolders(const std::string& folder) = 0;

  enum class Removal { kNow, kAtRestart, kMissing, kFailed };
  // Removes the file, or the empty folder, at `path`. A file that a process
  // holds (a loaded module), or a folder that still holds something, is
  // marked instead for removal when Windows next starts, as MoveFileEx with
  // MOVEFILE_DELAY_UNTIL_REBOOT does (administrators only; no restart is
  // asked for); Windows then removes such a folder only if it is empty by
  // then. Other systems remove at once or fail. kFailed sets `error`.
  virtual Removal RemoveNowOrAtRestart(const std::string& path, std::string* error) = 0;
  // The names of the folders directly in `folder`; kMissing when there is
  // no such folder.
  virtual FileRead ListFolders(const std::string& folder, std::vector<std::string>* names,
                               std::string* error) = 0;
};

FileSteps& PlatformFileSteps();

// Writes `bytes` to a new temporary file beside `path` (named for this
// process and call, never one that exists), flushes it and then puts it in
// place of `path` in one step, so a filter that starts meanwhile reads
// either the old file or the new one, never a part. Whatever fails, `path`
// afterwards holds the whole old file or the whole new one (where there was
// no file: none, or the new one), and the temporary file and the backup are
// removed. What cannot be removed, or a list that cannot be put back in
// place of `path`, stays beside it and the reason names it; so do both when
// a failed swap leaves at `path` a file that is neither the old list nor
// the new one byte for byte. Only a backup that cannot be removed after a
// successful swap stays unreported. Returns "" or the reason.
[[nodiscard]] std::string ReplaceFileWith(FileSteps& steps, const std::string& path,
                                          const std::string& bytes);
[[nodiscard]] std::string ReplaceFileWith(const std::string& path, const std::string& bytes);

}  // namespace tarvel::ctl
