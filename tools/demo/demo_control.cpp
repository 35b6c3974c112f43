// The demonstration's control program: loads tarvel.dll (from its own
// folder) into its own process and makes one call of an editing export:
//   demo_control AddBlackUrl|AddWhiteUrl|DelBlackUrl|DelWhiteUrl TEXT
//   demo_control SetOnlyWhiteUrl|SetSmartFilter|SetHttpsFilter NUMBER
// Exits with the export's result (1), or 100 when it cannot make the call.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string OwnFolder() {
  char path[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, n);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

bool TakesNumber(const char* name) {
  return std::strcmp(name, "SetOnlyWhiteUrl") == 0 || std::strcmp(name, "SetSmartFilter") == 0 ||
         std::strcmp(name, "SetHttpsFilter") == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 100;
  HMODULE tarvel = LoadLibraryA((OwnFolder() + "tarvel.dll").c_str());
  if (tarvel == nullptr) return 100;
  FARPROC entry = GetProcAddress(tarvel, argv[1]);
  if (entry == nullptr) return 100;
  if (TakesNumber(argv[1])) {
    auto set = reinterpret_cast<int(__cdecl*)(int)>(reinterpret_cast<void*>(entry));
    return set(std::atoi(argv[2]));
  }
  auto edit = reinterpret_cast<int(__cdecl*)(const char*)>(reinterpret_cast<void*>(entry));
  return edit(argv[2]);
}
