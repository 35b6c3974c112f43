// Which registry value names the module beneath this layer.
#pragma once

#include <cstdint>

namespace tarvel {

inline constexpr int kMaxProtocolChain = 7;

// The key under HKEY_LOCAL_MACHINE whose values name the lower modules, one
// per base catalog entry id; written by the installer, read at start-up.
inline constexpr char kLowerPathsKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\WinSock2\\tarvel.dll";

// The room for a lookup value's text as stored, the NUL included; a longer
// value fails start-up.
inline constexpr int kStoredPathBytes = 260;
// The room for the lower module's path after its environment references are
// expanded, the NUL included. A path whose expansion does not fit is never
// loaded (start-up fails); tarvelctl refuses to write one.
inline constexpr int kModulePathBytes = 512;

// The catalog entry id whose value names the lower module: the chain's last
// entry for a chain of two or more (the base provider), else the record's
// own id. A length above the chain's room reads its last slot.
std::uint32_t LowerCatalogId(std::int32_t chain_length,
                             const std::uint32_t (&chain_entries)[kMaxProtocolChain],
                             std::uint32_t own_id);

// The id as unsigned decimal with no sign, fill or leading zeros; `name`
// holds up to ten digits and the NUL.
void FormatValueName(std::uint32_t id, char (&name)[11]);

}  // namespace tarvel
