#include "tools/tarvelctl/category_files.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "filter/ascii.h"
#include "state/categories.h"

namespace tarvel::ctl {
namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Folded(std::string text) {
  for (char& c : text) c = ToLowerAscii(c);
  return text;
}

// Several attempts cover names that other runs took meanwhile.
constexpr int kNameAttempts = 100;

// Makes an empty temporary file in `folder`, named for this process and
// call; "" or the reason.
std::string CreateTemp(FileSteps& steps, const std::string& folder, const std::string& name,
                       std::string* temp) {
  static unsigned attempt_counter = 0;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    *temp = InFolder(folder, name + ".tarvelctl-" + std::to_string(steps.ProcessId()) + "-" +
                                 std::to_string(attempt_counter++) + ".new");
    std::string error;
    switch (steps.CreateNew(*temp, &error)) {
      case FileSteps::Created::kOk:
        return "";
      case FileSteps::Created::kExists:
        continue;
      case FileSteps::Created::kFailed:
        return "cannot create " + *temp + ": " + error;
    }
  }
  return "cannot create a temporary file in " + folder + ": every name tried is taken";
}

// The reason with the temporary file removed, or named when it stays.
std::string WithoutTemp(FileSteps& steps, const std::string& temp, std::string reason) {
  const std::string error = steps.Remove(temp);
  if (!error.empty()) reason += "; " + temp + " is left behind: " + error;
  return reason;
}

int CompileCommand(FileSteps& steps, const Invocation& in, Console& console) {
  const std::string& name = in.operands[0];
  const std::string& out = in.operands[1];
  if (!IsCategoryName(name.c_str())) {
    return Fail(console,
                Quoted(name) + " is no category name: 1 to 32 letters, digits, '-' and '_'",
                kExitUsage);
  }
  if (steps.Exists(out)) return Fail(console, out + " exists; a compiled file is never replaced");
  CategoryBuild build;
  const std::string error = CompileCategory(
      steps, name, std::vector<std::string>(in.operands.begin() + 2, in.operands.end()), &build);
  for (const std::string& line : DescribeCompile(build)) console.out << line << '\n';
  if (!error.empty()) return Fail(console, error);
  // The temporary file beside the target, then a rename that never replaces.
  const std::size_t separator = out.find_last_of("\\/");
  const std::string folder = separator == std::string::npos ? "." : out.substr(0, separator + 1);
  std::string temp;
  std::string failure = CreateTemp(steps, folder, name, &temp);
  if (!failure.empty()) return Fail(console, failure);
  failure = steps.WriteFlushed(temp, build.bytes);
  if (!failure.empty()) {
    return Fail(console, WithoutTemp(steps, temp, "cannot write " + temp + ": " + failure));
  }
  failure = steps.Move(temp, out);
  if (!failure.empty()) {
    return Fail(console, WithoutTemp(steps, temp, "cannot create " + out + ": " + failure));
  }
  console.out << "compiled " << name << ": " << build.domains << " domains, "
              << SizeText(build.bytes.size()) << ", into " << out << '\n';
  return kExitOk;
}

int CheckCommand(FileSteps& steps, const Invocation& in, Console& console) {
  const std::string& path = in.operands[0];
  LoadedCategory loaded;
  switch (LoadCategoryFile(steps, path, "", &loaded)) {
    case FileRead::kMissing:
      return Fail(console, "no file at " + path);
    case FileRead::kFailed:
      return Fail(console, "cannot read " + path);
    case FileRead::kOk:
      break;
  }
  if (!loaded.view.valid()) return Fail(console, path + " is refused: " + loaded.refusal);
  const std::string name = loaded.view.header->name;
  console.out << path << ": category " << name << ", " << loaded.view.count << " domains, "
              << SizeText(loaded.view.header->file_bytes) << "; every check passes\n";
  const std::string file = path.substr(path.find_last_of("\\/") + 1);
  const std::vector<CategoryFileEntry> entries = CategoryFilesIn({{file, 0, 0}});
  if (!entries.empty() && entries[0].name != name) {
    console.out << "Note: its file name is that of the category " << entries[0].name
                << ", under which the filter refuses it.\n";
  } else if (entries.empty()) {
    console.out << "Note: the filter reads it only under a name such as "
                << CategoryFileName(name.c_str(), 1) << " in its categories folder.\n";
  }
  return kExitOk;
}

}  // namespace

std::string InFolder(const std::string& folder, const std::string& name) {
#ifdef _WIN32
  constexpr char kSeparator = '\\';
#else
  constexpr char kSeparator = '/';
#endif
  if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder + name;
  return folder + kSeparator + name;
}

std::string CompileCategory(FileSteps& steps, const std::string& name,
                            const std::vector<std::string>& paths, CategoryBuild* build) {
  build->paths = paths;
  for (const std::string& path : paths) {
    std::string text;
    switch (steps.Read(path, &text)) {
      case FileRead::kMissing:
        return "no file at " + path;
      case FileRead::kFailed:
        return "cannot read " + path;
      case FileRead::kOk:
        break;
    }
    const std::size_t shown = build->text.first_skipped.size();
    ReadCategoryText(text, &build->text);
    for (std::size_t i = shown; i < build->text.first_skipped.size(); ++i) {
      build->text.first_skipped[i] = path + ", " + build->text.first_skipped[i];
    }
  }
  FinishCategoryText(&build->text);
  std::vector<std::string>& domains = build->text.domains;
  if (domains.empty()) return "the lists hold no domain, so no category is compiled";
  std::uint64_t text_bytes = 0;
  for (const std::string& d : domains) text_bytes += 1 + d.size();
  if (text_bytes > std::numeric_limits<std::uint32_t>::max()) {
    return "the lists hold more text than one category file takes (4 GiB)";
  }
  const std::vector<unsigned char> file = BuildCategoryFile(name, domains);
  build->domains = static_cast<std::uint32_t>(domains.size());
  // The domains are in the file now; their memory goes before the copy.
  std::vector<std::string>().swap(domains);
  build->bytes.assign(file.begin(), file.end());
  return "";
}

std::vector<std::string> DescribeCompile(const CategoryBuild& build) {
  const CategoryText& t = build.text;
  std::string files;
  for (const std::string& path : build.paths) files += (files.empty() ? "" : ", ") + path;
  const std::size_t kept = build.domains != 0 ? build.domains : t.domains.size();
  std::vector<std::string> lines;
  lines.push_back("read " + files + ": " + std::to_string(t.entries) + " entries; " +
                  std::to_string(kept) + " domains kept, " + std::to_string(t.dropped) +
                  " dropped (duplicates and domains under another), " + std::to_string(t.skipped) +
                  " skipped (no host name, or a rule of no known form)");
  for (const std::string& line : t.first_skipped) lines.push_back("  skipped: " + line);
  if (t.skipped > t.first_skipped.size()) {
    lines.push_back("  ... and " + std::to_string(t.skipped - t.first_skipped.size()) +
                    " more skipped");
  }
  return lines;
}

std::string SizeText(std::uint64_t bytes) {
  char text[32];
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
  }
  return text;
}

FileRead LoadCategoryFile(FileSteps& steps, const std::string& path, const std::string& name,
                          LoadedCategory* loaded) {
  std::string bytes;
  const FileRead read = steps.Read(path, &bytes);
  if (read != FileRead::kOk) return read;
  loaded->words.assign((bytes.size() + 7) / 8, 0);
  std::memcpy(loaded->words.data(), bytes.data(), bytes.size());
  const std::size_t size = bytes.size();
  std::string().swap(bytes);
  loaded->view = OpenCategoryFile(loaded->words.data(), size, &loaded->refusal);
  if (loaded->view.valid() && !name.empty() && name != loaded->view.header->name) {
    loaded->refusal = "it holds the category " + std::string(loaded->view.header->name);
    loaded->view = CategoryView{};
  }
  return FileRead::kOk;
}

std::vector<CategoryFileEntry> CategoryFilesIn(const std::vector<FolderFile>& files) {
  std::vector<CategoryFileEntry> entries;
  const std::size_t suffix = std::strlen(kCategoryFileSuffix);
  for (const FolderFile& file : files) {
    const std::string& n = file.name;
    if (n.size() <= suffix || n.compare(n.size() - suffix, suffix, kCategoryFileSuffix) != 0) {
      continue;
    }
    const std::size_t dot = n.rfind('.', n.size() - suffix - 1);
    if (dot == std::string::npos) continue;
    const std::string name = n.substr(0, dot);
    if (!IsCategoryName(name.c_str())) continue;
    const std::uint32_t serial = CategoryFileSerial(name.c_str(), n.c_str());
    if (serial != 0) entries.push_back({name, serial, file});
  }
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return a.name != b.name ? a.name < b.name : a.serial < b.serial;
  });
  return entries;
}

std::vector<CategoryFileEntry> FilesOf(const std::vector<CategoryFileEntry>& entries,
                                       const std::string& name) {
  std::vector<CategoryFileEntry> of;
  const std::string folded = Folded(name);
  for (const CategoryFileEntry& e : entries) {
    if (Folded(e.name) == folded) of.push_back(e);
  }
  return of;
}

std::string WriteNewCategoryFile(FileSteps& steps, const std::string& folder,
                                 const std::string& name, const std::string& bytes,
                                 std::uint32_t* serial, std::string* path) {
  std::string error = steps.MakeFolders(folder);
  if (!error.empty()) return "cannot create the folder " + folder + ": " + error;
  std::vector<FolderFile> files;
  if (steps.ListFolder(folder, &files, &error) == FileRead::kFailed) return error;
  std::uint32_t highest = 0;
  for (const CategoryFileEntry& e : FilesOf(CategoryFilesIn(files), name)) {
    highest = std::max(highest, e.serial);
  }
  std::string temp;
  error = CreateTemp(steps, folder, name, &temp);
  if (!error.empty()) return error;
  error = steps.WriteFlushed(temp, bytes);
  if (!error.empty()) return WithoutTemp(steps, temp, "cannot write " + temp + ": " + error);
  // A name another run took meanwhile is passed over, never replaced; so is
  // one whose deleted file is still held open (Windows keeps its name until
  // the last handle goes, and refuses a new file under it).
  std::string first_failure;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    if (highest == std::numeric_limits<std::uint32_t>::max()) break;
    *serial = ++highest;
    *path = InFolder(folder, CategoryFileName(name.c_str(), *serial));
    if (steps.Exists(*path)) continue;
    error = steps.Move(temp, *path);
    if (error.empty()) return "";
    if (first_failure.empty()) first_failure = "cannot create " + *path + ": " + error;
  }
  if (first_failure.empty()) first_failure = "no serial is left for a new file of " + name;
  return WithoutTemp(steps, temp, first_failure);
}

std::vector<std::string> DeleteCategoryFiles(FileSteps& steps, const std::string& folder,
                                             const std::string& name, std::uint32_t below,
                                             std::vector<std::string>* failures) {
  std::vector<std::string> deleted;
  std::vector<FolderFile> files;
  std::string error;
  if (steps.ListFolder(folder, &files, &error) != FileRead::kOk) return deleted;
  for (const CategoryFileEntry& e : CategoryFilesIn(files)) {
    if (e.name != name || (below != 0 && e.serial >= below)) continue;
    error = steps.Remove(InFolder(folder, e.file.name));
    if (error.empty()) {
      deleted.push_back(e.file.name);
    } else {
      failures->push_back(e.file.name + ": " + error);
    }
  }
  return deleted;
}

std::vector<CommandSpec> CategoryFileCommands(FileSteps& steps) {
  std::vector<CommandSpec> commands;
  commands.push_back(
      {"category compile",
       "NAME FILE TEXTFILE...",
       3,
       1 << 16,
       {},
       {},
       "compile text lists of domains into a category file, without a filter",
       "Reads the text lists (hosts files: \"0.0.0.0 host\", \"127.0.0.1 a b\"; plain\n"
       "domains, one a line; adblock rules \"||domain^\"; \"*.domain\"; comments after '#',\n"
       "'!' or ';') and writes their domains, each once and none under another of them,\n"
       "as the compiled category NAME to FILE, which must not exist. A domain blocks\n"
       "itself and every name under it. Entries that are no host name (an address,\n"
       "localhost, a single label) and other adblock rules are skipped and counted.\n"
       "To use the file, put it into the filter's categories folder as\n"
       "NAME.SERIAL.tvcat and run \"tarvelctl category publish NAME\".\n",
       [&steps](const Invocation& in, Console& c) { return CompileCommand(steps, in, c); }});
  commands.push_back(
      {"category check",
       "FILE",
       1,
       1,
       {},
       {},
       "check a compiled category file as the filter does",
       "Reads the file whole and makes every check the filter makes before it maps one\n"
       "(header, sizes, index, every entry, checksum): prints its category's name, its\n"
       "number of domains and its size, or why the filter refuses it (exit code 1).\n",
       [&steps](const Invocation& in, Console& c) { return CheckCommand(steps, in, c); }});
  return commands;
}

}  // namespace tarvel::ctl
