// Catch-all guards for code that touches memory the application owns.
//
// GuardedCall(fn, context) runs fn(context) and returns 1 when it returned,
// or 0 when a fault or exception escaped it; the stack of fn is then gone.
//
// On Windows x64 the guard is a frame whose unwind data names
// __C_specific_handler with one scope and the constant filter
// EXCEPTION_EXECUTE_HANDLER: the mechanism behind MSVC's __try/__except. It
// catches every structured exception raised inside fn, processor faults such
// as access violations included, after the handlers of any frames below it
// (the lower provider's own __try blocks keep working). On i686 the guard
// registers a frame on the fs:[0] chain whose handler unwinds with RtlUnwind
// and jumps to the guard's exit itself, never returning to the dispatcher, so
// that non-continuable exceptions are caught like any other.
//
// Limits, which callers must respect:
// - fn must catch its own C++ exceptions (catch (...)): libgcc's unwinder
//   does not cope with a foreign handler unwinding a C++ exception through
//   GCC frames that run destructors.
// - Frames between the guard and a fault are discarded without running their
//   destructors: fn must hold no resource that needs releasing.
// - State that fn writes and the caller reads after a fault must be written
//   through memory (volatile), not kept in registers.
// - A stack overflow is not recoverable this way.
// On the native build (tests only) the stand-in catches C++ exceptions, which
// fakes throw to stand for faults.
#pragma once

namespace tarvel {

using GuardedFn = void (*)(void* context);

extern "C" int GuardedCall(GuardedFn fn, void* context);

}  // namespace tarvel
