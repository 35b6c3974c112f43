/* The exception handler of the i686 guard's registration record: takes every
 * exception, unwinds the records registered after its own (running their
 * termination handlers) and resumes the guard frame at its resume label.
 *
 * It never returns to the dispatcher once it takes an exception, as MSVC's
 * __except does not: the dispatcher may not continue a non-continuable
 * exception, and would raise STATUS_NONCONTINUABLE_EXCEPTION into this same
 * handler, again and again. */
#include <windows.h>

extern __declspec(noreturn) void __cdecl TarvelUnwindAndResume(void* frame,
                                                               EXCEPTION_RECORD* record);

EXCEPTION_DISPOSITION __cdecl TarvelGuardHandler(EXCEPTION_RECORD* record, void* frame,
                                                 CONTEXT* context, void* dispatcher) {
  (void)context;
  (void)dispatcher;
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) {
    return ExceptionContinueSearch;
  }
  TarvelUnwindAndResume(frame, record);
}
