#include "tools/tarvelctl/win/registry.h"

#include <cstring>
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

std::string PolicyFailed(const std::string& what, const std::string& key, LONG result) {
  return what + " HKLM\\" + key + ": " + ErrorText(static_cast<unsigned long>(result));
}

LONG DeleteKeyInView(const std::string& key, CatalogKind view) {
  static const auto delete_ex = reinterpret_cast<RegDeleteKeyExAFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("advapi32.dll"), "RegDeleteKeyExA")));
  return delete_ex != nullptr ? delete_ex(HKEY_LOCAL_MACHINE, key.c_str(), ViewFlag(view), 0)
                              : RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
}

// True when the key holds neither values nor subkeys.
bool IsEmptyKey(const std::string& key, CatalogKind view) {
  RegKey open;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | ViewFlag(view),
                    open.Receive()) != ERROR_SUCCESS) {
    return false;
  }
  DWORD subkeys = 0;
  DWORD values = 0;
  return RegQueryInfoKeyA(open.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                          &values, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
         subkeys == 0 && values == 0;
}

class RegistryPoliciesImpl final : public PolicyRegistry {
 public:
  RegValue Read(CatalogKind view, const std::string& key, const std::string& name) override {
    RegKey open;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | ViewFlag(view),
                      open.Receive()) != ERROR_SUCCESS) {
      return {};
    }
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(open.get(), name.c_str(), nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
      return {};
    }
    std::vector<BYTE> data(size + 1);
    if (RegQueryValueExA(open.get(), name.c_str(), nullptr, &type, data.data(), &size) !=
        ERROR_SUCCESS) {
      return {};
    }
    if (type == REG_DWORD && size == sizeof(DWORD)) {
      DWORD number = 0;
      std::memcpy(&number, data.data(), sizeof number);
      return RegValue::Number(number);
    }
    if (type == REG_SZ) return RegValue::Text(reinterpret_cast<const char*>(data.data()));
    return {RegValue::Kind::kOther, 0, {}};
  }

  std::string Write(CatalogKind view, const std::string& key, const std::string& name,
                    const RegValue& value) override {
    RegKey open;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE | ViewFlag(view), nullptr, open.Receive(), nullptr);
    if (result != ERROR_SUCCESS) return PolicyFailed("cannot create", key, result);
    const DWORD number = value.number;
    result = value.kind == RegValue::Kind::kNumber
                 ? RegSetValueExA(open.get(), name.c_str(), 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&number), sizeof number)
                 : RegSetValueExA(open.get(), name.c_str(), 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(value.text.c_str()),
                                  static_cast<DWORD>(value.text.size() + 1));
    return result == ERROR_SUCCESS ? "" : PolicyFailed("cannot write " + name + " of", key, result);
  }

  std::string Delete(CatalogKind view, const std::string& key, const std::string& name) override {
    {
      RegKey open;
      LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0,
                                  KEY_SET_VALUE | ViewFlag(view), open.Receive());
      if (result == ERROR_FILE_NOT_FOUND) return "";
      if (result != ERROR_SUCCESS) return PolicyFailed("cannot open", key, result);
      result = RegDeleteValueA(open.get(), name.c_str());
      if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) {
        return PolicyFailed("cannot remove " + name + " of", key, result);
      }
    }
    // The keys a write made go again once empty, up to Software\Policies.
    std::string at = key;
    while (at.rfind("Software\\Policies\\", 0) == 0 && IsEmptyKey(at, view)) {
      if (DeleteKeyInView(at, view) != ERROR_SUCCESS) break;
      at = at.substr(0, at.find_last_of('\\'));
    }
    return "";
  }

  bool KeyExists(CatalogKind view, const std::string& key) override {
    RegKey open;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | ViewFlag(view),
                         open.Receive()) == ERROR_SUCCESS;
  }

  std::string RemoveKey(CatalogKind view, const std::string& key) override {
    {
      RegKey open;
      LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0,
                                  KEY_QUERY_VALUE | KEY_SET_VALUE | ViewFlag(view), open.Receive());
      if (result == ERROR_FILE_NOT_FOUND) return "";
      if (result != ERROR_SUCCESS) return PolicyFailed("cannot open", key, result);
      // Each removal renumbers the rest, so the first value is taken each time.
      for (;;) {
        char name[16384];
        DWORD size = sizeof name;
        result = RegEnumValueA(open.get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) return PolicyFailed("cannot read", key, result);
        result = RegDeleteValueA(open.get(), name);
        if (result != ERROR_SUCCESS) {
          return PolicyFailed("cannot remove " + std::string(name) + " of", key, result);
        }
      }
    }
    const LONG result = DeleteKeyInView(key, view);
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) return "";
    return PolicyFailed("cannot remove", key, result);
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

PolicyRegistry& RegistryPolicies() {
  static RegistryPoliciesImpl policies;
  return policies;
}

LowerPaths& RegistryLowerPaths() {
  static RegistryLowerPathsImpl paths;
  return paths;
}

}  // namespace tarvel::ctl
