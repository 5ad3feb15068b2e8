// kocrash_async_thread_state_current(callback, context) on 64-bit ARM. May run at crash time.
//
// Fills a machine context (816 bytes) on its own stack with x0..x28 as they stand on entry and
// the caller's frame: fp = the caller's frame pointer (saved in this routine's frame record),
// lr = the return address saved in the caller's frame record, sp = the caller's stack pointer
// at the call, pc = this routine's return address, cpsr = 0. It keeps a standard frame record
// so that the caller's record can be found, and then calls
// kocrash_async_thread_state_current_finish(context, callback, context argument).

    .text
    .p2align 2
    .globl kocrash_async_thread_state_current
    .type kocrash_async_thread_state_current, %function
kocrash_async_thread_state_current:
    .cfi_startproc
    stp x29, x30, [sp, #-16]!
    .cfi_def_cfa_offset 16
    .cfi_offset 29, -16
    .cfi_offset 30, -8
    mov x29, sp
    .cfi_def_cfa_register 29
    sub sp, sp, #816

    // General registers x0..x28 at 16 + 8 * n.
    stp x0, x1, [sp, #16]
    stp x2, x3, [sp, #32]
    stp x4, x5, [sp, #48]
    stp x6, x7, [sp, #64]
    stp x8, x9, [sp, #80]
    stp x10, x11, [sp, #96]
    stp x12, x13, [sp, #112]
    stp x14, x15, [sp, #128]
    stp x16, x17, [sp, #144]
    stp x18, x19, [sp, #160]
    stp x20, x21, [sp, #176]
    stp x22, x23, [sp, #192]
    stp x24, x25, [sp, #208]
    stp x26, x27, [sp, #224]
    str x28, [sp, #240]

    // fp: the caller's frame pointer.
    ldr x9, [x29]
    str x9, [sp, #248]
    // lr: the return address in the caller's frame record, when that record can be one
    // (non-null and 16-byte aligned); 0 otherwise.
    mov x10, #0
    cbz x9, 1f
    tst x9, #15
    b.ne 1f
    ldr x10, [x9, #8]
1:
    str x10, [sp, #256]
    // sp: the caller's stack pointer at the call.
    add x11, x29, #16
    str x11, [sp, #264]
    // pc: where the caller continues.
    str x30, [sp, #272]
    // cpsr and the reserved word.
    str xzr, [sp, #280]

    mov x2, x1
    mov x1, x0
    mov x0, sp
    bl kocrash_async_thread_state_current_finish

    mov sp, x29
    ldp x29, x30, [sp], #16
    .cfi_def_cfa sp, 0
    .cfi_restore 29
    .cfi_restore 30
    ret
    .cfi_endproc
    .size kocrash_async_thread_state_current, . - kocrash_async_thread_state_current

    .section .note.GNU-stack, "", %progbits
