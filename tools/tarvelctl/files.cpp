#include "tools/tarvelctl/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace tarvel::ctl {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string Reason(int error) { return std::strerror(error); }

}  // namespace

FileRead ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
  if (bytes == nullptr || error == nullptr) return FileRead::kFailed;
  bytes->clear();
  errno = 0;
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    if (errno == ENOENT) return FileRead::kMissing;
    *error = "cannot open " + path + ": " + Reason(errno);
    return FileRead::kFailed;
  }
  char buffer[64 * 1024];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) bytes->append(buffer, n);
  if (std::ferror(file.get())) {
    *error = "cannot read " + path + ": " + Reason(errno);
    return FileRead::kFailed;
  }
  return FileRead::kOk;
}

ListFileOpen FilterOpenOf(const std::string& path) {
  ListFiles& files = PlatformListFiles();
  ListFiles::Handle file = nullptr;
  const ListFileOpen result = OpenExistingListFile(files, path.c_str(), &file);
  if (result == ListFileOpen::kOpened) files.Close(file);
  return result;
}

namespace {

// The names of one swap beside the list: the new file and the old one's
// backup, unique to this process and attempt.
struct SwapNames {
  std::string temp;
  std::string backup;
};

// Several attempts cover names that other runs left behind.
constexpr int kNameAttempts = 100;

std::string CreateTemp(FileSteps& steps, const std::string& path, SwapNames* names) {
  static unsigned attempt_counter = 0;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string stem = path + ".tarvelctl-" + std::to_string(steps.ProcessId()) + "-" +
                             std::to_string(attempt_counter++);
    names->temp = stem + ".new";
    names->backup = stem + ".old";
    if (steps.Exists(names->backup)) continue;
    std::string error;
    switch (steps.CreateNew(names->temp, &error)) {
      case FileSteps::Created::kOk:
        return "";
      case FileSteps::Created::kExists:
        continue;
      case FileSteps::Created::kFailed:
        return "cannot create " + names->temp + ": " + error;
    }
  }
  return "cannot create a temporary file beside " + path + ": every name tried is taken";
}

// Removes the temporary file and the backup; `failure` and what could not
// be removed.
std::string Cleaned(FileSteps& steps, const SwapNames& names, std::string failure) {
  for (const std::string* left : {&names.temp, &names.backup}) {
    const std::string error = steps.Remove(*left);
    if (!error.empty()) failure += "; " + *left + " is left behind: " + error;
  }
  return failure;
}

// After a failed swap that left a file at `path`: true when it holds the
// new list or the old one byte for byte, or when no backup was made (the
// old list never left `path`).
bool HoldsAWholeList(FileSteps& steps, const std::string& path, const SwapNames& names,
                     const std::string& bytes) {
  if (!steps.Exists(names.backup)) return true;
  std::string there;
  std::string old;
  if (steps.Read(path, &there) != FileRead::kOk) return false;
  if (there == bytes) return true;
  return steps.Read(names.backup, &old) == FileRead::kOk && there == old;
}

// After a failed swap: when `path` is gone, puts a whole list back in its
// place, the old one from the backup or else the new one from the temporary
// file; then cleans up. A list that cannot be put back is not removed, nor
// are both lists when `path` holds neither whole.
std::string Restored(FileSteps& steps, const std::string& path, const SwapNames& names,
                     const std::string& bytes, std::string failure) {
  if (steps.Exists(path)) {
    if (HoldsAWholeList(steps, path, names, bytes)) return Cleaned(steps, names, failure);
    return failure + "; " + path + " may be incomplete: the old list is kept in " + names.backup +
           " and the new list in " + names.temp;
  }
  const struct {
    const std::string& file;
    const char* holds;
  } lists[] = {{names.backup, "the old list"}, {names.temp, "the new list"}};
  std::string kept;
  for (const auto& list : lists) {
    if (!steps.Exists(list.file)) continue;
    const std::string error = steps.Move(list.file, path);
    if (error.empty()) return Cleaned(steps, names, failure);
    failure += "; cannot move " + list.file + " back: " + error;
    kept += std::string(kept.empty() ? "" : ", ") + list.holds + " is kept in " + list.file;
  }
  return failure + "; " + path + " is gone" + (kept.empty() ? "" : ": " + kept);
}

}  // namespace

std::string ReplaceFileWith(FileSteps& steps, const std::string& path, const std::string& bytes) {
  SwapNames names;
  std::string error = CreateTemp(steps, path, &names);
  if (!error.empty()) return error;
  error = steps.WriteFlushed(names.temp, bytes);
  if (!error.empty()) return Cleaned(steps, names, "cannot write " + names.temp + ": " + error);
  if (!steps.Exists(path)) {
    error = steps.Move(names.temp, path);
    if (!error.empty()) return Cleaned(steps, names, "cannot create " + path + ": " + error);
    return "";
  }
  error = steps.Replace(path, names.temp, names.backup);
  if (!error.empty()) {
    return Restored(steps, path, names, bytes, "cannot replace " + path + ": " + error);
  }
  // The new list is in place; a backup that cannot go is a stale copy only.
  static_cast<void>(steps.Remove(names.backup));
  return "";
}

std::string ReplaceFileWith(const std::string& path, const std::string& bytes) {
  return ReplaceFileWith(PlatformFileSteps(), path, bytes);
}

}  // namespace tarvel::ctl
