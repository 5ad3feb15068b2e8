// kocrash_fixture_call_last(function, argument): a frame record, then a call to function that
// is the last instruction. kocrash_fixture_after_call starts right after it.
    .text
#if defined(__x86_64__)
    .p2align 4
    .globl kocrash_fixture_call_last
    .type kocrash_fixture_call_last, @function
kocrash_fixture_call_last:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    movq %rdi, %rax
    movq %rsi, %rdi
    call *%rax
    .cfi_endproc
    .size kocrash_fixture_call_last, .-kocrash_fixture_call_last

    .globl kocrash_fixture_after_call
    .type kocrash_fixture_after_call, @function
kocrash_fixture_after_call:
    .cfi_startproc
    ret
    .cfi_endproc
    .size kocrash_fixture_after_call, .-kocrash_fixture_after_call
#elif defined(__aarch64__)
    .p2align 2
    .globl kocrash_fixture_call_last
    .type kocrash_fixture_call_last, %function
kocrash_fixture_call_last:
    .cfi_startproc
    stp x29, x30, [sp, #-16]!
    .cfi_def_cfa_offset 16
    .cfi_offset x29, -16
    .cfi_offset x30, -8
    mov x29, sp
    mov x9, x0
    mov x0, x1
    blr x9
    .cfi_endproc
    .size kocrash_fixture_call_last, .-kocrash_fixture_call_last

    .globl kocrash_fixture_after_call
    .type kocrash_fixture_after_call, %function
kocrash_fixture_after_call:
    .cfi_startproc
    ret
    .cfi_endproc
    .size kocrash_fixture_after_call, .-kocrash_fixture_after_call
#endif
    .section .note.GNU-stack,"",%progbits
