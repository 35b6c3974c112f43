// Who may change a locked filter. The exports that change the filter (the
// lists, the mode flags) ask this first; the platform reads the calling
// thread's token into a CallerToken, and the rule below decides.
#pragma once

#include "state/extensions.h"

namespace tarvel {

// What one token says of its holder.
struct TokenFacts {
  bool local_system = false;   // the token's user is LocalSystem
  bool administrator = false;  // Administrators is an enabled group: an elevated
                               // member (a filtered token holds it deny-only)
};

// The tokens of the calling thread: its own when it impersonates, else its
// process's.
struct CallerToken {
  bool impersonating = false;
  TokenFacts thread;
  TokenFacts process;
};

// 1 when the caller may change a locked filter: the token that speaks for
// it (the thread's while it impersonates, else the process's) is
// LocalSystem's or an elevated administrator's.
int HasChangeRights(const CallerToken& caller);

// 1 when a change may go ahead: the filter is not locked ("islck" not 1), or
// `read_caller()` (asked only then) has the rights.
template <typename ReadCaller>
int MayChangeFilter(const SharedExtensions& extensions, ReadCaller&& read_caller) {
  if (!IsOn(extensions.locked)) return 1;
  return HasChangeRights(read_caller());
}

}  // namespace tarvel
