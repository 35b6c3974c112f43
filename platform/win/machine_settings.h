// The settings of this machine: the key Software\Tarvel under
// HKEY_LOCAL_MACHINE, and the running program's directory.
#pragma once

#include <cstdint>

#include "state/settings.h"

namespace tarvel {

// HKEY_LOCAL_MACHINE\Software\Tarvel. With no view, opened with the calls
// the module itself uses (RegOpenKeyA, RegCreateKeyA, RegOpenKeyExA with
// KEY_WRITE); with a view (KEY_WOW64_64KEY or KEY_WOW64_32KEY), through the
// Ex forms in that registry view, as a control program on 64-bit Windows
// needs to reach both.
class RegistrySettingsKey final : public SettingsKey {
 public:
  explicit RegistrySettingsKey(std::uint32_t view = 0) : view_(view) {}
  bool Open(Access access, Handle* key) override;
  bool Query(Handle key, const char* name, void* data, std::uint32_t size) override;
  bool SetText(Handle key, const char* name, const void* data, std::uint32_t size) override;
  bool Delete(Handle key, const char* name) override;
  void Close(Handle key) override;

 private:
  std::uint32_t view_;
};

// HKEY_LOCAL_MACHINE\Software\Tarvel through the registry functions.
SettingsKey& MachineSettingsKey();

// A store over MachineSettingsKey().
SettingsStore& MachineSettings();

// Puts the directory of the running process's executable (not of this
// module) into `dst`, at least 260 bytes, ending in a backslash. `dst` gets
// the empty text when the executable's path cannot be had whole.
void GetProgramDirectory(char* dst);

}  // namespace tarvel
