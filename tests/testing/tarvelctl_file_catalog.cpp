#include "tests/testing/tarvelctl_file_catalog.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <type_traits>

#include "tools/tarvelctl/files.h"

namespace tarvel::ctl::testing {
namespace {

std::string Hex(std::uint32_t n) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(n));
  return text;
}

std::string EscapedName(const std::u16string& name) {
  std::string out;
  for (char16_t c : name) {
    if (c >= 0x20 && c < 0x7F && c != u'\\') {
      out += static_cast<char>(c);
      continue;
    }
    char code[8];
    std::snprintf(code, sizeof code, "\\u%04X", static_cast<unsigned>(c));
    out += code;
  }
  return out;
}

bool UnescapedName(const std::string& text, std::u16string* name) {
  name->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      name->push_back(static_cast<char16_t>(static_cast<unsigned char>(text[i])));
      continue;
    }
    if (text.compare(i, 2, "\\u") != 0 || i + 6 > text.size()) return false;
    unsigned code = 0;
    if (std::sscanf(text.substr(i + 2, 4).c_str(), "%4x", &code) != 1) return false;
    name->push_back(static_cast<char16_t>(code));
    i += 5;
  }
  return true;
}

std::string EntryLine(CatalogKind kind, const ProtocolRecord& r) {
  std::string chain = std::to_string(r.chain_length) + ":";
  for (int i = 0; i < kMaxChainLength; ++i)
    chain += (i > 0 ? "," : "") + std::to_string(r.chain[i]);
  std::string service;
  for (std::uint32_t f : r.service_flags) service += (service.empty() ? "" : ",") + Hex(f);
  return "entry " + KindName(kind) + " id=" + std::to_string(r.catalog_id) +
         " provider=" + r.provider_id.ToString() + " chain=" + chain +
         " family=" + std::to_string(r.address_family) + " type=" + std::to_string(r.socket_type) +
         " protocol=" + std::to_string(r.protocol) + " service=" + service +
         " flags=" + Hex(r.provider_flags) + " version=" + std::to_string(r.version) +
         " sockaddr=" + std::to_string(r.max_sockaddr) + "," + std::to_string(r.min_sockaddr) +
         " max-offset=" + std::to_string(r.protocol_max_offset) +
         " byte-order=" + std::to_string(r.network_byte_order) +
         " security=" + std::to_string(r.security_scheme) +
         " message-size=" + std::to_string(r.message_size) +
         " reserved=" + std::to_string(r.provider_reserved) + " name=" + EscapedName(r.name);
}

// Numbers separated by commas, each decimal or 0x hex.
bool Numbers(const std::string& text, std::vector<long long>* out) {
  out->clear();
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, ',')) {
    try {
      std::size_t used = 0;
      out->push_back(std::stoll(part, &used, 0));
      if (used != part.size()) return false;
    } catch (...) {
      return false;
    }
  }
  return !out->empty();
}

bool ReadEntry(const std::string& fields, ProtocolRecord* r) {
  const std::size_t name_at = fields.find(" name=");
  if (name_at == std::string::npos || !UnescapedName(fields.substr(name_at + 6), &r->name)) {
    return false;
  }
  std::istringstream in(fields.substr(0, name_at));
  std::string field;
  int seen = 0;
  while (in >> field) {
    const std::size_t equals = field.find('=');
    if (equals == std::string::npos) return false;
    const std::string key = field.substr(0, equals);
    const std::string value = field.substr(equals + 1);
    ++seen;
    if (key == "provider") {
      if (!Guid::Parse(value, &r->provider_id)) return false;
      continue;
    }
    std::vector<long long> n;
    const std::string numbers = key == "chain" ? value.substr(value.find(':') + 1) : value;
    if (!Numbers(numbers, &n)) return false;
    const auto one = [&](auto* field_value) {
      *field_value = static_cast<std::remove_pointer_t<decltype(field_value)>>(n[0]);
      return n.size() == 1;
    };
    if (key == "chain") {
      std::vector<long long> length;
      if (!Numbers(value.substr(0, value.find(':')), &length) || n.size() != kMaxChainLength) {
        return false;
      }
      r->chain_length = static_cast<std::int32_t>(length[0]);
      for (int i = 0; i < kMaxChainLength; ++i) r->chain[i] = static_cast<std::uint32_t>(n[i]);
    } else if (key == "service" && n.size() == 4) {
      for (int i = 0; i < 4; ++i) r->service_flags[i] = static_cast<std::uint32_t>(n[i]);
    } else if (key == "sockaddr" && n.size() == 2) {
      r->max_sockaddr = static_cast<std::int32_t>(n[0]);
      r->min_sockaddr = static_cast<std::int32_t>(n[1]);
    } else if (!((key == "id" && one(&r->catalog_id)) ||
                 (key == "family" && one(&r->address_family)) ||
                 (key == "type" && one(&r->socket_type)) ||
                 (key == "protocol" && one(&r->protocol)) ||
                 (key == "flags" && one(&r->provider_flags)) ||
                 (key == "version" && one(&r->version)) ||
                 (key == "max-offset" && one(&r->protocol_max_offset)) ||
                 (key == "byte-order" && one(&r->network_byte_order)) ||
                 (key == "security" && one(&r->security_scheme)) ||
                 (key == "message-size" && one(&r->message_size)) ||
                 (key == "reserved" && one(&r->provider_reserved)))) {
      return false;
    }
  }
  return seen == 15;
}

bool ReadKind(std::istringstream& in, CatalogKind* kind) {
  std::string text;
  in >> text;
  for (CatalogKind k : {CatalogKind::k64, CatalogKind::k32}) {
    if (text == KindName(k)) {
      *kind = k;
      return true;
    }
  }
  return false;
}

// The rest of the line after one blank.
std::string Rest(std::istringstream& in) {
  std::string rest;
  std::getline(in, rest);
  return rest.empty() ? rest : rest.substr(1);
}

bool ReadLine(const std::string& line, FakeWindows* w) {
  std::istringstream in(line);
  std::string item;
  in >> item;
  CatalogKind kind = CatalogKind::k64;
  if (!ReadKind(in, &kind)) return false;
  if (item == "next") {
    long long id = 0;
    if (!(in >> id)) return false;
    w->next_id[kind] = static_cast<std::uint32_t>(id);
    w->state.catalogs[kind];
    w->state.values[kind];
    w->state.key_exists[kind] = false;
    return true;
  }
  if (w->state.catalogs.count(kind) == 0) return false;  // its "next" line comes first
  if (item == "entry") {
    ProtocolRecord r;
    if (!ReadEntry(Rest(in), &r)) return false;
    w->state.catalogs[kind].push_back(r);
    return true;
  }
  if (item == "lookup-key") {
    w->state.key_exists[kind] = true;
    return true;
  }
  std::string word;
  in >> word;
  const std::string rest = Rest(in);
  Guid guid;
  if (item == "module" && Guid::Parse(word, &guid) && !rest.empty()) {
    w->paths[kind][guid.ToString()] = rest;
    return true;
  }
  if (item == "category" && Guid::Parse(word, &guid)) {
    std::vector<long long> n;
    if (!Numbers(rest, &n) || n.size() != 1) return false;
    w->categories[kind][guid.ToString()] = static_cast<std::uint32_t>(n[0]);
    return true;
  }
  if (item == "lookup" && !word.empty() && !rest.empty()) {
    w->state.values[kind][word] = rest;
    return true;
  }
  return false;
}

}  // namespace

std::string CatalogFileText(const FakeWindows& w) {
  std::string text =
      "# The Winsock catalogs and lookup values of tarvelctl_filecatalog.exe;\n"
      "# the format is described in tests/testing/tarvelctl_file_catalog.h.\n";
  for (const auto& [kind, records] : w.state.catalogs) {
    const auto next = w.next_id.find(kind);
    text += "next " + KindName(kind) + " " +
            std::to_string(next == w.next_id.end() ? 0 : next->second) + "\n";
    for (const ProtocolRecord& r : records) text += EntryLine(kind, r) + "\n";
    std::vector<std::string> written;
    for (const ProtocolRecord& r : records) {
      const std::string guid = r.provider_id.ToString();
      const auto paths = w.paths.find(kind);
      if (paths == w.paths.end() || paths->second.count(guid) == 0) continue;
      if (std::find(written.begin(), written.end(), guid) != written.end()) continue;
      written.push_back(guid);
      text += "module " + KindName(kind) + " " + guid + " " + paths->second.at(guid) + "\n";
    }
    const auto categories = w.categories.find(kind);
    for (const std::string& guid : written) {
      if (categories == w.categories.end() || categories->second.count(guid) == 0) continue;
      text += "category " + KindName(kind) + " " + guid + " " +
              std::to_string(categories->second.at(guid)) + "\n";
    }
    const auto key = w.state.key_exists.find(kind);
    if (key != w.state.key_exists.end() && key->second)
      text += "lookup-key " + KindName(kind) + "\n";
    const auto values = w.state.values.find(kind);
    if (values != w.state.values.end()) {
      for (const auto& [name, data] : values->second) {
        text += "lookup " + KindName(kind) + " " + name + " " + data + "\n";
      }
    }
  }
  return text;
}

std::string ReadCatalogFile(const std::string& text, FakeWindows* windows) {
  FakeWindows read;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (!ReadLine(line, &read)) return "line " + std::to_string(number) + " does not read: " + line;
  }
  if (read.state.catalogs.empty()) return "it names no catalog";
  read.environment = windows->environment;
  *windows = read;
  return "";
}

std::string FileCatalog::Load(const std::string& path) {
  path_ = path;
  std::string text;
  std::string error;
  switch (ReadWholeFile(path, &text, &error)) {
    case FileRead::kMissing:
      windows_ = FakeWindows::Windows64();
      return "";
    case FileRead::kFailed:
      return error;
    case FileRead::kOk:
      break;
  }
  error = ReadCatalogFile(text, &windows_);
  return error.empty() ? "" : path + ": " + error;
}

std::string FileCatalog::Saved(const std::string& error) {
  std::string folder = path_.substr(0, path_.find_last_of("\\/"));
  std::string saved = PlatformFileSteps().MakeFolders(folder);
  if (saved.empty()) saved = ReplaceFileWith(path_, CatalogFileText(windows_));
  if (!error.empty() || saved.empty()) return error;
  return "cannot save the catalogs to " + path_ + ": " + saved;
}

}  // namespace tarvel::ctl::testing
