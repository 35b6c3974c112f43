// Windows: list files through the filter's own file operations.
#include "platform/win/list_files.h"
#include "tools/tarvelctl/files.h"

namespace tarvel::ctl {

ListFiles& PlatformListFiles() { return WindowsListFiles(); }

}  // namespace tarvel::ctl
