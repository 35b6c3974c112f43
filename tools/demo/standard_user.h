// A stand-in for a standard user where every process runs as an
// administrator (Wine): the calling thread impersonates a restricted copy
// of its process's token in which the Administrators group is held for deny
// only, as in an administrator's everyday token under User Account Control.
#pragma once

#include <windows.h>

namespace tarvel::demo {

// Impersonates the restricted token until the holder goes.
class AsStandardUser {
 public:
  AsStandardUser() {
    HANDLE process = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process)) return;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    HANDLE restricted = nullptr;
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size)) {
      SID_AND_ATTRIBUTES disabled = {sid, 0};
      if (CreateRestrictedToken(process, 0, 1, &disabled, 0, nullptr, 0, nullptr, &restricted)) {
        active_ = ImpersonateLoggedOnUser(restricted) != FALSE;
        CloseHandle(restricted);
      }
    }
    CloseHandle(process);
  }
  ~AsStandardUser() {
    if (active_) RevertToSelf();
  }
  AsStandardUser(const AsStandardUser&) = delete;
  AsStandardUser& operator=(const AsStandardUser&) = delete;

  bool active() const { return active_; }

 private:
  bool active_ = false;
};

}  // namespace tarvel::demo
