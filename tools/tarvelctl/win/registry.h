// tarvelctl's registry: the lookup values of the lower providers and the
// settings key, each in the registry view of one catalog's programs.
#pragma once

#include <windows.h>

#include "state/settings.h"
#include "tools/tarvelctl/catalog.h"

namespace tarvel::ctl {

// Whether this Windows is 64-bit (this process may be a 32-bit one on it).
bool Is64BitWindows();

// KEY_WOW64_64KEY or KEY_WOW64_32KEY on 64-bit Windows; 0 on 32-bit Windows,
// which has one view.
REGSAM ViewFlag(CatalogKind view);

LowerPaths& RegistryLowerPaths();

// HKLM\Software\Tarvel in the given view, opened as the settings store asks.
class ViewSettingsKey final : public SettingsKey {
 public:
  explicit ViewSettingsKey(REGSAM view) : view_(view) {}
  bool Open(Access access, Handle* key) override;
  bool Query(Handle key, const char* name, void* data, std::uint32_t size) override;
  bool SetText(Handle key, const char* name, const void* data, std::uint32_t size) override;
  bool Delete(Handle key, const char* name) override;
  void Close(Handle key) override;

 private:
  REGSAM view_;
};

}  // namespace tarvel::ctl
