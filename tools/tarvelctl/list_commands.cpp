#include "tools/tarvelctl/list_commands.h"

#include "tools/tarvelctl/read_rights.h"

#include <map>
#include <unordered_map>
#include <unordered_set>

#include "tools/tarvelctl/files.h"
#include "tools/tarvelctl/patterns.h"

namespace tarvel::ctl {
namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string Plural(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Reads an existing list file with a valid header into `list`.
bool ReadListFile(const std::string& path, ListFile* list, Console& console, int* code) {
  std::string bytes;
  std::string error;
  switch (ReadWholeFile(path, &bytes, &error)) {
    case FileRead::kMissing:
      *code = Fail(console, "no file at " + path);
      return false;
    case FileRead::kFailed:
      *code = Fail(console, error);
      return false;
    case FileRead::kOk:
      break;
  }
  *list = ParseListFile(bytes);
  if (list->header != HeaderState::kValid) {
    *code = Fail(console, path + " is not a tarvel list file: " + DescribeHeader(list->header));
    return false;
  }
  return true;
}

int NewList(const Invocation& in, Console& console) {
  const std::string& path = in.operands[0];
  std::string bytes;
  std::string error;
  const FileRead read = ReadWholeFile(path, &bytes, &error);
  if (read == FileRead::kFailed) return Fail(console, error);
  if (read == FileRead::kOk && !in.Has("--force")) {
    return Fail(console, path + " exists; add --force to replace it with an empty list");
  }
  error = ReplaceFileWith(path, SerializeListFile(NewListFile()));
  if (!error.empty()) return Fail(console, error);
  console.out << path << ": an empty list\n";
  return kExitOk;
}

int ImportList(const Invocation& in, Console& console) {
  const std::string& text_path = in.operands[0];
  const std::string& path = in.operands[1];
  std::string text;
  std::string error;
  switch (ReadWholeFile(text_path, &text, &error)) {
    case FileRead::kMissing:
      return Fail(console, "no file at " + text_path);
    case FileRead::kFailed:
      return Fail(console, error);
    case FileRead::kOk:
      break;
  }
  PatternText read;
  error = ReadPatternText(text, &read);
  if (!error.empty()) return Fail(console, text_path + " " + error);

  ListFile list = NewListFile();
  std::string bytes;
  const FileRead existing = ReadWholeFile(path, &bytes, &error);
  if (existing == FileRead::kFailed) return Fail(console, error);
  if (existing == FileRead::kOk) {
    list = ParseListFile(bytes);
    if (list.header != HeaderState::kValid) {
      return Fail(console, path + " is not a tarvel list file (" + DescribeHeader(list.header) +
                               "); it is left as it is");
    }
    if (in.Has("--replace")) list.entries.clear();
  }
  const std::size_t trailing = list.trailing_bytes;
  std::unordered_set<std::string> listed(list.entries.begin(), list.entries.end());
  std::size_t added = 0;
  std::size_t already = 0;
  for (const std::string& pattern : read.patterns) {
    if (!listed.insert(pattern).second) {
      ++already;
      continue;
    }
    list.entries.push_back(pattern);
    ++added;
  }
  if (list.entries.size() > kMaxLoadedEntries) {
    return Fail(console, path + " would hold " + std::to_string(list.entries.size()) +
                             " entries; the filter loads at most " +
                             std::to_string(kMaxLoadedEntries) + ", so nothing was imported");
  }
  error = ReplaceFileWith(path, SerializeListFile(list));
  if (!error.empty()) return Fail(console, error);

  console.out << path << ": imported " << Plural(added, "pattern", "patterns");
  const std::size_t skipped = already + static_cast<std::size_t>(read.duplicates);
  if (skipped > 0) console.out << ", " << skipped << " already listed";
  if (read.local_names > 0) {
    console.out << ", "
                << Plural(static_cast<std::size_t>(read.local_names), "local name", "local names")
                << " of a hosts file skipped";
  }
  console.out << "; the list holds " << Plural(list.entries.size(), "entry", "entries") << "\n";
  if (trailing > 0) {
    console.out << "dropped " << Plural(trailing, "byte", "bytes")
                << " after the last whole record, which the filter ignored\n";
  }
  return kExitOk;
}

int ExportList(const Invocation& in, Console& console) {
  ListFile list;
  int code = kExitOk;
  if (!ReadListFile(in.operands[0], &list, console, &code)) return code;
  for (std::size_t i = 0; i < list.entries.size(); ++i) {
    const std::string problem = PatternProblem(list.entries[i]);
    if (problem.empty()) {
      console.out << list.entries[i] << '\n';
    } else {
      console.err << "tarvelctl: record " << i + 1 << " left out: " << problem << '\n';
    }
  }
  if (list.entries.size() > kMaxLoadedEntries) {
    console.err << "tarvelctl: records " << kMaxLoadedEntries + 1 << " to " << list.entries.size()
                << " are exported but the filter never loads them\n";
  }
  return kExitOk;
}

int CheckList(const Invocation& in, Console& console) {
  const std::string& path = in.operands[0];
  bool loads = false;
  console.out << path << ": " << DescribeListFileLoad(path, &loads) << '\n';
  std::string bytes;
  std::string error;
  if (ReadWholeFile(path, &bytes, &error) == FileRead::kOk) {
    const ListFile list = ParseListFile(bytes);
    if (list.header == HeaderState::kValid) {
      for (const std::string& finding : ListFileFindings(list)) {
        console.out << "  " << finding << '\n';
      }
    }
  }
  return loads ? kExitOk : kExitFailed;
}

}  // namespace

std::string DescribeListFileLoad(const std::string& path, bool* loads) {
  *loads = false;
  if (path.empty()) return "does not load: no path is set";
  std::string bytes;
  std::string error;
  switch (ReadWholeFile(path, &bytes, &error)) {
    case FileRead::kMissing:
      return "does not load: no file at " + path;
    case FileRead::kFailed:
      return "does not load: " + error;
    case FileRead::kOk:
      break;
  }
  switch (FilterOpenOf(path)) {
    case ListFileOpen::kReadOnly:
      return "does not load: the file is read-only, and the filter refuses a read-only list file";
    case ListFileOpen::kNotOpened:
      return "does not load: the filter cannot open it for reading";
    case ListFileOpen::kOpened:
      break;
  }
  const ListFile list = ParseListFile(bytes);
  if (list.header != HeaderState::kValid) return "does not load: " + DescribeHeader(list.header);
  *loads = true;
  std::string text = "loads: " + Plural(list.LoadedCount(), "entry", "entries");
  if (list.entries.size() > kMaxLoadedEntries) {
    text += " (" +
            Plural(list.entries.size() - kMaxLoadedEntries, "further record", "further records") +
            " ignored)";
  }
  const std::string warning = ReadRightsWarning(path);
  if (!warning.empty()) text += "; " + warning;
  return text;
}

std::vector<std::string> ListFileFindings(const ListFile& list) {
  std::vector<std::string> findings;
  findings.push_back("records: " + Plural(list.entries.size(), "entry record", "entry records") +
                     " after the header");
  if (list.entries.size() > kMaxLoadedEntries) {
    findings.push_back("beyond 2000: records " + std::to_string(kMaxLoadedEntries + 1) + " to " +
                       std::to_string(list.entries.size()) + " are never loaded");
  }
  if (list.trailing_bytes > 0) {
    findings.push_back("trailing partial record: " + Plural(list.trailing_bytes, "byte", "bytes") +
                       " after the last whole record, ignored");
  }
  std::unordered_map<std::string, std::size_t> first_record;
  for (std::size_t i = 0; i < list.entries.size(); ++i) {
    const std::string& text = list.entries[i];
    const std::string record = "record " + std::to_string(i + 1) + ": ";
    if (text.empty()) {
      findings.push_back(record +
                         "empty entry: in a whitelist it lets every host through, in a blacklist "
                         "it blocks nothing");
      continue;
    }
    const std::string problem = PatternProblem(text);
    if (!problem.empty()) findings.push_back(record + problem);
    const auto [it, inserted] = first_record.emplace(text, i + 1);
    if (!inserted && problem.empty()) {
      findings.push_back(record + Quoted(text) + " repeats record " + std::to_string(it->second));
    }
  }
  return findings;
}

std::vector<CommandSpec> ListCommands() {
  std::vector<CommandSpec> commands;
  commands.push_back(
      {"list new",
       "FILE",
       1,
       1,
       {"--force"},
       {},
       "make FILE an empty list file",
       "Writes the list file header and no entries. An existing FILE is kept unless --force\n"
       "is given.\n",
       NewList});
  commands.push_back(
      {"list import",
       "TEXT FILE",
       2,
       2,
       {"--replace"},
       {},
       "add the host patterns of a text file to a list file",
       "TEXT holds one host pattern per line. Blank lines and everything from '#' to the end\n"
       "of a line are skipped. Hosts-file lines such as \"0.0.0.0 example.org\" give their\n"
       "host names; names such as localhost are left out. A pattern matches every host that\n"
       "contains it, ignoring case; '*' and '?' are wildcards.\n"
       "\n"
       "FILE is created when it does not exist; otherwise the new patterns are appended and\n"
       "those already listed are skipped, or with --replace they take the place of its\n"
       "entries. Nothing is written when a pattern is refused (longer than 100 characters,\n"
       "or holding a blank, control or non-ASCII character; the line is named) or when the\n"
       "list would hold more than 2000 entries.\n",
       ImportList});
  commands.push_back(
      {"list export",
       "FILE",
       1,
       1,
       {},
       {},
       "print the entries of a list file, one per line",
       "The output can be given to \"list import\" again. Entries that cannot be written as\n"
       "one pattern on a line (empty, or holding blanks or control characters) are left out\n"
       "and named on the error stream.\n",
       ExportList});
  commands.push_back(
      {"list check",
       "FILE",
       1,
       1,
       {},
       {},
       "tell whether the filter loads a list file, and what it holds",
       "Reports the header, the number of records, entries past the 2000 that the filter\n"
       "loads, a trailing partial record, and empty, unusual or repeated entries. The exit\n"
       "code is 0 when the filter would load the file and 1 when it would refuse it.\n",
       CheckList});
  return commands;
}

}  // namespace tarvel::ctl
