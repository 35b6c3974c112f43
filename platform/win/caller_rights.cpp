#include "platform/win/caller_rights.h"

#include <windows.h>

#include <memory>

namespace tarvel {
namespace {

// A token's information of one class, in a buffer of its size; null when it
// cannot be read (GetTokenInformation, asked first for the size).
std::unique_ptr<unsigned char[]> TokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  GetTokenInformation(token, kind, nullptr, 0, &size);
  if (size == 0) return nullptr;
  auto data = std::make_unique<unsigned char[]>(size);
  if (!GetTokenInformation(token, kind, data.get(), size, &size)) return nullptr;
  return data;
}

// An enabled group counts; one held for deny only (the Administrators group
// of a user's filtered token under User Account Control) does not.
bool HasEnabledGroup(HANDLE token, WELL_KNOWN_SID_TYPE group) {
  const auto data = TokenInformation(token, TokenGroups);
  if (data == nullptr) return false;
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(data.get());
  for (DWORD i = 0; i < groups->GroupCount; ++i) {
    const DWORD attributes = groups->Groups[i].Attributes;
    if ((attributes & SE_GROUP_ENABLED) == 0 || (attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0) {
      continue;
    }
    if (IsWellKnownSid(groups->Groups[i].Sid, group)) return true;
  }
  return false;
}

bool UserIs(HANDLE token, WELL_KNOWN_SID_TYPE user) {
  const auto data = TokenInformation(token, TokenUser);
  return data != nullptr &&
         IsWellKnownSid(reinterpret_cast<const TOKEN_USER*>(data.get())->User.Sid, user);
}

TokenFacts FactsOf(HANDLE token) {
  TokenFacts facts;
  facts.local_system = UserIs(token, WinLocalSystemSid);
  facts.administrator = HasEnabledGroup(token, WinBuiltinAdministratorsSid);
  return facts;
}

}  // namespace

CallerToken ReadCallerToken() {
  CallerToken caller;
  HANDLE token = nullptr;
  // Opened as the process, so that a thread impersonating a client without
  // the right to query its own token still has it read.
  if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
    caller.impersonating = true;
    caller.thread = FactsOf(token);
    CloseHandle(token);
  }
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    caller.process = FactsOf(token);
    CloseHandle(token);
  }
  return caller;
}

}  // namespace tarvel
