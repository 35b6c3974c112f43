// Whole-file reads and replacing writes for list files. Paths are the
// platform's single-byte paths, as the filter itself opens them.
#pragma once

#include <string>

#include "state/list_file.h"

namespace tarvel::ctl {

enum class FileRead { kOk, kMissing, kFailed };

// Reads the whole file into `bytes`. On kFailed, `error` says why.
FileRead ReadWholeFile(const std::string& path, std::string* bytes, std::string* error);

// The list files as the filter sees them on this platform: Windows binds the
// filter's own file operations; natively a file that nobody may write stands
// for one with the read-only attribute.
ListFiles& PlatformListFiles();

// How the filter's own open of the existing file at `path` ends (see
// OpenExistingListFile); the file is closed again.
ListFileOpen FilterOpenOf(const std::string& path);

// Writes `bytes` to a new file beside `path` and then puts it in place of
// `path` in one step, so a filter that starts meanwhile reads either the old
// file or the new one, never a part. An existing file keeps its attributes
// and permissions where the platform allows. Returns "" or the reason.
std::string ReplaceFileWith(const std::string& path, const std::string& bytes);

// Platform step of ReplaceFileWith: moves `temp` over `path` (which may not
// exist yet). Returns "" or the reason.
std::string MoveIntoPlace(const std::string& temp, const std::string& path);

}  // namespace tarvel::ctl
