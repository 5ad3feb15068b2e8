// fault_under_self_pointing_record(): stores a frame record whose caller's frame pointer is the
// record's own address, points x29 at it and faults with a store to the first page. It has no
// call-frame information, so only the frame record describes its caller.
    .text
    .globl fault_under_self_pointing_record
    .type fault_under_self_pointing_record, %function
fault_under_self_pointing_record:
    sub sp, sp, #16
    mov x29, sp
    adr x9, self_pointing_record_return
    stp x29, x9, [sp]
    mov x9, #0x10
    str xzr, [x9]
self_pointing_record_return:
    add sp, sp, #16
    ret
    .size fault_under_self_pointing_record, .-fault_under_self_pointing_record
    .section .note.GNU-stack,"",%progbits
