// The machine-wide lock that keeps the set-ups of processes attaching at the
// same moment apart.
#pragma once

#include "state/attach.h"

namespace tarvel {

// Takes the set-up mutex, waiting up to 10 seconds for another process's
// set-up; a mutex left by a process that died holding it is taken too.
// kBusy when the wait ran out (another process holds it and sets up);
// kUnavailable when the mutex can be neither created nor opened, or the
// wait failed.
SetUpEntry EnterSetUpMutex();
void LeaveSetUpMutex();

}  // namespace tarvel
