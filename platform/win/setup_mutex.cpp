#include "platform/win/setup_mutex.h"

#include <windows.h>

namespace tarvel {
namespace {

// The shared block is shared by every process that maps the module, in
// every session, so the lock lives in the global namespace: a per-session
// (Local\) name would let a service and a user's program set one block up
// at the same time.
constexpr char kMutexName[] = "Global\\TarvelFilterStateSetUp";
// A set-up reads two registry values and two files of at most 200 KB.
constexpr DWORD kWaitMs = 10000;

// Held between EnterSetUpMutex and LeaveSetUpMutex. The loader delivers one
// notification at a time in a process, so one handle suffices.
HANDLE g_held = nullptr;

// Processes of every user load the module, so every user may wait on the
// mutex and release it: it is created with no DACL. Opening asks only for
// the rights a wait and a release need, which a process of low integrity
// also gets.
HANDLE CreateOrOpenMutex() {
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
  const bool described = InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                         SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
  HANDLE mutex = CreateMutexA(described ? &attributes : nullptr, FALSE, kMutexName);
  if (mutex == nullptr) mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kMutexName);
  return mutex;
}

}  // namespace

SetUpEntry EnterSetUpMutex() {
  HANDLE mutex = CreateOrOpenMutex();
  if (mutex == nullptr) return SetUpEntry::kUnavailable;
  const DWORD waited = WaitForSingleObject(mutex, kWaitMs);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(mutex);
    return waited == WAIT_TIMEOUT ? SetUpEntry::kBusy : SetUpEntry::kUnavailable;
  }
  g_held = mutex;
  return SetUpEntry::kEntered;
}

void LeaveSetUpMutex() {
  if (g_held == nullptr) return;
  ReleaseMutex(g_held);
  CloseHandle(g_held);
  g_held = nullptr;
}

}  // namespace tarvel
