#include "platform/win/machine_settings.h"

#include <windows.h>

namespace tarvel {
namespace {

constexpr char kSettingsKeyPath[] = "Software\\Tarvel";

HKEY AsKey(SettingsKey::Handle key) { return static_cast<HKEY>(key); }

class RegistrySettingsKey final : public SettingsKey {
 public:
  bool Open(Access access, Handle* key) override {
    HKEY opened = nullptr;
    LONG result = ERROR_INVALID_PARAMETER;
    switch (access) {
      case Access::kRead:
        result = RegOpenKeyA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, &opened);
        break;
      case Access::kCreate:
        result = RegCreateKeyA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, &opened);
        break;
      case Access::kWrite:
        result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_WRITE, &opened);
        break;
    }
    if (result != ERROR_SUCCESS) return false;
    *key = opened;
    return true;
  }

  bool Query(Handle key, const char* name, void* data, std::uint32_t size) override {
    DWORD offered = size;
    return RegQueryValueExA(AsKey(key), name, nullptr, nullptr, static_cast<BYTE*>(data),
                            &offered) == ERROR_SUCCESS;
  }

  bool SetText(Handle key, const char* name, const void* data, std::uint32_t size) override {
    return RegSetValueExA(AsKey(key), name, 0, REG_SZ, static_cast<const BYTE*>(data), size) ==
           ERROR_SUCCESS;
  }

  bool Delete(Handle key, const char* name) override {
    return RegDeleteValueA(AsKey(key), name) == ERROR_SUCCESS;
  }

  void Close(Handle key) override { RegCloseKey(AsKey(key)); }
};

RegistrySettingsKey g_key;
SettingsStore g_store(g_key);

}  // namespace

SettingsKey& MachineSettingsKey() { return g_key; }

SettingsStore& MachineSettings() { return g_store; }

void GetProgramDirectory(char* dst) {
  if (dst == nullptr) return;
  // One byte more than the 260 offered stays NUL; a path that fills the
  // offer was cut and is no path at all.
  char path[MAX_PATH + 1] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    dst[0] = '\0';
    return;
  }
  ProgramDirectoryOf(path, dst, MAX_PATH);
}

}  // namespace tarvel
