// The calling thread's tokens, read for the lock on the filter's exports.
#pragma once

#include "state/change_rights.h"

namespace tarvel {

// The facts of the calling thread's impersonation token (when it has one)
// and of its process's primary token. A token that cannot be read gives no
// rights.
CallerToken ReadCallerToken();

}  // namespace tarvel
