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

std::string ReplaceFileWith(const std::string& path, const std::string& bytes) {
  const std::string temp = path + ".tarvelctl-new";
  {
    errno = 0;
    File file(std::fopen(temp.c_str(), "wb"));
    if (!file) return "cannot create " + temp + ": " + Reason(errno);
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size() &&
                         std::fflush(file.get()) == 0;
    const int write_error = errno;
    if (std::fclose(file.release()) != 0 || !written) {
      std::remove(temp.c_str());
      return "cannot write " + temp + ": " + Reason(write_error != 0 ? write_error : errno);
    }
  }
  std::string error = MoveIntoPlace(temp, path);
  if (!error.empty()) std::remove(temp.c_str());
  return error;
}

}  // namespace tarvel::ctl
