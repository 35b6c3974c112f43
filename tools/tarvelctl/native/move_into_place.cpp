// POSIX: rename() replaces the target in one step and keeps nothing of it;
// the old file's permissions are copied to the new one first.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/tarvelctl/files.h"

namespace tarvel::ctl {

std::string MoveIntoPlace(const std::string& temp, const std::string& path) {
  struct stat old_file;
  if (stat(path.c_str(), &old_file) == 0) chmod(temp.c_str(), old_file.st_mode & 07777);
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    return "cannot replace " + path + ": " + std::strerror(errno);
  }
  return "";
}

}  // namespace tarvel::ctl
