#include "tools/make_list_file/list_text.h"

#include "state/filter_state.h"
#include "state/list_file.h"

namespace tarvel {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trimmed(std::string_view line) {
  while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
  while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
  return line;
}

void AppendRecord(std::string& file, std::string_view text) {
  file.append(text);
  file.append(kListRecordBytes - text.size(), '\0');
}

}  // namespace

bool MakeListFile(std::string_view text, std::string& file, std::string& error) {
  std::string out;
  AppendRecord(out, std::string_view(kListFileMagic, kListMagicBytes));
  int entries = 0;
  int line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const std::size_t end = text.find('\n');
    const std::string_view pattern = Trimmed(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (pattern.empty() || pattern.front() == '#') continue;
    const std::string where = "line " + std::to_string(line_number) + ": ";
    if (pattern.find('\0') != std::string_view::npos) {
      error = where + "a NUL byte";
      return false;
    }
    if (pattern.size() > static_cast<std::size_t>(kListRecordBytes)) {
      error = where + "a pattern of " + std::to_string(pattern.size()) +
              " characters; at most 100 fit a record";
      return false;
    }
    if (++entries > kListSlots) {
      error = where + "more than 2000 patterns; the filter loads only the first 2000";
      return false;
    }
    AppendRecord(out, pattern);
  }
  file = std::move(out);
  return true;
}

}  // namespace tarvel
