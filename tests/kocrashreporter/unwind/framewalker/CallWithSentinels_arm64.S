// call_with_sentinels(function, a0, a1, a2, values, sp_out): calls function(a0, a1, a2) with
// x19 to x28 loaded from the ten values, after storing its stack pointer at the call in
// *sp_out. The call returns to call_with_sentinels_return. Its call-frame information lets a
// DWARF unwinder step out of it.
    .text
    .globl call_with_sentinels
    .type call_with_sentinels, %function
call_with_sentinels:
    .cfi_startproc
    stp x29, x30, [sp, #-96]!
    .cfi_def_cfa_offset 96
    .cfi_offset x29, -96
    .cfi_offset x30, -88
    mov x29, sp
    stp x19, x20, [sp, #16]
    stp x21, x22, [sp, #32]
    stp x23, x24, [sp, #48]
    stp x25, x26, [sp, #64]
    stp x27, x28, [sp, #80]
    .cfi_offset x19, -80
    .cfi_offset x20, -72
    .cfi_offset x21, -64
    .cfi_offset x22, -56
    .cfi_offset x23, -48
    .cfi_offset x24, -40
    .cfi_offset x25, -32
    .cfi_offset x26, -24
    .cfi_offset x27, -16
    .cfi_offset x28, -8
    ldp x19, x20, [x4, #0]
    ldp x21, x22, [x4, #16]
    ldp x23, x24, [x4, #32]
    ldp x25, x26, [x4, #48]
    ldp x27, x28, [x4, #64]
    mov x9, sp
    str x9, [x5]
    mov x9, x0
    mov x0, x1
    mov x1, x2
    mov x2, x3
    blr x9
    .globl call_with_sentinels_return
call_with_sentinels_return:
    ldp x19, x20, [sp, #16]
    ldp x21, x22, [sp, #32]
    ldp x23, x24, [sp, #48]
    ldp x25, x26, [sp, #64]
    ldp x27, x28, [sp, #80]
    ldp x29, x30, [sp], #96
    .cfi_restore x19
    .cfi_restore x20
    .cfi_restore x21
    .cfi_restore x22
    .cfi_restore x23
    .cfi_restore x24
    .cfi_restore x25
    .cfi_restore x26
    .cfi_restore x27
    .cfi_restore x28
    .cfi_restore x29
    .cfi_restore x30
    .cfi_def_cfa_offset 0
    ret
    .cfi_endproc
    .size call_with_sentinels, .-call_with_sentinels
    .section .note.GNU-stack,"",%progbits
