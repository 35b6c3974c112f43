// The module's entry routine: every loader notification goes to module
// attach. The runtime's own start-up has run before each attach reaches it,
// and its clean-up runs after each detach (a process detach arrives only when
// the runtime's process attach completed). Thread notifications stay on:
// they are counted too.
#include <winsock2.h>  // before windows.h

#include <windows.h>

#include "platform/win/list_files.h"
#include "platform/win/machine_settings.h"
#include "platform/win/process_categories.h"
#include "platform/win/setup_mutex.h"
#include "provider/win/lower_table.h"
#include "state/attach.h"
#include "state/shared_state.h"

namespace tarvel {
namespace {

class WindowsAttachPlatform final : public AttachPlatform {
 public:
  SetUpEntry EnterSetUp() override { return EnterSetUpMutex(); }
  void LeaveSetUp() override { LeaveSetUpMutex(); }
  SettingsStore& Settings() override { return MachineSettings(); }
  ListFiles& Files() override { return WindowsListFiles(); }
  std::uint32_t NowMs() override { return GetTickCount(); }
};

WindowsAttachPlatform g_platform;

}  // namespace
}  // namespace tarvel

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  (void)module;
  // The process's start-up lock exists before any WSPStartup of the process
  // can run: no socket call reaches the module before its process attach.
  if (reason == DLL_PROCESS_ATTACH) tarvel::InitStartupLock();
  // Unloaded by FreeLibrary (reserved null), the process goes on: its views
  // of the category files go with the module. At process exit they go with
  // the process.
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) tarvel::ReleaseProcessCategories();
  return tarvel::ModuleAttach(tarvel::SharedState(), tarvel::SharedExtensionBlock(),
                              tarvel::g_platform, static_cast<tarvel::Notification>(reason)) == 1;
}

static_assert(DLL_PROCESS_DETACH == static_cast<DWORD>(tarvel::Notification::kProcessDetach));
static_assert(DLL_PROCESS_ATTACH == static_cast<DWORD>(tarvel::Notification::kProcessAttach));
static_assert(DLL_THREAD_ATTACH == static_cast<DWORD>(tarvel::Notification::kThreadAttach));
static_assert(DLL_THREAD_DETACH == static_cast<DWORD>(tarvel::Notification::kThreadDetach));
