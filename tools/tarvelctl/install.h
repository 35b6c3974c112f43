// Putting tarvel.dll into the Winsock catalogs and taking it out again.
//
// tarvel.dll is layered over every base provider of IPv4 and IPv6 (TCP, UDP
// and raw): Winsock's select breaks when layered and unlayered providers of
// one family are mixed. Each chain is [tarvel's layered entry, base
// provider] and stands ahead of the base entries. The module finds its lower
// provider through a registry value named by the chain's last entry, so a
// chain must never exist without its value: install writes the values before
// the first chain appears, and uninstall removes them only after the last
// chain that needs them is gone. A failure part-way undoes what was done.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "provider/lower_lookup.h"
#include "tools/tarvelctl/catalog.h"

namespace tarvel::ctl {

inline constexpr Guid kTarvelLayeredGuid{
    0xf311ca08, 0x328f, 0x407e, {0xa6, 0x3f, 0xdc, 0xd5, 0x2c, 0x2f, 0xab, 0x4c}};
inline constexpr Guid kTarvelChainGuid{
    0x9e47f067, 0x0fac, 0x41c5, {0xa2, 0x6c, 0x5e, 0x4b, 0x6a, 0xac, 0xd7, 0x14}};
// LSP_INSPECTOR | LSP_FIREWALL: it looks at the data and cuts connections.
inline constexpr std::uint32_t kTarvelCategories = 0x00000001 | 0x00000008;
inline constexpr char16_t kTarvelLayeredName[] = u"Tarvel web filter";
using tarvel::kLowerPathsKey;
// The longest lookup value the module reads, and the longest path it loads
// once the value's environment references are expanded (NULs excluded).
inline constexpr std::size_t kMaxLowerPath = kStoredPathBytes - 1;
inline constexpr std::size_t kMaxExpandedLowerPath = kModulePathBytes - 1;

// `path` with its %VARIABLE% references expanded, as tarvel.dll expands a
// lookup value.
using ExpandPath = std::function<std::string(const std::string&)>;

// tarvel's part of one catalog.
struct TarvelEntries {
  std::vector<ProtocolRecord> layered;       // layered entries of tarvel.dll
  std::vector<ProtocolRecord> chains;        // chains that start at one, or carry tarvel's chain id
  std::vector<ProtocolRecord> foreign_over;  // other providers' chains with tarvel inside
  std::vector<ProtocolRecord> targets;       // base providers of IPv4 and IPv6
  std::vector<ProtocolRecord> uncovered;     // targets that no tarvel chain lies over

  bool Installed() const { return !layered.empty() || !chains.empty(); }
};

// Sorts the entries of one catalog. `is_tarvel` tells whether a layered
// entry's provider is tarvel.dll (its id, or the file name of its module).
TarvelEntries FindTarvel(const std::vector<ProtocolRecord>& records,
                         const std::function<bool(const ProtocolRecord&)>& is_tarvel);

// Whether a module path names tarvel.dll, in any folder and letter case.
bool IsTarvelModulePath(const std::string& path);

// The entries the separate installation puts into a catalog.
ProtocolRecord LayeredRecord(const ProtocolRecord& first_target);
ProtocolRecord ChainRecord(const ProtocolRecord& base, std::uint32_t layered_id);
// Chains first, in `chains` order, then every other entry in its current order.
std::vector<std::uint32_t> OrderWithChainsFirst(const std::vector<ProtocolRecord>& records,
                                                const std::vector<std::uint32_t>& chains);

// Installs into every catalog of the system. Refuses a base provider whose
// module path, stored or expanded by `expand`, is longer than the module
// loads. Returns "" and appends what was done to `report`, or returns the
// reason and leaves catalogs and values as they were (or says what could not
// be undone).
[[nodiscard]] std::string InstallTarvel(Catalog& catalog, LowerPaths& lower,
                                        const ProviderPaths& paths, const ExpandPath& expand,
                                        std::vector<std::string>* report);

// Removes every tarvel entry from every catalog, then the lookup values no
// remaining chain needs. Safe to repeat, and after a partial install.
[[nodiscard]] std::string UninstallTarvel(Catalog& catalog, LowerPaths& lower,
                                          std::vector<std::string>* report);

// The module one of tarvel's providers (its layered entry, or its chains)
// names in one catalog.
struct ModulePath {
  CatalogKind kind = CatalogKind::k64;
  Guid provider;
  std::string path;  // as stored, environment references kept
  friend bool operator==(const ModulePath&, const ModulePath&) = default;
};

// Every provider of tarvel in every catalog, with its module; none when
// tarvel is in no catalog.
[[nodiscard]] std::string TarvelModules(Catalog& catalog, std::vector<ModulePath>* modules);

// An upgrade in place: points every entry of tarvel in every catalog at the
// module of its catalog in `paths`, and writes the lookup values a chain of
// tarvel lacks. Catalog::Update is WSCUpdateProvider (WSCUpdateProvider32
// for the 32-bit catalog of a 64-bit process), which rewrites the module of
// existing entries: they keep their catalog ids, so the order, the chains
// and other providers layered over tarvel stay as they were. A removal and
// a new installation would give new ids and break the chains of such
// providers. Refuses when tarvel is not in every catalog,
// or the system cannot update entries. Returns "" and appends what was done
// to `report`, or the reason, with everything as it was.
[[nodiscard]] std::string ReplaceTarvel(Catalog& catalog, LowerPaths& lower,
                                        const ProviderPaths& paths, const ExpandPath& expand,
                                        std::vector<std::string>* report);

// Points the entries of each provider in `modules` back at its module.
// A provider no longer in its catalog is passed over and reported. Returns
// "" or the failures; the other providers are pointed back all the same.
[[nodiscard]] std::string PointTarvelModules(Catalog& catalog,
                                             const std::vector<ModulePath>& modules,
                                             std::vector<std::string>* report);

}  // namespace tarvel::ctl
