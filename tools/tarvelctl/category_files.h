// The compiled category files as tarvelctl makes and reads them: compiling
// text lists into one file, writing it into a folder as a new file that no
// other file is ever replaced by, finding a category's files in a folder,
// and reading one back with every check the filter makes. Portable: the
// file system goes through FileSteps.
//
// A file is never rewritten: a filter maps it with the sharing that lets it
// be deleted but not written, so each compile writes a file of a higher
// serial, "<name>.<serial>.tvcat", and the older ones are deleted once no
// running filter names them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "state/category_file.h"
#include "tools/tarvelctl/category_text.h"
#include "tools/tarvelctl/cli.h"
#include "tools/tarvelctl/files.h"

namespace tarvel::ctl {

// `name` within `folder`, with the platform's separator.
std::string InFolder(const std::string& folder, const std::string& name);

// The text lists read and compiled into the bytes of one category file.
struct CategoryBuild {
  CategoryText text;  // its first_skipped name the file: "PATH, line N: TEXT"
  std::vector<std::string> paths;
  std::string bytes;  // the compiled file
  std::uint32_t domains = 0;
};

// Reads the text lists at `paths` and compiles their domains under `name`;
// "" or why not (a list cannot be read, none holds a domain).
[[nodiscard]] std::string CompileCategory(FileSteps& steps, const std::string& name,
                                          const std::vector<std::string>& paths,
                                          CategoryBuild* build);

// What was read, as lines: the counts, then the first lines skipped.
std::vector<std::string> DescribeCompile(const CategoryBuild& build);

// "35.2 MiB", "812.0 KiB", "600 bytes".
std::string SizeText(std::uint64_t bytes);

// A compiled file read whole, in memory aligned as a mapping is.
struct LoadedCategory {
  std::vector<std::uint64_t> words;
  CategoryView view;
  std::string refusal;  // why OpenCategoryFile refuses it; "" when `view` is valid
};

// Reads the file at `path` and checks it; kMissing and kFailed as FileSteps
// reads. The name in its header must be `name` when one is given, as the
// filter takes no file under another category's name.
FileRead LoadCategoryFile(FileSteps& steps, const std::string& path, const std::string& name,
                          LoadedCategory* loaded);

// A compiled file in a folder: the category it names and its serial.
struct CategoryFileEntry {
  std::string name;
  std::uint32_t serial = 0;
  FolderFile file;
};

// The compiled files among `files`, by name and then serial.
std::vector<CategoryFileEntry> CategoryFilesIn(const std::vector<FolderFile>& files);

// The files of `name` among `entries`, their names compared as Windows
// compares file names (letters' case folded): "Adult.1.tvcat" is the same
// file there as "adult.1.tvcat".
std::vector<CategoryFileEntry> FilesOf(const std::vector<CategoryFileEntry>& entries,
                                       const std::string& name);

// Writes `bytes` into `folder` (made where missing) as the new file of
// `name` with a serial above every one there: first under a temporary name,
// flushed, then renamed where nothing exists, so that no filter ever maps a
// part of it and no file is ever replaced. Fills `serial` and `path`; "" or
// the reason (then nothing is left behind but what cannot be removed, which
// the reason names).
[[nodiscard]] std::string WriteNewCategoryFile(FileSteps& steps, const std::string& folder,
                                               const std::string& name, const std::string& bytes,
                                               std::uint32_t* serial, std::string* path);

// Deletes the files of `name` in `folder` whose serial is below `below` (0:
// every one). A file still mapped by a filter goes when its last view does.
// Returns the names deleted; `failures` gets "NAME: reason" for the others.
std::vector<std::string> DeleteCategoryFiles(FileSteps& steps, const std::string& folder,
                                             const std::string& name, std::uint32_t below,
                                             std::vector<std::string>* failures);

// "category compile" and "category check", which need no filter.
std::vector<CommandSpec> CategoryFileCommands(FileSteps& steps);

}  // namespace tarvel::ctl
