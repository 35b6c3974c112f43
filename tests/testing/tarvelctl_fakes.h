// A Winsock catalog and a lookup-value registry in memory, laid out like a
// current Windows, for tarvelctl's install logic. Every changing call counts
// as a step, and the step numbered `fail_at` fails; after every step the fake
// checks that each tarvel chain still has its lookup value.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/tarvelctl/catalog.h"

namespace tarvel::ctl::testing {

inline constexpr Guid kMsafdIpv4{
    0xe70f1aa0, 0xab8b, 0x11cf, {0x8c, 0xa3, 0x00, 0x80, 0x5f, 0x48, 0xa1, 0x92}};
inline constexpr Guid kMsafdIpv6{
    0xf9eab0c0, 0x26d4, 0x11d0, {0xbb, 0xbf, 0x00, 0xaa, 0x00, 0x6c, 0x34, 0xe4}};
inline constexpr Guid kBluetooth{
    0x9fc48064, 0x7298, 0x43e4, {0xb7, 0xbd, 0x18, 0x1f, 0x20, 0x89, 0x79, 0x2a}};
inline constexpr Guid kFooLayered{0x0f00f00f, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8}};
inline constexpr Guid kFooChain{0x0f00f00f, 3, 4, {1, 2, 3, 4, 5, 6, 7, 8}};
// The id the fake's one-call installation gives the chains it makes.
inline constexpr Guid kSystemChainGuid{0xc4a1c4a1, 5, 6, {8, 7, 6, 5, 4, 3, 2, 1}};

inline constexpr char kMswsock[] = "%SystemRoot%\\system32\\mswsock.dll";

struct Snapshot {
  std::map<CatalogKind, std::vector<ProtocolRecord>> catalogs;
  std::map<CatalogKind, std::map<std::string, std::string>> values;
  std::map<CatalogKind, bool> key_exists;
  friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

class FakeWindows : public Catalog, public LowerPaths {
 public:
  // Both catalogs of a 64-bit Windows 10: TCP, UDP and raw for IPv4 and IPv6,
  // Bluetooth, and a foreign layered provider "Foo LSP" with one chain over
  // TCP/IPv4 standing first.
  static FakeWindows Windows64();
  // The one catalog of a 32-bit Windows, the same entries.
  static FakeWindows Windows32();

  // Catalog
  std::vector<CatalogKind> Kinds() const override;
  std::string Enumerate(CatalogKind kind, std::vector<ProtocolRecord>* records) override;
  std::string ProviderPath(CatalogKind kind, const Guid& provider, std::string* path) override;
  bool HasInstallWithChains() const override { return with_chains; }
  std::string InstallWithChains(const Guid& provider, const ProviderPaths& paths,
                                const std::u16string& name, std::uint32_t service_flags,
                                const std::vector<ProtocolRecord>& protocols) override;
  bool CanInstallInto(CatalogKind) const override { return separate; }
  std::string Install(CatalogKind kind, const Guid& provider, const std::string& path,
                      const std::vector<ProtocolRecord>& records) override;
  std::string WriteOrder(CatalogKind kind, const std::vector<std::uint32_t>& ids) override;
  std::string Deinstall(CatalogKind kind, const Guid& provider) override;
  bool CanUpdate(CatalogKind) const override { return with_update; }
  std::string Update(CatalogKind kind, const Guid& provider, const std::string& path,
                     const std::vector<ProtocolRecord>& records) override;
  bool HasCategories() const override { return with_categories; }
  std::string SetCategories(CatalogKind kind, const Guid& provider,
                            std::uint32_t categories) override;

  // LowerPaths
  std::string Read(CatalogKind view, std::map<std::string, std::string>* values) override;
  std::string Write(CatalogKind view, const std::string& name, const std::string& data) override;
  std::string Delete(CatalogKind view, const std::string& name) override;
  std::string DeleteKeyIfEmpty(CatalogKind view) override;

  Snapshot State() const { return state; }
  // Expands the %NAME% references that `environment` holds, as Windows
  // would; unknown names stay as they are.
  std::string Expand(const std::string& path) const;
  std::function<std::string(const std::string&)> Expander() const {
    return [this](const std::string& path) { return Expand(path); };
  }
  // Adds a record at the end of a catalog with the next id; returns the id.
  std::uint32_t Add(CatalogKind kind, ProtocolRecord record, const std::string& path);

  Snapshot state;
  std::map<CatalogKind, std::map<std::string, std::string>> paths;  // by provider GUID text
  std::map<CatalogKind, std::map<std::string, std::uint32_t>> categories;
  std::map<std::string, std::string> environment{{"SystemRoot", "C:\\Windows"}};
  std::map<CatalogKind, std::uint32_t> next_id;
  bool with_chains = true;
  bool separate = true;
  bool with_categories = true;
  bool with_update = true;
  int fail_at = 0;                      // the step that fails; 0 for none
  int fail_again_at = 0;                // a second failing step
  bool partial_install = false;         // a failing one-call installation does its first catalog
  int steps = 0;                        // changing calls so far
  std::vector<std::string> calls;       // "Deinstall 64-bit {GUID}", in order
  std::vector<std::string> violations;  // chains seen without their lookup value

 private:
  bool Fails(const std::string& call);
  void CheckChains(const std::string& after);
};

}  // namespace tarvel::ctl::testing
