// Windows: ReplaceFile keeps the replaced file's attributes and security
// descriptor, which a plain move would lose; a new file is moved in place.
#include <windows.h>

#include "tools/tarvelctl/files.h"
#include "tools/tarvelctl/win/error_text.h"

namespace tarvel::ctl {

std::string MoveIntoPlace(const std::string& temp, const std::string& path) {
  if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
    if (ReplaceFileA(path.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                     nullptr)) {
      return "";
    }
    return "cannot replace " + path + ": " + ErrorText(GetLastError());
  }
  if (MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return "";
  }
  return "cannot create " + path + ": " + ErrorText(GetLastError());
}

}  // namespace tarvel::ctl
