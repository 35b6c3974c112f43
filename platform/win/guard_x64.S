// int GuardedCall(GuardedFn fn, void* context)    (Windows x64, GNU as)
//
// Calls fn(context) inside one __try scope of this frame: the unwind data
// names __C_specific_handler, and the scope's filter is the constant 1,
// EXCEPTION_EXECUTE_HANDLER, so every exception that reaches this frame is
// taken. The unwinder then resumes at .Lcaught with this frame's stack, and
// the call returns 0. A normal return of fn gives 1.
//
// The call's return address (.Lreturn) must lie inside [.Lbegin, .Lend): the
// handler matches a frame's scope by the address it will return to.

    .text
    .p2align 4
    .globl GuardedCall
    .def GuardedCall; .scl 2; .type 32; .endef
    .seh_proc GuardedCall
GuardedCall:
    pushq %rbp
    .seh_pushreg %rbp
    movq %rsp, %rbp
    .seh_setframe %rbp, 0
    subq $32, %rsp                  // home space for the callee
    .seh_stackalloc 32
    .seh_endprologue
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long 1                         // one scope
    .rva .Lbegin                    // BeginAddress
    .rva .Lend                      // EndAddress
    .long 1                         // HandlerAddress: EXCEPTION_EXECUTE_HANDLER
    .rva .Lcaught                   // JumpTarget
    .text
    movq %rcx, %rax
    movq %rdx, %rcx
.Lbegin:
    callq *%rax
.Lreturn:
    nop
.Lend:
    movl $1, %eax
    jmp .Ldone
.Lcaught:
    xorl %eax, %eax
.Ldone:
    movq %rbp, %rsp
    popq %rbp
    ret
    .seh_endproc
