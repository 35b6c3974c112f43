// List files on the Windows file system.
#pragma once

#include "state/list_file.h"

namespace tarvel {

ListFiles& WindowsListFiles();

}  // namespace tarvel
