// The Winsock catalog and the lower-provider lookup values, as narrow
// interfaces: the install logic runs over them unchanged on Windows, where
// they call the WSC functions and the registry, and in tests, where fakes
// stand in. Errors are texts ("" for success) naming the failed call.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tarvel::ctl {

struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};

  friend bool operator==(const Guid&, const Guid&) = default;
  // Registry form: {F311CA08-328F-407E-A63F-DCD52C2FAB4C}.
  std::string ToString() const;
  // Reads the registry form (hex digits in either case); false for any other text.
  static bool Parse(const std::string& text, Guid* guid);
};

inline constexpr int kMaxChainLength = 7;
inline constexpr std::int32_t kAfInet = 2;
inline constexpr std::int32_t kAfInet6 = 23;
inline constexpr std::uint32_t kPflHidden = 0x4;
inline constexpr std::uint32_t kXp1IfsHandles = 0x20000;

// A catalog entry: WSAPROTOCOL_INFOW with portable types.
struct ProtocolRecord {
  std::array<std::uint32_t, 4> service_flags{};
  std::uint32_t provider_flags = 0;
  Guid provider_id;
  std::uint32_t catalog_id = 0;
  std::int32_t chain_length = 0;  // 0 layered entry, 1 base provider, 2 or more a chain
  std::array<std::uint32_t, kMaxChainLength> chain{};
  std::int32_t version = 0;
  std::int32_t address_family = 0;
  std::int32_t max_sockaddr = 0;
  std::int32_t min_sockaddr = 0;
  std::int32_t socket_type = 0;
  std::int32_t protocol = 0;
  std::int32_t protocol_max_offset = 0;
  std::int32_t network_byte_order = 0;
  std::int32_t security_scheme = 0;
  std::uint32_t message_size = 0;
  std::uint32_t provider_reserved = 0;
  std::u16string name;  // szProtocol, at most 255 characters

  friend bool operator==(const ProtocolRecord&, const ProtocolRecord&) = default;
  bool IsLayered() const { return chain_length == 0; }
  bool IsBase() const { return chain_length == 1; }
  bool IsChain() const { return chain_length > 1; }
  // The base provider at the bottom of a chain (its last entry, read inside
  // the chain's room), or the entry's own id when it is not a chain.
  std::uint32_t LowerId() const;
};

// The name as printable ASCII ('?' for other characters).
std::string AsciiName(const std::u16string& name);

// The catalogs of a system: on 64-bit Windows one for 64-bit programs and one
// for 32-bit programs, on 32-bit Windows the 32-bit one alone. Each catalog
// pairs with the registry view of its programs.
enum class CatalogKind { k64, k32 };
std::string KindName(CatalogKind kind);  // "64-bit", "32-bit"

// The provider module for each catalog, as stored in the catalog (environment
// references allowed).
struct ProviderPaths {
  std::string path64;
  std::string path32;
  const std::string& For(CatalogKind kind) const {
    return kind == CatalogKind::k64 ? path64 : path32;
  }
};

class Catalog {
 public:
  virtual ~Catalog() = default;

  virtual std::vector<CatalogKind> Kinds() const = 0;
  // Every entry of the catalog, in catalog order.
  [[nodiscard]] virtual std::string Enumerate(CatalogKind kind,
                                              std::vector<ProtocolRecord>* records) = 0;
  // The module path stored for a provider, environment references kept.
  [[nodiscard]] virtual std::string ProviderPath(CatalogKind kind, const Guid& provider,
                                                 std::string* path) = 0;

  // Installs a layered entry and chains over the base providers matching
  // `protocols` into every catalog at once, ordered at the front
  // (WSCInstallProviderAndChains and its 64_32 form), where the system has it.
  virtual bool HasInstallWithChains() const = 0;
  [[nodiscard]] virtual std::string InstallWithChains(
      const Guid& provider, const ProviderPaths& paths, const std::u16string& name,
      std::uint32_t service_flags, const std::vector<ProtocolRecord>& protocols) = 0;

  // Installs entries into one catalog (WSCInstallProvider); false where the
  // system cannot install into that catalog alone.
  virtual bool CanInstallInto(CatalogKind kind) const = 0;
  [[nodiscard]] virtual std::string Install(CatalogKind kind, const Guid& provider,
                                            const std::string& path,
                                            const std::vector<ProtocolRecord>& records) = 0;
  // Sets the catalog order; `ids` names every entry once.
  [[nodiscard]] virtual std::string WriteOrder(CatalogKind kind,
                                               const std::vector<std::uint32_t>& ids) = 0;
  // Removes every entry of the provider.
  [[nodiscard]] virtual std::string Deinstall(CatalogKind kind, const Guid& provider) = 0;

  // Points the provider's entries `records` (as Enumerate gives them) at the
  // module `path` in place (WSCUpdateProvider, or WSCUpdateProvider32 for the
  // 32-bit catalog of a 64-bit process): their catalog ids stay, and with
  // them the chains that name them and the catalog order. False where the
  // system cannot do that for this catalog.
  virtual bool CanUpdate(CatalogKind kind) const = 0;
  [[nodiscard]] virtual std::string Update(CatalogKind kind, const Guid& provider,
                                           const std::string& path,
                                           const std::vector<ProtocolRecord>& records) = 0;

  // LSP categories (WSCSetProviderInfo), where the system has them.
  virtual bool HasCategories() const = 0;
  [[nodiscard]] virtual std::string SetCategories(CatalogKind kind, const Guid& provider,
                                                  std::uint32_t categories) = 0;
};

// The values under HKLM\SYSTEM\CurrentControlSet\Services\WinSock2\tarvel.dll
// in the registry view of one catalog's programs: value name the decimal
// catalog id, data the lower module's path.
class LowerPaths {
 public:
  virtual ~LowerPaths() = default;
  // All values; a missing key gives none and no error.
  [[nodiscard]] virtual std::string Read(CatalogKind view,
                                         std::map<std::string, std::string>* values) = 0;
  [[nodiscard]] virtual std::string Write(CatalogKind view, const std::string& name,
                                          const std::string& data) = 0;
  // A missing value or key is no error.
  [[nodiscard]] virtual std::string Delete(CatalogKind view, const std::string& name) = 0;
  // Removes the key when it holds no value.
  [[nodiscard]] virtual std::string DeleteKeyIfEmpty(CatalogKind view) = 0;
};

}  // namespace tarvel::ctl
