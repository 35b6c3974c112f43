// POSIX: list files as the filter would see them here, and the steps of a
// replacing write. A file that nobody may write stands for one with the
// read-only attribute (Wine maps the attribute onto the same bits).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tools/tarvelctl/files.h"
#include "tools/tarvelctl/read_rights.h"

namespace tarvel::ctl {
namespace {

std::string Reason() { return std::strerror(errno); }

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

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  // Closes now; false when closing failed.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return close(fd) == 0;
  }

 private:
  int fd_;
};

class PosixFileSteps final : public FileSteps {
 public:
  Created CreateNew(const std::string& path, std::string* error) override {
    Descriptor file(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file.get() >= 0) return Created::kOk;
    if (errno == EEXIST) return Created::kExists;
    *error = Reason();
    return Created::kFailed;
  }

  std::string WriteFlushed(const std::string& path, const std::string& bytes) override {
    Descriptor file(open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (file.get() < 0) return Reason();
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = write(file.get(), bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n < 0 ? Reason() : "nothing was written";
      done += static_cast<std::size_t>(n);
    }
    if (fsync(file.get()) != 0) return Reason();
    if (!file.Close()) return Reason();
    return "";
  }

  bool Exists(const std::string& path) override {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
  }

  // The backup is a second name of the old file; the rename then swaps the
  // new one in atomically. The new file takes the old one's permissions.
  std::string Replace(const std::string& target, const std::string& replacement,
                      const std::string& backup) override {
    struct stat old_file;
    if (stat(target.c_str(), &old_file) != 0) return Reason();
    if (link(target.c_str(), backup.c_str()) != 0) return Reason();
    if (chmod(replacement.c_str(), old_file.st_mode & 07777) != 0) return Reason();
    if (std::rename(replacement.c_str(), target.c_str()) != 0) return Reason();
    return "";
  }

  // rename() would replace a file at `to`; a second name then the first
  // one's removal never does. A file system without links (FAT) gets the
  // rename after a look, which a writer in between could still race.
  std::string Move(const std::string& from, const std::string& to) override {
    if (link(from.c_str(), to.c_str()) == 0) {
      unlink(from.c_str());
      return "";
    }
    if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != EXDEV) {
      return Reason();
    }
    if (Exists(to)) return std::strerror(EEXIST);
    if (std::rename(from.c_str(), to.c_str()) != 0) return Reason();
    return "";
  }

  std::string Remove(const std::string& path) override {
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return "";
    return Reason();
  }

  FileRead Read(const std::string& path, std::string* bytes) override {
    std::string error;
    return ReadWholeFile(path, bytes, &error);
  }
  unsigned long ProcessId() override { return static_cast<unsigned long>(getpid()); }

  FileRead ListFolder(const std::string& folder, std::vector<FolderFile>* files,
                      std::string* error) override {
    files->clear();
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
      if (errno == ENOENT) return FileRead::kMissing;
      *error = "cannot list " + folder + ": " + Reason();
      return FileRead::kFailed;
    }
    while (const dirent* entry = readdir(dir)) {
      struct stat info;
      const std::string path = folder + "/" + entry->d_name;
      if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
      // FILETIME counts from 1601, 11644473600 seconds before 1970.
      const std::uint64_t seconds = static_cast<std::uint64_t>(info.st_mtim.tv_sec) + 11644473600u;
      files->push_back(
          {entry->d_name, static_cast<std::uint64_t>(info.st_size),
           seconds * 10'000'000u + static_cast<std::uint64_t>(info.st_mtim.tv_nsec) / 100});
    }
    closedir(dir);
    return FileRead::kOk;
  }

  std::string MakeFolders(const std::string& folder) override {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return error ? error.message() : "";
  }

  // Nothing here removes a file at the next start; an open file goes at
  // once anyway.
  Removal RemoveNowOrAtRestart(const std::string& path, std::string* error) override {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
      if (errno == ENOENT) return Removal::kMissing;
      *error = "cannot remove " + path + ": " + Reason();
      return Removal::kFailed;
    }
    if ((S_ISDIR(info.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str())) == 0) {
      return Removal::kNow;
    }
    *error = "cannot remove " + path + ": " + Reason();
    return Removal::kFailed;
  }

  FileRead ListFolders(const std::string& folder, std::vector<std::string>* names,
                       std::string* error) override {
    names->clear();
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
      if (errno == ENOENT) return FileRead::kMissing;
      *error = "cannot list " + folder + ": " + Reason();
      return FileRead::kFailed;
    }
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      struct stat info;
      if (name == "." || name == ".." || lstat((folder + "/" + name).c_str(), &info) != 0 ||
          !S_ISDIR(info.st_mode)) {
        continue;
      }
      names->push_back(name);
    }
    closedir(dir);
    return FileRead::kOk;
  }
};

}  // namespace

ListFiles& PlatformListFiles() {
  static PosixListFiles files;
  return files;
}

FileSteps& PlatformFileSteps() {
  static PosixFileSteps steps;
  return steps;
}

// POSIX permissions say nothing of Windows accounts.
FileAccess ReadFileAccess(const std::string&) { return {}; }

}  // namespace tarvel::ctl
