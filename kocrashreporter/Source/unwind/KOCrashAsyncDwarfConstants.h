// Numbers of the DWARF call-frame format the unwinder reads: pointer encodings of the GNU
// exception-handling frame format, call-frame instructions and expression operations, as
// published. Constants only; usable anywhere, including at crash time.
#pragma once

#include <cstdint>

namespace kocrash::async {

// Pointer encodings: low four bits the value format, bits 4 to 6 the application, bit 7 the
// indirection.
enum : std::uint8_t {
    DW_EH_PE_absptr = 0x00,
    DW_EH_PE_uleb128 = 0x01,
    DW_EH_PE_udata2 = 0x02,
    DW_EH_PE_udata4 = 0x03,
    DW_EH_PE_udata8 = 0x04,
    DW_EH_PE_signed = 0x08,
    DW_EH_PE_sleb128 = 0x09,
    DW_EH_PE_sdata2 = 0x0A,
    DW_EH_PE_sdata4 = 0x0B,
    DW_EH_PE_sdata8 = 0x0C,

    DW_EH_PE_pcrel = 0x10,
    DW_EH_PE_textrel = 0x20,
    DW_EH_PE_datarel = 0x30,
    DW_EH_PE_funcrel = 0x40,
    DW_EH_PE_aligned = 0x50,

    DW_EH_PE_indirect = 0x80,
    DW_EH_PE_omit = 0xFF,
};

inline constexpr std::uint8_t DW_EH_PE_format_mask = 0x0F;
inline constexpr std::uint8_t DW_EH_PE_application_mask = 0x70;

// Call-frame instructions. The three "primary" ones carry an operand in their low six bits.
enum : std::uint8_t {
    DW_CFA_advance_loc = 0x40,
    DW_CFA_offset = 0x80,
    DW_CFA_restore = 0xC0,

    DW_CFA_nop = 0x00,
    DW_CFA_set_loc = 0x01,
    DW_CFA_advance_loc1 = 0x02,
    DW_CFA_advance_loc2 = 0x03,
    DW_CFA_advance_loc4 = 0x04,
    DW_CFA_offset_extended = 0x05,
    DW_CFA_restore_extended = 0x06,
    DW_CFA_undefined = 0x07,
    DW_CFA_same_value = 0x08,
    DW_CFA_register = 0x09,
    DW_CFA_remember_state = 0x0A,
    DW_CFA_restore_state = 0x0B,
    DW_CFA_def_cfa = 0x0C,
    DW_CFA_def_cfa_register = 0x0D,
    DW_CFA_def_cfa_offset = 0x0E,
    DW_CFA_def_cfa_expression = 0x0F,
    DW_CFA_expression = 0x10,
    DW_CFA_offset_extended_sf = 0x11,
    DW_CFA_def_cfa_sf = 0x12,
    DW_CFA_def_cfa_offset_sf = 0x13,
    DW_CFA_val_offset = 0x14,
    DW_CFA_val_offset_sf = 0x15,
    DW_CFA_val_expression = 0x16,
    // 64-bit ARM: toggles whether the return address is signed (the same number is SPARC's
    // register-window save, which no code here can carry).
    DW_CFA_AARCH64_negate_ra_state = 0x2D,
    // Other vendor extensions, all refused.
    DW_CFA_GNU_args_size = 0x2E,
    DW_CFA_GNU_negative_offset_extended = 0x2F,
};

inline constexpr std::uint8_t DW_CFA_primary_mask = 0xC0;
inline constexpr std::uint8_t DW_CFA_operand_mask = 0x3F;

// Expression operations.
enum : std::uint8_t {
    DW_OP_addr = 0x03,
    DW_OP_deref = 0x06,
    DW_OP_const1u = 0x08,
    DW_OP_const1s = 0x09,
    DW_OP_const2u = 0x0A,
    DW_OP_const2s = 0x0B,
    DW_OP_const4u = 0x0C,
    DW_OP_const4s = 0x0D,
    DW_OP_const8u = 0x0E,
    DW_OP_const8s = 0x0F,
    DW_OP_constu = 0x10,
    DW_OP_consts = 0x11,
    DW_OP_dup = 0x12,
    DW_OP_drop = 0x13,
    DW_OP_over = 0x14,
    DW_OP_pick = 0x15,
    DW_OP_swap = 0x16,
    DW_OP_rot = 0x17,
    DW_OP_xderef = 0x18,
    DW_OP_abs = 0x19,
    DW_OP_and = 0x1A,
    DW_OP_div = 0x1B,
    DW_OP_minus = 0x1C,
    DW_OP_mod = 0x1D,
    DW_OP_mul = 0x1E,
    DW_OP_neg = 0x1F,
    DW_OP_not = 0x20,
    DW_OP_or = 0x21,
    DW_OP_plus = 0x22,
    DW_OP_plus_uconst = 0x23,
    DW_OP_shl = 0x24,
    DW_OP_shr = 0x25,
    DW_OP_shra = 0x26,
    DW_OP_xor = 0x27,
    DW_OP_bra = 0x28,
    DW_OP_eq = 0x29,
    DW_OP_ge = 0x2A,
    DW_OP_gt = 0x2B,
    DW_OP_le = 0x2C,
    DW_OP_lt = 0x2D,
    DW_OP_ne = 0x2E,
    DW_OP_skip = 0x2F,
    DW_OP_lit0 = 0x30,
    DW_OP_lit1 = 0x31,
    DW_OP_lit2 = 0x32,
    DW_OP_lit3 = 0x33,
    DW_OP_lit4 = 0x34,
    DW_OP_lit5 = 0x35,
    DW_OP_lit6 = 0x36,
    DW_OP_lit7 = 0x37,
    DW_OP_lit8 = 0x38,
    DW_OP_lit9 = 0x39,
    DW_OP_lit10 = 0x3A,
    DW_OP_lit11 = 0x3B,
    DW_OP_lit12 = 0x3C,
    DW_OP_lit13 = 0x3D,
    DW_OP_lit14 = 0x3E,
    DW_OP_lit15 = 0x3F,
    DW_OP_lit16 = 0x40,
    DW_OP_lit17 = 0x41,
    DW_OP_lit18 = 0x42,
    DW_OP_lit19 = 0x43,
    DW_OP_lit20 = 0x44,
    DW_OP_lit21 = 0x45,
    DW_OP_lit22 = 0x46,
    DW_OP_lit23 = 0x47,
    DW_OP_lit24 = 0x48,
    DW_OP_lit25 = 0x49,
    DW_OP_lit26 = 0x4A,
    DW_OP_lit27 = 0x4B,
    DW_OP_lit28 = 0x4C,
    DW_OP_lit29 = 0x4D,
    DW_OP_lit30 = 0x4E,
    DW_OP_lit31 = 0x4F,
    DW_OP_reg0 = 0x50,
    DW_OP_reg31 = 0x6F,
    DW_OP_breg0 = 0x70,
    DW_OP_breg31 = 0x8F,
    DW_OP_regx = 0x90,
    DW_OP_fbreg = 0x91,
    DW_OP_bregx = 0x92,
    DW_OP_piece = 0x93,
    DW_OP_deref_size = 0x94,
    DW_OP_xderef_size = 0x95,
    DW_OP_nop = 0x96,
    DW_OP_push_object_address = 0x97,
    DW_OP_call2 = 0x98,
    DW_OP_call4 = 0x99,
    DW_OP_call_ref = 0x9A,
    DW_OP_form_tls_address = 0x9B,
    DW_OP_call_frame_cfa = 0x9C,
    DW_OP_bit_piece = 0x9D,
    DW_OP_implicit_value = 0x9E,
    DW_OP_stack_value = 0x9F,
};

} // namespace kocrash::async
