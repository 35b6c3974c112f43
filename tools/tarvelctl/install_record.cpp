#include "tools/tarvelctl/install_record.h"

namespace tarvel::ctl {
namespace {

// The text up to the first blank, and the rest after it (`rest` may be
// `line` itself).
std::string Word(const std::string& line, std::string* rest) {
  const std::size_t blank = line.find(' ');
  std::string word = line.substr(0, blank);
  *rest = blank == std::string::npos ? "" : line.substr(blank + 1);
  return word;
}

bool ParseKind(const std::string& text, CatalogKind* kind) {
  for (CatalogKind k : {CatalogKind::k64, CatalogKind::k32}) {
    if (text == KindName(k)) {
      *kind = k;
      return true;
    }
  }
  return false;
}

bool ParseLine(const std::string& line, InstallRecord* record) {
  std::string rest;
  const std::string item = Word(line, &rest);
  if (item == "module") {
    ModulePath m;
    if (!ParseKind(Word(rest, &rest), &m.kind) || !Guid::Parse(Word(rest, &m.path), &m.provider) ||
        m.path.empty()) {
      return false;
    }
    record->modules.push_back(m);
    return true;
  }
  if (item == "setting") {
    InstallRecord::Setting s;
    if (!ParseKind(Word(rest, &rest), &s.view)) return false;
    s.name = Word(rest, &s.value);
    s.present = rest.find(' ') != std::string::npos;
    if (s.name.empty()) return false;
    record->settings.push_back(s);
    return true;
  }
  if (item == "list") {
    const std::size_t bar = rest.find('|');
    if (bar == std::string::npos || bar == 0) return false;
    record->lists.push_back({rest.substr(0, bar), rest.substr(bar + 1)});
    return true;
  }
  if (item == "browsers" && (rest == "none" || rest == "applied")) {
    record->browsers =
        rest == "none" ? InstallRecord::Browsers::kNone : InstallRecord::Browsers::kApplied;
    return true;
  }
  return false;
}

}  // namespace

std::string RecordText(const InstallRecord& record) {
  std::string text = record.added ? "added\n" : "replaced\n";
  for (const ModulePath& m : record.modules) {
    text += "module " + KindName(m.kind) + " " + m.provider.ToString() + " " + m.path + "\n";
  }
  for (const InstallRecord::Setting& s : record.settings) {
    text += "setting " + KindName(s.view) + " " + s.name + (s.present ? " " + s.value : "") + "\n";
  }
  for (const InstallRecord::List& l : record.lists)
    text += "list " + l.path + "|" + l.backup + "\n";
  if (record.browsers != InstallRecord::Browsers::kUntouched) {
    text += record.browsers == InstallRecord::Browsers::kNone ? "browsers none\n"
                                                              : "browsers applied\n";
  }
  return text;
}

bool ParseRecord(const std::string& text, InstallRecord* record) {
  *record = {};
  std::size_t start = 0;
  bool first = true;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    start = end + 1;
    if (line.empty()) continue;
    if (first) {
      if (line != "added" && line != "replaced") return false;
      record->added = line == "added";
      first = false;
    } else if (!ParseLine(line, record)) {
      return false;
    }
  }
  return !first;
}

}  // namespace tarvel::ctl
