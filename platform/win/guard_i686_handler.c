/* The exception handler of the i686 guard's registration record: takes every
 * exception, unwinds the records registered after its own (running their
 * termination handlers) and resumes the guard frame at its resume label. */
#include <windows.h>

struct GuardRecord {
  void* previous;
  void* handler;
  DWORD resume_esp;
  DWORD resume_ebp;
};

extern void TarvelGuardResume(void);
extern void __cdecl TarvelUnwindTo(void* frame, EXCEPTION_RECORD* record);

EXCEPTION_DISPOSITION __cdecl TarvelGuardHandler(EXCEPTION_RECORD* record, void* frame,
                                                  CONTEXT* context, void* dispatcher) {
  (void)dispatcher;
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) {
    return ExceptionContinueSearch;
  }
  struct GuardRecord* guard = (struct GuardRecord*)frame;
  TarvelUnwindTo(frame, record);
  context->Eip = (DWORD)(ULONG_PTR)&TarvelGuardResume;
  context->Esp = guard->resume_esp;
  context->Ebp = guard->resume_ebp;
  return ExceptionContinueExecution;
}
