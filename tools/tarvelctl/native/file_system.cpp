// POSIX: list files as the filter would see them here. A file that nobody
// may write stands for one with the read-only attribute (Wine maps the
// attribute onto the same bits).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "tools/tarvelctl/files.h"

namespace tarvel::ctl {
namespace {

int AsFd(ListFiles::Handle file) { return static_cast<int>(reinterpret_cast<std::intptr_t>(file)); }

class PosixListFiles final : public ListFiles {
 public:
  bool Exists(const char* path) override {
    struct stat info;
    return stat(path, &info) == 0;
  }

  bool ReadOnly(const char* path) override {
    struct stat info;
    return stat(path, &info) == 0 && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
  }

  // A folder opens for reading here but never on Windows.
  bool OpenExisting(const char* path, Handle* file) override {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      close(fd);
      return false;
    }
    *file = reinterpret_cast<Handle>(static_cast<std::intptr_t>(fd));
    return true;
  }

  bool CreateNew(const char* path, Handle* file) override {
    const int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    *file = reinterpret_cast<Handle>(static_cast<std::intptr_t>(fd));
    return true;
  }

  std::uint32_t ReadAt(Handle file, std::int64_t offset, void* data, std::uint32_t size) override {
    const ssize_t n = pread(AsFd(file), data, size, static_cast<off_t>(offset));
    return n < 0 ? 0 : static_cast<std::uint32_t>(n);
  }

  std::int64_t Size(Handle file) override {
    struct stat info;
    if (fstat(AsFd(file), &info) != 0) return -1;
    return static_cast<std::int64_t>(info.st_size);
  }

  void Close(Handle file) override { close(AsFd(file)); }
};

}  // namespace

ListFiles& PlatformListFiles() {
  static PosixListFiles files;
  return files;
}

}  // namespace tarvel::ctl
