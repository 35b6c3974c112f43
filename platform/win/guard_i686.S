// int __cdecl GuardedCall(GuardedFn fn, void* context)    (Windows i686, GNU as)
//
// Calls fn(context) with a registration record of its own on the fs:[0]
// chain. Its handler (guard_i686_handler.c) takes every exception that
// reaches it, unwinds the records above it and jumps to _TarvelGuardResume
// with this frame's esp and ebp (TarvelUnwindAndResume, below), never
// returning to the dispatcher; the call returns 0. A normal return of fn
// gives 1. Either way the record is unlinked and the callee-saved registers
// are restored from this frame.
//
// Record layout (at -28(%ebp), growing up): previous record, handler,
// resume esp, resume ebp.

    .text
    .p2align 4
    .globl _GuardedCall
    .globl _TarvelGuardResume
_GuardedCall:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx                      // -4(%ebp)
    pushl %esi                      // -8(%ebp)
    pushl %edi                      // -12(%ebp)
    pushl %ebp                      // -16: resume ebp
    pushl $0                        // -20: resume esp, set below
    pushl $_TarvelGuardHandler      // -24: handler
    pushl %fs:0                     // -28: previous record
    movl %esp, -20(%ebp)
    movl %esp, %fs:0
    pushl 12(%ebp)                  // context
    call *8(%ebp)                   // fn
    movl $1, %eax
    jmp .Lunlink
_TarvelGuardResume:                 // eax = 0, esp and ebp of this frame
    xorl %eax, %eax
.Lunlink:
    movl -28(%ebp), %ecx
    movl %ecx, %fs:0
    movl -12(%ebp), %edi
    movl -8(%ebp), %esi
    movl -4(%ebp), %ebx
    movl %ebp, %esp
    popl %ebp
    ret

// void __cdecl TarvelUnwindAndResume(void* frame, EXCEPTION_RECORD* record)
//
// Called by the handler with the guard's own record as `frame`; never
// returns. RtlUnwind(frame, 0, record, 0) runs the handlers of the records
// above the guard's and unlinks them, the dispatcher's own included, so that
// fs:[0] is the guard's record again. Then esp and ebp come from the record
// and execution goes on at _TarvelGuardResume: the frames of the dispatcher,
// the handler and this function are abandoned, as MSVC's __except abandons
// them. RtlUnwind on x86 keeps esp but promises no other register, so the
// record is read again from this function's arguments afterwards.
    .globl _TarvelUnwindAndResume
_TarvelUnwindAndResume:
    pushl $0                        // ReturnValue
    pushl 12(%esp)                  // ExceptionRecord
    pushl $0                        // TargetIp: return here
    pushl 16(%esp)                  // TargetFrame: the guard's record
    call _RtlUnwind@16
    movl 4(%esp), %eax              // the guard's record
    movl 12(%eax), %ebp             // resume ebp
    movl 8(%eax), %esp              // resume esp
    jmp _TarvelGuardResume
