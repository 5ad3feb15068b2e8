// call_with_known_registers(function, argument, values, sp_out): calls function(argument) with
// x19..x28 set to the ten values, after storing its stack pointer at the call in *sp_out.
// The return address of that call is call_with_known_registers_return.
    .text
    .globl call_with_known_registers
    .type call_with_known_registers, %function
call_with_known_registers:
    stp x29, x30, [sp, #-96]!
    mov x29, sp
    stp x19, x20, [sp, #16]
    stp x21, x22, [sp, #32]
    stp x23, x24, [sp, #48]
    stp x25, x26, [sp, #64]
    stp x27, x28, [sp, #80]
    ldp x19, x20, [x2, #0]
    ldp x21, x22, [x2, #16]
    ldp x23, x24, [x2, #32]
    ldp x25, x26, [x2, #48]
    ldp x27, x28, [x2, #64]
    mov x9, sp
    str x9, [x3]
    mov x9, x0
    mov x0, x1
    blr x9
    .globl call_with_known_registers_return
call_with_known_registers_return:
    ldp x19, x20, [sp, #16]
    ldp x21, x22, [sp, #32]
    ldp x23, x24, [sp, #48]
    ldp x25, x26, [sp, #64]
    ldp x27, x28, [sp, #80]
    ldp x29, x30, [sp], #96
    ret
    .size call_with_known_registers, .-call_with_known_registers
    .section .note.GNU-stack,"",%progbits
