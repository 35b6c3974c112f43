// The module's entry routine. The runtime's own start-up has run before each
// attach notification reaches it, and its clean-up runs after each detach.
#include "provider/win/lower_table.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  (void)module;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) tarvel::InitStartupLock();
  return TRUE;
}
