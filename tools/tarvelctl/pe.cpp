#include "tools/tarvelctl/pe.h"

#include <cstring>

namespace tarvel::ctl {
namespace {

constexpr std::size_t kFileHeaderBytes = 20;
constexpr std::size_t kSectionHeaderBytes = 40;

bool ReadU16(std::string_view s, std::size_t at, std::uint16_t* v) {
  if (at > s.size() || s.size() - at < 2) return false;
  *v = static_cast<std::uint16_t>(static_cast<unsigned char>(s[at]) |
                                  static_cast<unsigned char>(s[at + 1]) << 8);
  return true;
}

bool ReadU32(std::string_view s, std::size_t at, std::uint32_t* v) {
  std::uint16_t low = 0;
  std::uint16_t high = 0;
  if (!ReadU16(s, at, &low) || !ReadU16(s, at + 2, &high)) return false;
  *v = static_cast<std::uint32_t>(low) | static_cast<std::uint32_t>(high) << 16;
  return true;
}

// Offset of the file header behind "PE\0\0", or 0.
std::size_t FileHeader(std::string_view image) {
  std::uint32_t pe = 0;
  if (image.substr(0, 2) != "MZ" || !ReadU32(image, 0x3C, &pe)) return 0;
  if (image.size() < kFileHeaderBytes || pe > image.size() - kFileHeaderBytes - 4) return 0;
  if (image.substr(pe, 4) != std::string_view("PE\0\0", 4)) return 0;
  return pe + 4;
}

}  // namespace

std::uint16_t PeMachine(std::string_view image) {
  const std::size_t header = FileHeader(image);
  std::uint16_t machine = 0;
  if (header == 0 || !ReadU16(image, header, &machine)) return 0;
  return machine;
}

bool FindPeSection(std::string_view image, std::string_view name, std::uint32_t* rva,
                   std::uint32_t* size) {
  const std::size_t header = FileHeader(image);
  std::uint16_t sections = 0;
  std::uint16_t optional_bytes = 0;
  if (header == 0 || name.size() > 8 || !ReadU16(image, header + 2, &sections) ||
      !ReadU16(image, header + 16, &optional_bytes)) {
    return false;
  }
  std::size_t at = header + kFileHeaderBytes + optional_bytes;
  for (std::uint16_t i = 0; i < sections; ++i, at += kSectionHeaderBytes) {
    if (at > image.size() || image.size() - at < kSectionHeaderBytes) return false;
    const std::string_view field = image.substr(at, 8);
    const std::string_view section_name = field.substr(0, field.find('\0'));
    if (section_name != name) continue;
    return ReadU32(image, at + 8, size) && ReadU32(image, at + 12, rva);
  }
  return false;
}

}  // namespace tarvel::ctl
