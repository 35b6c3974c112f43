#include "tools/tarvelctl/win/registry.h"

#include <vector>

#include "platform/win/reg_key.h"
#include "tools/tarvelctl/install.h"
#include "tools/tarvelctl/win/error_text.h"

namespace tarvel::ctl {
namespace {

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
using RegDeleteKeyExAFn = LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD);

std::string Failed(const std::string& what, LONG result) {
  return what + " HKLM\\" + kLowerPathsKey + ": " + ErrorText(static_cast<unsigned long>(result));
}

class RegistryLowerPathsImpl final : public LowerPaths {
 public:
  std::string Read(CatalogKind view, std::map<std::string, std::string>* values) override {
    values->clear();
    RegKey key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLowerPathsKey, 0,
                                KEY_QUERY_VALUE | ViewFlag(view), key.Receive());
    if (result == ERROR_FILE_NOT_FOUND) return "";
    if (result != ERROR_SUCCESS) return Failed("cannot open", result);
    DWORD name_max = 0;
    DWORD data_max = 0;
    result = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, &name_max, &data_max, nullptr, nullptr);
    if (result != ERROR_SUCCESS) return Failed("cannot read", result);
    std::vector<char> name(name_max + 2);
    std::vector<BYTE> data(data_max + 2);
    for (DWORD index = 0;; ++index) {
      DWORD name_size = static_cast<DWORD>(name.size());
      DWORD data_size = static_cast<DWORD>(data.size() - 1);
      DWORD type = 0;
      result = RegEnumValueA(key.get(), index, name.data(), &name_size, nullptr, &type, data.data(),
                             &data_size);
      if (result == ERROR_NO_MORE_ITEMS) return "";
      if (result != ERROR_SUCCESS) return Failed("cannot read", result);
      data[data_size] = 0;
      (*values)[std::string(name.data(), name_size)] =
          std::string(reinterpret_cast<const char*>(data.data()));
    }
  }

  std::string Write(CatalogKind view, const std::string& name, const std::string& data) override {
    RegKey key;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kLowerPathsKey, 0, nullptr, 0,
                                  KEY_SET_VALUE | ViewFlag(view), nullptr, key.Receive(), nullptr);
    if (result != ERROR_SUCCESS) return Failed("cannot create", result);
    // The module reads the bytes whatever the type; REG_EXPAND_SZ tells
    // people and tools that the path holds %VARIABLE% references.
    const DWORD type = data.find('%') != std::string::npos ? REG_EXPAND_SZ : REG_SZ;
    result = RegSetValueExA(key.get(), name.c_str(), 0, type,
                            reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>(data.size() + 1));
    return result == ERROR_SUCCESS ? "" : Failed("cannot write value " + name + " of", result);
  }

  std::string Delete(CatalogKind view, const std::string& name) override {
    RegKey key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLowerPathsKey, 0,
                                KEY_SET_VALUE | ViewFlag(view), key.Receive());
    if (result == ERROR_FILE_NOT_FOUND) return "";
    if (result != ERROR_SUCCESS) return Failed("cannot open", result);
    result = RegDeleteValueA(key.get(), name.c_str());
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) return "";
    return Failed("cannot remove value " + name + " of", result);
  }

  std::string DeleteKeyIfEmpty(CatalogKind view) override {
    {
      RegKey key;
      LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLowerPathsKey, 0,
                                  KEY_QUERY_VALUE | ViewFlag(view), key.Receive());
      if (result == ERROR_FILE_NOT_FOUND) return "";
      if (result != ERROR_SUCCESS) return Failed("cannot open", result);
      DWORD subkeys = 0;
      DWORD values = 0;
      result = RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                &values, nullptr, nullptr, nullptr, nullptr);
      if (result != ERROR_SUCCESS) return Failed("cannot read", result);
      if (subkeys != 0 || values != 0) return "";
    }
    static const auto delete_ex = reinterpret_cast<RegDeleteKeyExAFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("advapi32.dll"), "RegDeleteKeyExA")));
    const LONG result = delete_ex != nullptr
                            ? delete_ex(HKEY_LOCAL_MACHINE, kLowerPathsKey, ViewFlag(view), 0)
                            : RegDeleteKeyA(HKEY_LOCAL_MACHINE, kLowerPathsKey);
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) return "";
    return Failed("cannot remove", result);
  }
};

}  // namespace

bool Is64BitWindows() {
#if defined(_WIN64)
  return true;
#else
  static const auto is_wow64 = reinterpret_cast<IsWow64ProcessFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process")));
  BOOL wow64 = FALSE;
  return is_wow64 != nullptr && is_wow64(GetCurrentProcess(), &wow64) && wow64;
#endif
}

REGSAM ViewFlag(CatalogKind view) {
  if (!Is64BitWindows()) return 0;
  return view == CatalogKind::k64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

LowerPaths& RegistryLowerPaths() {
  static RegistryLowerPathsImpl paths;
  return paths;
}

}  // namespace tarvel::ctl
