#include "tests/testing/tarvelctl_fakes.h"

#include <algorithm>

#include "tools/tarvelctl/install.h"

namespace tarvel::ctl::testing {
namespace {

constexpr std::uint32_t kPflMatchesProtocolZero = 0x8;

ProtocolRecord Base(Guid provider, std::int32_t family, std::int32_t type, std::int32_t protocol,
                    const char16_t* name) {
  ProtocolRecord r;
  r.service_flags = {type == 1 ? 0x20066u : 0x20609u, 0, 0, 0};
  r.provider_flags = protocol == 0 ? 0 : kPflMatchesProtocolZero;
  r.provider_id = provider;
  r.chain_length = 1;
  r.version = 2;
  r.address_family = family;
  r.max_sockaddr = family == kAfInet ? 16 : 28;
  r.min_sockaddr = r.max_sockaddr;
  r.socket_type = type;
  r.protocol = protocol;
  r.protocol_max_offset = protocol == 0 ? 255 : 0;
  r.message_size = type == 1 ? 0 : 65467;
  r.name = name;
  return r;
}

void AddWindowsEntries(FakeWindows& w, CatalogKind kind) {
  w.next_id[kind] = 1001;
  for (auto [family, provider, suffix] :
       {std::tuple{kAfInet, kMsafdIpv4, std::u16string(u"IP]")},
        std::tuple{kAfInet6, kMsafdIpv6, std::u16string(u"IPv6]")}}) {
    w.Add(kind, Base(provider, family, 1, 6, (u"MSAFD Tcpip [TCP/" + suffix).c_str()), kMswsock);
    w.Add(kind, Base(provider, family, 2, 17, (u"MSAFD Tcpip [UDP/" + suffix).c_str()), kMswsock);
    w.Add(kind, Base(provider, family, 3, 0, (u"MSAFD Tcpip [RAW/" + suffix).c_str()), kMswsock);
  }
  w.Add(kind, Base(kBluetooth, 32, 1, 3, u"MSAFD RfComm [Bluetooth]"), kMswsock);
  w.next_id[kind] = 1010;
  const std::string foo = kind == CatalogKind::k64 ? "%ProgramFiles%\\Foo\\foolsp.dll"
                                                   : "%ProgramFiles(x86)%\\Foo\\foolsp.dll";
  ProtocolRecord layered = w.state.catalogs[kind][0];
  layered.provider_id = kFooLayered;
  layered.chain_length = 0;
  layered.provider_flags = kPflHidden;
  layered.name = u"Foo LSP";
  const std::uint32_t layered_id = w.Add(kind, layered, foo);
  ProtocolRecord chain = w.state.catalogs[kind][0];
  chain.provider_id = kFooChain;
  chain.chain_length = 2;
  chain.chain = {layered_id, 1001};
  chain.name = u"Foo over [TCP/IP]";
  w.Add(kind, chain, foo);
  // The foreign chain stands first, ahead of its base.
  auto& records = w.state.catalogs[kind];
  std::rotate(records.begin(), records.end() - 1, records.end());
  w.next_id[kind] = kind == CatalogKind::k64 ? 1020 : 1030;
}

bool IsTarvelChain(const FakeWindows& w, CatalogKind kind, const ProtocolRecord& r) {
  if (!r.IsChain()) return false;
  const auto& records = w.state.catalogs.at(kind);
  const auto paths = w.paths.at(kind);
  const auto path_of = [&](const Guid& g) {
    auto it = paths.find(g.ToString());
    return it == paths.end() ? std::string() : it->second;
  };
  if (IsTarvelModulePath(path_of(r.provider_id))) return true;
  return std::any_of(records.begin(), records.end(), [&](const ProtocolRecord& l) {
    return l.IsLayered() && l.catalog_id == r.chain[0] &&
           IsTarvelModulePath(path_of(l.provider_id));
  });
}

}  // namespace

FakeWindows FakeWindows::Windows64() {
  FakeWindows w;
  for (CatalogKind kind : {CatalogKind::k64, CatalogKind::k32}) {
    AddWindowsEntries(w, kind);
    w.state.values[kind];
    w.state.key_exists[kind] = false;
  }
  return w;
}

FakeWindows FakeWindows::Windows32() {
  FakeWindows w;
  AddWindowsEntries(w, CatalogKind::k32);
  w.state.values[CatalogKind::k32];
  w.state.key_exists[CatalogKind::k32] = false;
  return w;
}

std::uint32_t FakeWindows::Add(CatalogKind kind, ProtocolRecord record, const std::string& path) {
  record.catalog_id = next_id[kind]++;
  paths[kind][record.provider_id.ToString()] = path;
  state.catalogs[kind].push_back(record);
  return record.catalog_id;
}

bool FakeWindows::Fails(const std::string& call) {
  calls.push_back(call);
  ++steps;
  return steps == fail_at || steps == fail_again_at;
}

void FakeWindows::CheckChains(const std::string& after) {
  for (const auto& [kind, records] : state.catalogs) {
    for (const ProtocolRecord& r : records) {
      if (IsTarvelChain(*this, kind, r) &&
          state.values[kind].count(std::to_string(r.LowerId())) == 0) {
        violations.push_back("after " + after + ": chain " + std::to_string(r.catalog_id) +
                             " has no value " + std::to_string(r.LowerId()));
      }
    }
  }
}

std::vector<CatalogKind> FakeWindows::Kinds() const {
  std::vector<CatalogKind> kinds;
  for (const auto& [kind, records] : state.catalogs) kinds.push_back(kind);
  return kinds;
}

std::string FakeWindows::Enumerate(CatalogKind kind, std::vector<ProtocolRecord>* records) {
  *records = state.catalogs.at(kind);
  return "";
}

std::string FakeWindows::ProviderPath(CatalogKind kind, const Guid& provider, std::string* path) {
  const auto& records = state.catalogs.at(kind);
  const bool present = std::any_of(records.begin(), records.end(), [&](const ProtocolRecord& r) {
    return r.provider_id == provider;
  });
  const auto it = paths[kind].find(provider.ToString());
  if (!present || it == paths[kind].end()) return "WSCGetProviderPath: error 10022";
  *path = it->second;
  return "";
}

std::string FakeWindows::InstallWithChains(const Guid& provider, const ProviderPaths& dll,
                                           const std::u16string& name, std::uint32_t service_flags,
                                           const std::vector<ProtocolRecord>& protocols) {
  const bool fails = Fails("InstallWithChains " + provider.ToString());
  if (fails && !partial_install) return "WSCInstallProviderAndChains64_32: error 10055";
  for (CatalogKind kind : Kinds()) {
    ProtocolRecord layered = protocols.at(0);
    layered.provider_id = provider;
    layered.chain_length = 0;
    layered.chain = {};
    layered.service_flags[0] = service_flags;
    layered.name = name;
    const std::uint32_t layered_id = Add(kind, layered, dll.For(kind));
    std::vector<ProtocolRecord> bases;
    for (const ProtocolRecord& r : state.catalogs[kind]) {
      const bool wanted = std::any_of(protocols.begin(), protocols.end(), [&](const auto& p) {
        return p.address_family == r.address_family && p.socket_type == r.socket_type &&
               p.protocol == r.protocol;
      });
      if (r.IsBase() && wanted) bases.push_back(r);
    }
    std::vector<ProtocolRecord> chains;
    for (const ProtocolRecord& base : bases) {
      ProtocolRecord chain = base;
      chain.provider_id = kSystemChainGuid;
      chain.catalog_id = next_id[kind]++;
      chain.chain_length = 2;
      chain.chain = {layered_id, base.catalog_id};
      chains.push_back(chain);
    }
    paths[kind][kSystemChainGuid.ToString()] = dll.For(kind);
    auto& records = state.catalogs[kind];
    records.insert(records.begin(), chains.begin(), chains.end());
    CheckChains("InstallWithChains");
    if (fails) return "WSCInstallProviderAndChains64_32: error 10055";
  }
  return "";
}

std::string FakeWindows::Install(CatalogKind kind, const Guid& provider, const std::string& path,
                                 const std::vector<ProtocolRecord>& records) {
  if (Fails("Install " + KindName(kind) + " " + provider.ToString())) {
    return "WSCInstallProvider: error 10055";
  }
  if (!separate) return "WSCInstallProvider: not here";
  for (const ProtocolRecord& r : records) Add(kind, r, path);
  CheckChains("Install");
  return "";
}

std::string FakeWindows::WriteOrder(CatalogKind kind, const std::vector<std::uint32_t>& ids) {
  if (Fails("WriteOrder " + KindName(kind))) return "WSCWriteProviderOrder: error 10055";
  auto& records = state.catalogs[kind];
  std::vector<ProtocolRecord> ordered;
  for (std::uint32_t id : ids) {
    const auto it = std::find_if(records.begin(), records.end(),
                                 [&](const ProtocolRecord& r) { return r.catalog_id == id; });
    if (it == records.end()) return "WSCWriteProviderOrder: error 10022";
    ordered.push_back(*it);
  }
  if (ordered.size() != records.size()) return "WSCWriteProviderOrder: error 10022";
  records = ordered;
  return "";
}

std::string FakeWindows::Deinstall(CatalogKind kind, const Guid& provider) {
  if (Fails("Deinstall " + KindName(kind) + " " + provider.ToString())) {
    return "WSCDeinstallProvider: error 10055";
  }
  auto& records = state.catalogs[kind];
  const auto removed = std::remove_if(records.begin(), records.end(), [&](const ProtocolRecord& r) {
    return r.provider_id == provider;
  });
  if (removed == records.end()) return "WSCDeinstallProvider: error 10022";
  records.erase(removed, records.end());
  CheckChains("Deinstall");
  return "";
}

std::string FakeWindows::Update(CatalogKind kind, const Guid& provider, const std::string& path,
                                const std::vector<ProtocolRecord>& updated) {
  if (Fails("Update " + KindName(kind) + " " + provider.ToString())) {
    return "WSCUpdateProvider: error 10055";
  }
  if (!with_update) return "WSCUpdateProvider: not here";
  // Each record names an entry of the provider by its catalog id.
  auto& records = state.catalogs[kind];
  for (const ProtocolRecord& r : updated) {
    const auto it = std::find_if(records.begin(), records.end(), [&](const ProtocolRecord& e) {
      return e.catalog_id == r.catalog_id && e.provider_id == provider;
    });
    if (r.provider_id != provider || it == records.end()) return "WSCUpdateProvider: error 10022";
  }
  for (const ProtocolRecord& r : updated) {
    *std::find_if(records.begin(), records.end(),
                  [&](const ProtocolRecord& e) { return e.catalog_id == r.catalog_id; }) = r;
  }
  paths[kind][provider.ToString()] = path;
  return "";
}

std::string FakeWindows::SetCategories(CatalogKind kind, const Guid& provider,
                                       std::uint32_t value) {
  if (Fails("SetCategories " + KindName(kind) + " " + provider.ToString())) {
    return "WSCSetProviderInfo: error 10055";
  }
  categories[kind][provider.ToString()] = value;
  return "";
}

std::string FakeWindows::Expand(const std::string& path) const {
  std::string expanded;
  std::size_t at = 0;
  while (at < path.size()) {
    const std::size_t open = path.find('%', at);
    const std::size_t close = open == std::string::npos ? open : path.find('%', open + 1);
    if (close == std::string::npos) break;
    const auto known = environment.find(path.substr(open + 1, close - open - 1));
    expanded += path.substr(at, open - at);
    expanded += known != environment.end() ? known->second : path.substr(open, close - open + 1);
    at = close + 1;
  }
  return expanded + path.substr(at);
}

std::string FakeWindows::Read(CatalogKind view, std::map<std::string, std::string>* values) {
  *values = state.values.at(view);
  return "";
}

std::string FakeWindows::Write(CatalogKind view, const std::string& name, const std::string& data) {
  if (Fails("Write " + KindName(view) + " " + name)) return "RegSetValueEx: error 5";
  state.values[view][name] = data;
  state.key_exists[view] = true;
  return "";
}

std::string FakeWindows::Delete(CatalogKind view, const std::string& name) {
  if (Fails("Delete " + KindName(view) + " " + name)) return "RegDeleteValue: error 5";
  state.values[view].erase(name);
  CheckChains("Delete");
  return "";
}

std::string FakeWindows::DeleteKeyIfEmpty(CatalogKind view) {
  if (Fails("DeleteKey " + KindName(view))) return "RegDeleteKey: error 5";
  if (state.values[view].empty()) state.key_exists[view] = false;
  return "";
}

}  // namespace tarvel::ctl::testing
