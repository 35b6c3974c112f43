// The settings of this machine: the key Software\Tarvel under
// HKEY_LOCAL_MACHINE, and the running program's directory.
#pragma once

#include "state/settings.h"

namespace tarvel {

// HKEY_LOCAL_MACHINE\Software\Tarvel through the registry functions.
SettingsKey& MachineSettingsKey();

// A store over MachineSettingsKey().
SettingsStore& MachineSettings();

// Puts the directory of the running process's executable (not of this
// module) into `dst`, at least 260 bytes, ending in a backslash. `dst` gets
// the empty text when the executable's path cannot be had whole.
void GetProgramDirectory(char* dst);

}  // namespace tarvel
