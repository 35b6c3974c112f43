// tarvelctl's registry: the lookup values of the lower providers and the
// settings key, each in the registry view of one catalog's programs.
#pragma once

#include <windows.h>

#include "state/settings.h"
#include "tools/tarvelctl/catalog.h"
#include "tools/tarvelctl/machine.h"

namespace tarvel::ctl {

// Whether this Windows is 64-bit (this process may be a 32-bit one on it).
bool Is64BitWindows();

// KEY_WOW64_64KEY or KEY_WOW64_32KEY on 64-bit Windows; 0 on 32-bit Windows,
// which has one view.
REGSAM ViewFlag(CatalogKind view);

LowerPaths& RegistryLowerPaths();
PolicyRegistry& RegistryPolicies();

}  // namespace tarvel::ctl
