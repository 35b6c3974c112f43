// The demonstration's control program: loads tarvel.dll (from its own
// folder) into its own process and makes one call of an editing export:
//   demo_control [--as-standard-user] AddBlackUrl|AddWhiteUrl|DelBlackUrl|DelWhiteUrl TEXT
//   demo_control [--as-standard-user] SetOnlyWhiteUrl|SetSmartFilter|SetHttpsFilter|SetLocked
//   NUMBER
// --as-standard-user makes the call as a stand-in standard user
// (tools/demo/standard_user.h). Exits with the export's result, or 100 when
// it cannot make the call.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "tools/demo/standard_user.h"

namespace {

std::string OwnFolder() {
  char path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, n);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

bool TakesNumber(const char* name) {
  return std::strcmp(name, "SetOnlyWhiteUrl") == 0 || std::strcmp(name, "SetSmartFilter") == 0 ||
         std::strcmp(name, "SetHttpsFilter") == 0 || std::strcmp(name, "SetLocked") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool as_user = argc == 4 && std::strcmp(argv[1], "--as-standard-user") == 0;
  if (argc != (as_user ? 4 : 3)) return 100;
  const char* name = argv[as_user ? 2 : 1];
  const char* argument = argv[as_user ? 3 : 2];
  HMODULE tarvel = LoadLibraryA((OwnFolder() + "tarvel.dll").c_str());
  if (tarvel == nullptr) return 100;
  FARPROC entry = GetProcAddress(tarvel, name);
  if (entry == nullptr) return 100;
  std::optional<tarvel::demo::AsStandardUser> user;
  if (as_user && !user.emplace().active()) return 100;
  int result = 0;
  if (TakesNumber(name)) {
    auto set = reinterpret_cast<int(__cdecl*)(int)>(reinterpret_cast<void*>(entry));
    result = set(std::atoi(argument));
  } else {
    auto edit = reinterpret_cast<int(__cdecl*)(const char*)>(reinterpret_cast<void*>(entry));
    result = edit(argument);
  }
  return result;
}
