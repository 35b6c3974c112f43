// WSPStartup: find, load and start the provider beneath this layer, keep its
// table, and hand the caller this module's 30 entry points.
#include <winsock2.h>
#include <ws2spi.h>

#include <cstring>

#include "platform/win/reg_key.h"
#include "provider/lower_lookup.h"
#include "provider/win/lower_table.h"

namespace tarvel {
namespace {}  // namespace

// Puts the lower provider's module path into `path` (kModulePathBytes, empty
// on entry) and returns 1, or returns 0. The stored text may hold environment
// references; an expansion that leaves nothing falls back to the text itself.
int FindLowerProviderPath(const WSAPROTOCOL_INFOW* info, char* path) {
  std::uint32_t chain[kMaxProtocolChain];
  static_assert(sizeof chain == sizeof info->ProtocolChain.ChainEntries);
  std::memcpy(chain, info->ProtocolChain.ChainEntries, sizeof chain);
  char name[11];
  FormatValueName(LowerCatalogId(info->ProtocolChain.ChainLen, chain, info->dwCatalogEntryId),
                  name);

  RegKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLowerPathsKey, 0, KEY_READ, key.Receive()) !=
      ERROR_SUCCESS) {
    return 0;
  }
  // One byte beyond what the registry may fill stays NUL: a value of exactly
  // 260 bytes without a terminator still reads as a bounded text.
  char stored[kStoredPathBytes + 1] = {};
  DWORD size = kStoredPathBytes;
  if (RegQueryValueExA(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(stored), &size) !=
      ERROR_SUCCESS) {
    return 0;
  }
  // The expansion gets the whole of `path`: %windir% and %ProgramFiles% grow
  // the text. One that does not fit (the result counts the room it needs) is
  // refused rather than loaded cut.
  const DWORD expanded = ExpandEnvironmentStringsA(stored, path, kModulePathBytes);
  if (expanded == 0 || expanded > kModulePathBytes) return 0;
  if (path[0] == '\0' && stored[0] != '\0') std::memcpy(path, stored, sizeof stored);
  return 1;
}

}  // namespace tarvel

// --- WSPStartup ------------------------------------------------------------
// Returns 0 with all 30 entries of *lpProcTable leading into this module, or
// WSAEPROVIDERFAILEDINIT when the lower provider cannot be found, loaded or
// entered, or the lower WSPStartup's own non-zero result with the caller's
// table as the lower provider left it. The lower module is never unloaded.
extern "C" int WSPAPI WSPStartup(WORD wVersionRequested, LPWSPDATA lpWSPData,
                                 LPWSAPROTOCOL_INFOW lpProtocolInfo, WSPUPCALLTABLE UpcallTable,
                                 LPWSPPROC_TABLE lpProcTable) {
  if (lpProtocolInfo == nullptr) return WSAEPROVIDERFAILEDINIT;
  char path[tarvel::kModulePathBytes] = {};
  if (tarvel::FindLowerProviderPath(lpProtocolInfo, path) != 1) return WSAEPROVIDERFAILEDINIT;
  HMODULE lower = LoadLibraryA(path);
  if (lower == nullptr) return WSAEPROVIDERFAILEDINIT;
  auto lower_startup =
      reinterpret_cast<LPWSPSTARTUP>(reinterpret_cast<void*>(GetProcAddress(lower, "WSPStartup")));
  if (lower_startup == nullptr) return WSAEPROVIDERFAILEDINIT;
  const int result =
      lower_startup(wVersionRequested, lpWSPData, lpProtocolInfo, UpcallTable, lpProcTable);
  if (result != 0) return result;
  tarvel::InstallProcTables(lpProcTable);
  return 0;
}
