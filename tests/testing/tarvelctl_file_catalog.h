// The fake Winsock catalogs and lookup values of FakeWindows kept in a text
// file, for tarvelctl_filecatalog.exe: a tarvelctl built for testing an
// installer package under Wine, whose Winsock catalog functions are stubs.
// The file is read when the program starts (a missing file gives the
// catalogs of FakeWindows::Windows64(): a 64-bit Windows with a foreign
// layered provider) and written anew after every change.
//
// The file: one item a line, in this order; "#" starts a comment line.
//
//   next 64-bit 1020
//       the catalog id the next entry of that catalog gets
//   entry 64-bit id=1001 provider={GUID} chain=LEN:ID,ID... family=2 type=1
//         protocol=6 service=F1,F2,F3,F4 flags=PFL version=2 sockaddr=MAX,MIN
//         max-offset=0 byte-order=0 security=0 message-size=0 reserved=0
//         name=MSAFD Tcpip [TCP/IP]
//       one catalog entry (on one line), in catalog order; numbers in
//       decimal, service and flags in hex (0x...); the name is the rest of
//       the line, "\uXXXX" for a character outside printable ASCII or a
//       backslash
//   module 64-bit {GUID} PATH
//       the module path of a provider that has entries in that catalog
//   category 64-bit {GUID} 9
//       the LSP categories set for a provider that has entries
//   lookup-key 64-bit
//       HKLM\SYSTEM\CurrentControlSet\Services\WinSock2\tarvel.dll exists
//       in that registry view
//   lookup 64-bit 1001 PATH
//       one of its values: catalog id, lower module path
//
// tarvel is installed with the 64-bit module X and the 32-bit module Y when
// the file holds the lines "module 64-bit {F311CA08-328F-407E-A63F-DCD52C2FAB4C} X"
// and "module 32-bit {F311CA08-328F-407E-A63F-DCD52C2FAB4C} Y" (tarvel's
// layered entry; its chains, installed in one call, are the provider
// {C4A1C4A1-0005-0006-0807-060504030201} with the same module), and it is
// in no catalog when no module line names a file tarvel.dll.
#pragma once

#include <string>

#include "tests/testing/tarvelctl_fakes.h"

namespace tarvel::ctl::testing {

std::string CatalogFileText(const FakeWindows& windows);
// "" and the catalogs of `text` in `windows`, or the first line that does
// not read.
std::string ReadCatalogFile(const std::string& text, FakeWindows* windows);

// The catalogs of the file at `path`, saved there after every changing call.
// A save that fails fails the call.
class FileCatalog final : public Catalog, public LowerPaths {
 public:
  // Reads the file at `path`; "" or why it cannot be read.
  std::string Load(const std::string& path);

  std::vector<CatalogKind> Kinds() const override { return windows_.Kinds(); }
  std::string Enumerate(CatalogKind kind, std::vector<ProtocolRecord>* records) override {
    return windows_.Enumerate(kind, records);
  }
  std::string ProviderPath(CatalogKind kind, const Guid& provider, std::string* path) override {
    return windows_.ProviderPath(kind, provider, path);
  }
  bool HasInstallWithChains() const override { return windows_.HasInstallWithChains(); }
  std::string InstallWithChains(const Guid& provider, const ProviderPaths& paths,
                                const std::u16string& name, std::uint32_t service_flags,
                                const std::vector<ProtocolRecord>& protocols) override {
    return Saved(windows_.InstallWithChains(provider, paths, name, service_flags, protocols));
  }
  bool CanInstallInto(CatalogKind kind) const override { return windows_.CanInstallInto(kind); }
  std::string Install(CatalogKind kind, const Guid& provider, const std::string& path,
                      const std::vector<ProtocolRecord>& records) override {
    return Saved(windows_.Install(kind, provider, path, records));
  }
  std::string WriteOrder(CatalogKind kind, const std::vector<std::uint32_t>& ids) override {
    return Saved(windows_.WriteOrder(kind, ids));
  }
  std::string Deinstall(CatalogKind kind, const Guid& provider) override {
    return Saved(windows_.Deinstall(kind, provider));
  }
  bool CanUpdate(CatalogKind kind) const override { return windows_.CanUpdate(kind); }
  std::string Update(CatalogKind kind, const Guid& provider, const std::string& path,
                     const std::vector<ProtocolRecord>& records) override {
    return Saved(windows_.Update(kind, provider, path, records));
  }
  bool HasCategories() const override { return windows_.HasCategories(); }
  std::string SetCategories(CatalogKind kind, const Guid& provider,
                            std::uint32_t categories) override {
    return Saved(windows_.SetCategories(kind, provider, categories));
  }

  std::string Read(CatalogKind view, std::map<std::string, std::string>* values) override {
    return windows_.Read(view, values);
  }
  std::string Write(CatalogKind view, const std::string& name, const std::string& data) override {
    return Saved(windows_.Write(view, name, data));
  }
  std::string Delete(CatalogKind view, const std::string& name) override {
    return Saved(windows_.Delete(view, name));
  }
  std::string DeleteKeyIfEmpty(CatalogKind view) override {
    return Saved(windows_.DeleteKeyIfEmpty(view));
  }

 private:
  // The call's own failure, else the save's. A failed call may have changed
  // the catalogs part-way, so it is saved too.
  std::string Saved(const std::string& error);

  FakeWindows windows_ = FakeWindows::Windows64();
  std::string path_;
};

}  // namespace tarvel::ctl::testing
