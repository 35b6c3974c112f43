// The machine-wide lock that keeps the set-ups of processes attaching at the
// same moment apart.
#pragma once

namespace tarvel {

// Takes the set-up mutex, waiting up to 10 seconds for another process's
// set-up; a mutex left by a process that died holding it is taken too.
// False when the mutex can be neither created nor opened, or the wait ran
// out (the caller then sets up unguarded rather than hang its process).
bool EnterSetUpMutex();
void LeaveSetUpMutex();

}  // namespace tarvel
