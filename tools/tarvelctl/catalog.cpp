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

bool Guid::Parse(const std::string& text, Guid* guid) {
  // Hex digits at every place but the braces and the four dashes.
  constexpr char kShape[] = "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
  if (text.size() != sizeof kShape - 1) return false;
  std::uint64_t digits[2] = {};  // the first 16 digits, then the last 16
  int count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (kShape[i] != 'x') {
      if (c != kShape[i]) return false;
      continue;
    }
    int value = -1;
    if (c >= '0' && c <= '9') value = c - '0';
    if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
    if (value < 0) return false;
    digits[count / 16] = digits[count / 16] << 4 | static_cast<std::uint64_t>(value);
    ++count;
  }
  guid->data1 = static_cast<std::uint32_t>(digits[0] >> 32);
  guid->data2 = static_cast<std::uint16_t>(digits[0] >> 16);
  guid->data3 = static_cast<std::uint16_t>(digits[0]);
  for (int i = 0; i < 8; ++i) guid->data4[i] = static_cast<std::uint8_t>(digits[1] >> (56 - 8 * i));
  return true;
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
