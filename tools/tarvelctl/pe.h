// Just enough of the PE image format to check a module before it is
// installed and to find tarvel.dll's shared block in a loaded module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarvel::ctl {

inline constexpr std::uint16_t kMachineX64 = 0x8664;
inline constexpr std::uint16_t kMachineX86 = 0x014C;

// The machine field of a PE image's file header, or 0 when `image` (a file's
// or a mapped image's first bytes) does not hold a PE header.
std::uint16_t PeMachine(std::string_view image);

// The relative address and size of the section named `name` (at most 8
// characters) in the headers at the start of `image`. False when there is
// no PE header or no such section.
bool FindPeSection(std::string_view image, std::string_view name, std::uint32_t* rva,
                   std::uint32_t* size);

}  // namespace tarvel::ctl
