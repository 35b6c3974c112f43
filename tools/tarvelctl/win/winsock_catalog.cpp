#include "tools/tarvelctl/win/winsock_catalog.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "tools/tarvelctl/win/error_text.h"
#include "tools/tarvelctl/win/text.h"

namespace tarvel::ctl {
namespace {

using EnumProtocolsFn = int(WSPAPI*)(LPINT, LPWSAPROTOCOL_INFOW, LPDWORD, LPINT);
using GetProviderPathFn = int(WSPAPI*)(LPGUID, WCHAR*, LPINT, LPINT);
using InstallProviderFn = int(WSPAPI*)(LPGUID, const WCHAR*, LPWSAPROTOCOL_INFOW, DWORD, LPINT);
using InstallAndChainsFn = int(WSPAPI*)(LPGUID, LPWSTR, LPWSTR, DWORD, LPWSAPROTOCOL_INFOW, DWORD,
                                        LPDWORD, LPINT);
using InstallAndChains64_32Fn = int(WSPAPI*)(LPGUID, LPWSTR, LPWSTR, LPWSTR, DWORD,
                                             LPWSAPROTOCOL_INFOW, DWORD, LPDWORD, LPINT);
using WriteProviderOrderFn = int(WSPAPI*)(LPDWORD, DWORD);
using DeinstallProviderFn = int(WSPAPI*)(LPGUID, LPINT);
using UpdateProviderFn = int(WSPAPI*)(LPGUID, const WCHAR*, LPWSAPROTOCOL_INFOW, DWORD, LPINT);
// The info type is an enum of int size; 0 is ProviderInfoLspCategories.
using SetProviderInfoFn = int(WSPAPI*)(LPGUID, int, PBYTE, size_t, DWORD, LPINT);
constexpr int kProviderInfoLspCategories = 0;

#if defined(_WIN64)
constexpr bool kProcess64 = true;
#else
constexpr bool kProcess64 = false;
#endif

// The function of ws2_32.dll named `name`, or of sporder.dll, which held the
// order functions before Windows Vista.
template <typename Fn>
Fn Lookup(const char* name) {
  static HMODULE ws2_32 = LoadLibraryA("ws2_32.dll");
  FARPROC proc = ws2_32 != nullptr ? GetProcAddress(ws2_32, name) : nullptr;
  if (proc == nullptr && std::strncmp(name, "WSCWriteProviderOrder", 21) == 0) {
    static HMODULE sporder = LoadLibraryA("sporder.dll");
    if (sporder != nullptr) proc = GetProcAddress(sporder, name);
  }
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

// The 32-bit catalog from a 64-bit process goes through the ...32 forms.
bool Other(CatalogKind kind) { return kProcess64 && kind == CatalogKind::k32; }

std::string Name(const char* function, CatalogKind kind) {
  return std::string(function) + (Other(kind) ? "32" : "");
}

std::string Failed(const std::string& function, int error) {
  return function + ": " + ErrorText(static_cast<unsigned long>(error));
}

std::string Missing(const std::string& function) { return "this Windows has no " + function; }

class WinsockCatalogImpl final : public Catalog {
 public:
  std::vector<CatalogKind> Kinds() const override {
    if (kProcess64) return {CatalogKind::k64, CatalogKind::k32};
    return {CatalogKind::k32};
  }

  std::string Enumerate(CatalogKind kind, std::vector<ProtocolRecord>* records) override {
    const std::string function = Name("WSCEnumProtocols", kind);
    auto enumerate = Lookup<EnumProtocolsFn>(function.c_str());
    if (enumerate == nullptr) return Missing(function);
    std::vector<WSAPROTOCOL_INFOW> buffer;
    // The catalog may grow between the size query and the read: ask again.
    for (int attempt = 0; attempt < 4; ++attempt) {
      DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(WSAPROTOCOL_INFOW));
      INT error = 0;
      const int count =
          enumerate(nullptr, buffer.empty() ? nullptr : buffer.data(), &bytes, &error);
      if (count != SOCKET_ERROR) {
        records->clear();
        for (int i = 0; i < count; ++i) records->push_back(ToRecord(buffer[i]));
        return "";
      }
      if (error != WSAENOBUFS) return Failed(function, error);
      buffer.resize(bytes / sizeof(WSAPROTOCOL_INFOW) + 1);
    }
    return Failed(function, WSAENOBUFS);
  }

  std::string ProviderPath(CatalogKind kind, const Guid& provider, std::string* path) override {
    const std::string function = Name("WSCGetProviderPath", kind);
    auto get = Lookup<GetProviderPathFn>(function.c_str());
    if (get == nullptr) return Missing(function);
    GUID id = ToGuid(provider);
    WCHAR wide[MAX_PATH + 1] = {};
    INT length = MAX_PATH;
    INT error = 0;
    if (get(&id, wide, &length, &error) == SOCKET_ERROR) return Failed(function, error);
    wide[MAX_PATH] = L'\0';
    if (!WideToAnsi(wide, path)) {
      return "the module path of provider " + provider.ToString() +
             " has characters outside the system code page";
    }
    return "";
  }

  bool HasInstallWithChains() const override {
    if (kProcess64) {
      return Lookup<InstallAndChains64_32Fn>("WSCInstallProviderAndChains64_32") != nullptr;
    }
    return Lookup<InstallAndChainsFn>("WSCInstallProviderAndChains") != nullptr;
  }

  std::string InstallWithChains(const Guid& provider, const ProviderPaths& paths,
                                const std::u16string& name, std::uint32_t service_flags,
                                const std::vector<ProtocolRecord>& protocols) override {
    GUID id = ToGuid(provider);
    std::wstring wide_name(name.begin(), name.end());
    std::vector<WSAPROTOCOL_INFOW> infos;
    for (const ProtocolRecord& r : protocols) infos.push_back(ToProtocolInfo(r));
    DWORD layered_id = 0;
    INT error = 0;
    int result = SOCKET_ERROR;
    const char* function =
        kProcess64 ? "WSCInstallProviderAndChains64_32" : "WSCInstallProviderAndChains";
    if (kProcess64) {
      auto install = Lookup<InstallAndChains64_32Fn>(function);
      if (install == nullptr) return Missing(function);
      std::wstring path64 = AnsiToWide(paths.path64);
      std::wstring path32 = AnsiToWide(paths.path32);
      result = install(&id, path64.data(), path32.data(), wide_name.data(), service_flags,
                       infos.data(), static_cast<DWORD>(infos.size()), &layered_id, &error);
    } else {
      auto install = Lookup<InstallAndChainsFn>(function);
      if (install == nullptr) return Missing(function);
      std::wstring path = AnsiToWide(paths.path32);
      result = install(&id, path.data(), wide_name.data(), service_flags, infos.data(),
                       static_cast<DWORD>(infos.size()), &layered_id, &error);
    }
    return result == SOCKET_ERROR ? Failed(function, error) : "";
  }

  bool CanInstallInto(CatalogKind kind) const override {
    // No WSCInstallProvider32 exists: a 64-bit process cannot install into
    // the 32-bit catalog alone.
    return !Other(kind) && Lookup<InstallProviderFn>("WSCInstallProvider") != nullptr;
  }

  std::string Install(CatalogKind kind, const Guid& provider, const std::string& path,
                      const std::vector<ProtocolRecord>& records) override {
    if (Other(kind)) return Missing("WSCInstallProvider32");
    auto install = Lookup<InstallProviderFn>("WSCInstallProvider");
    if (install == nullptr) return Missing("WSCInstallProvider");
    GUID id = ToGuid(provider);
    const std::wstring wide_path = AnsiToWide(path);
    std::vector<WSAPROTOCOL_INFOW> infos;
    for (const ProtocolRecord& r : records) infos.push_back(ToProtocolInfo(r));
    INT error = 0;
    if (install(&id, wide_path.c_str(), infos.data(), static_cast<DWORD>(infos.size()), &error) ==
        SOCKET_ERROR) {
      return Failed("WSCInstallProvider", error);
    }
    return "";
  }

  std::string WriteOrder(CatalogKind kind, const std::vector<std::uint32_t>& ids) override {
    const std::string function = Name("WSCWriteProviderOrder", kind);
    auto write = Lookup<WriteProviderOrderFn>(function.c_str());
    if (write == nullptr) return Missing(function);
    std::vector<DWORD> order(ids.begin(), ids.end());
    const int result = write(order.data(), static_cast<DWORD>(order.size()));
    return result == ERROR_SUCCESS ? "" : Failed(function, result);
  }

  std::string Deinstall(CatalogKind kind, const Guid& provider) override {
    const std::string function = Name("WSCDeinstallProvider", kind);
    auto deinstall = Lookup<DeinstallProviderFn>(function.c_str());
    if (deinstall == nullptr) return Missing(function);
    GUID id = ToGuid(provider);
    INT error = 0;
    return deinstall(&id, &error) == SOCKET_ERROR ? Failed(function, error) : "";
  }

  bool CanUpdate(CatalogKind kind) const override {
    return Lookup<UpdateProviderFn>(Name("WSCUpdateProvider", kind).c_str()) != nullptr;
  }

  std::string Update(CatalogKind kind, const Guid& provider, const std::string& path,
                     const std::vector<ProtocolRecord>& records) override {
    const std::string function = Name("WSCUpdateProvider", kind);
    auto update = Lookup<UpdateProviderFn>(function.c_str());
    if (update == nullptr) return Missing(function);
    GUID id = ToGuid(provider);
    const std::wstring wide_path = AnsiToWide(path);
    std::vector<WSAPROTOCOL_INFOW> infos;
    for (const ProtocolRecord& r : records) infos.push_back(ToProtocolInfo(r));
    INT error = 0;
    if (update(&id, wide_path.c_str(), infos.data(), static_cast<DWORD>(infos.size()), &error) ==
        SOCKET_ERROR) {
      return Failed(function, error);
    }
    return "";
  }

  bool HasCategories() const override {
    if (Lookup<SetProviderInfoFn>("WSCSetProviderInfo") == nullptr) return false;
    return !kProcess64 || Lookup<SetProviderInfoFn>("WSCSetProviderInfo32") != nullptr;
  }

  std::string SetCategories(CatalogKind kind, const Guid& provider,
                            std::uint32_t categories) override {
    const std::string function = Name("WSCSetProviderInfo", kind);
    auto set = Lookup<SetProviderInfoFn>(function.c_str());
    if (set == nullptr) return Missing(function);
    GUID id = ToGuid(provider);
    DWORD value = categories;
    INT error = 0;
    if (set(&id, kProviderInfoLspCategories, reinterpret_cast<PBYTE>(&value), sizeof value, 0,
            &error) == SOCKET_ERROR) {
      return Failed(function, error);
    }
    return "";
  }
};

}  // namespace

GUID ToGuid(const Guid& guid) {
  GUID out;
  out.Data1 = guid.data1;
  out.Data2 = guid.data2;
  out.Data3 = guid.data3;
  std::memcpy(out.Data4, guid.data4.data(), 8);
  return out;
}

ProtocolRecord ToRecord(const WSAPROTOCOL_INFOW& info) {
  ProtocolRecord r;
  r.service_flags = {info.dwServiceFlags1, info.dwServiceFlags2, info.dwServiceFlags3,
                     info.dwServiceFlags4};
  r.provider_flags = info.dwProviderFlags;
  r.provider_id.data1 = info.ProviderId.Data1;
  r.provider_id.data2 = info.ProviderId.Data2;
  r.provider_id.data3 = info.ProviderId.Data3;
  std::memcpy(r.provider_id.data4.data(), info.ProviderId.Data4, 8);
  r.catalog_id = info.dwCatalogEntryId;
  r.chain_length = info.ProtocolChain.ChainLen;
  for (int i = 0; i < kMaxChainLength; ++i) r.chain[i] = info.ProtocolChain.ChainEntries[i];
  r.version = info.iVersion;
  r.address_family = info.iAddressFamily;
  r.max_sockaddr = info.iMaxSockAddr;
  r.min_sockaddr = info.iMinSockAddr;
  r.socket_type = info.iSocketType;
  r.protocol = info.iProtocol;
  r.protocol_max_offset = info.iProtocolMaxOffset;
  r.network_byte_order = info.iNetworkByteOrder;
  r.security_scheme = info.iSecurityScheme;
  r.message_size = info.dwMessageSize;
  r.provider_reserved = info.dwProviderReserved;
  for (int i = 0; i <= WSAPROTOCOL_LEN && info.szProtocol[i] != L'\0'; ++i) {
    r.name.push_back(static_cast<char16_t>(info.szProtocol[i]));
  }
  return r;
}

WSAPROTOCOL_INFOW ToProtocolInfo(const ProtocolRecord& r) {
  WSAPROTOCOL_INFOW info;
  std::memset(&info, 0, sizeof info);
  info.dwServiceFlags1 = r.service_flags[0];
  info.dwServiceFlags2 = r.service_flags[1];
  info.dwServiceFlags3 = r.service_flags[2];
  info.dwServiceFlags4 = r.service_flags[3];
  info.dwProviderFlags = r.provider_flags;
  info.ProviderId = ToGuid(r.provider_id);
  info.dwCatalogEntryId = r.catalog_id;
  info.ProtocolChain.ChainLen = r.chain_length;
  for (int i = 0; i < kMaxChainLength; ++i) info.ProtocolChain.ChainEntries[i] = r.chain[i];
  info.iVersion = r.version;
  info.iAddressFamily = r.address_family;
  info.iMaxSockAddr = r.max_sockaddr;
  info.iMinSockAddr = r.min_sockaddr;
  info.iSocketType = r.socket_type;
  info.iProtocol = r.protocol;
  info.iProtocolMaxOffset = r.protocol_max_offset;
  info.iNetworkByteOrder = r.network_byte_order;
  info.iSecurityScheme = r.security_scheme;
  info.dwMessageSize = r.message_size;
  info.dwProviderReserved = r.provider_reserved;
  for (std::size_t i = 0; i < r.name.size() && i < WSAPROTOCOL_LEN; ++i) {
    info.szProtocol[i] = static_cast<WCHAR>(r.name[i]);
  }
  return info;
}

Catalog& WinsockCatalog() {
  static WinsockCatalogImpl catalog;
  return catalog;
}

}  // namespace tarvel::ctl
