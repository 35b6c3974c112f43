#include "tools/tarvelctl/catalog.h"

#include <algorithm>
#include <cstdio>

namespace tarvel::ctl {

std::string Guid::ToString() const {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(data1), data2, data3, data4[0], data4[1], data4[2], data4[3],
                data4[4], data4[5], data4[6], data4[7]);
  return text;
}

std::uint32_t ProtocolRecord::LowerId() const {
  if (chain_length <= 1) return catalog_id;
  return chain[std::min(chain_length, kMaxChainLength) - 1];
}

std::string AsciiName(const std::u16string& name) {
  std::string out;
  for (char16_t c : name) {
    if (c == 0) break;
    out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
  }
  return out;
}

std::string KindName(CatalogKind kind) { return kind == CatalogKind::k64 ? "64-bit" : "32-bit"; }

}  // namespace tarvel::ctl
