// The same shape in this executable, described by its .eh_frame: dwarf_calls_noreturn ends with
// a call that never returns, so its return address is dwarf_after_noreturn's first byte. Never
// run; the tests read the call-frame information.
    .text
    .p2align 2
    .globl dwarf_calls_noreturn
    .type dwarf_calls_noreturn, %function
dwarf_calls_noreturn:
    .cfi_startproc
    stp x29, x30, [sp, #-16]!
    .cfi_def_cfa_offset 16
    .cfi_offset x29, -16
    .cfi_offset x30, -8
    bl dwarf_stops
    .cfi_endproc
    .size dwarf_calls_noreturn, .-dwarf_calls_noreturn

    .globl dwarf_after_noreturn
    .type dwarf_after_noreturn, %function
dwarf_after_noreturn:
    .cfi_startproc
    ret
    .cfi_endproc
    .size dwarf_after_noreturn, .-dwarf_after_noreturn

    .type dwarf_stops, %function
dwarf_stops:
    b dwarf_stops
    .size dwarf_stops, .-dwarf_stops
    .section .note.GNU-stack,"",%progbits
