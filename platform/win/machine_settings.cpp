#include "platform/win/machine_settings.h"

#include <windows.h>

namespace tarvel {
namespace {

constexpr char kSettingsKeyPath[] = "Software\\Tarvel";

HKEY AsKey(SettingsKey::Handle key) { return static_cast<HKEY>(key); }

RegistrySettingsKey g_key;
SettingsStore g_store(g_key);

// Opens with the module's own calls, or in a view through the Ex forms.
LONG OpenSettingsKey(SettingsKey::Access access, REGSAM view, HKEY* opened) {
  using Access = SettingsKey::Access;
  if (view == 0) {
    switch (access) {
      case Access::kRead:
        return RegOpenKeyA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, opened);
      case Access::kCreate:
        return RegCreateKeyA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, opened);
      case Access::kWrite:
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_WRITE, opened);
    }
    return ERROR_INVALID_PARAMETER;
  }
  switch (access) {
    case Access::kRead:
      return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_READ | view, opened);
    case Access::kCreate:
      return RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, 0,
                             KEY_READ | KEY_WRITE | view, nullptr, opened, nullptr);
    case Access::kWrite:
      return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_WRITE | view, opened);
  }
  return ERROR_INVALID_PARAMETER;
}

}  // namespace

bool RegistrySettingsKey::Open(Access access, Handle* key) {
  HKEY opened = nullptr;
  if (OpenSettingsKey(access, view_, &opened) != ERROR_SUCCESS) return false;
  *key = opened;
  return true;
}

bool RegistrySettingsKey::Query(Handle key, const char* name, void* data, std::uint32_t size) {
  DWORD offered = size;
  return RegQueryValueExA(AsKey(key), name, nullptr, nullptr, static_cast<BYTE*>(data), &offered) ==
         ERROR_SUCCESS;
}

bool RegistrySettingsKey::SetText(Handle key, const char* name, const void* data,
                                  std::uint32_t size) {
  return RegSetValueExA(AsKey(key), name, 0, REG_SZ, static_cast<const BYTE*>(data), size) ==
         ERROR_SUCCESS;
}

bool RegistrySettingsKey::Delete(Handle key, const char* name) {
  return RegDeleteValueA(AsKey(key), name) == ERROR_SUCCESS;
}

void RegistrySettingsKey::Close(Handle key) { RegCloseKey(AsKey(key)); }

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
