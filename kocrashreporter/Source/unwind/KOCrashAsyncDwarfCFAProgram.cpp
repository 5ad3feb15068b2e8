// May run at crash time: everything in this file (a second state on the caller's stack and
// memory-object lookups). Factored offsets are multiplied in unsigned arithmetic, so hostile
// operands wrap instead of overflowing.
#include "unwind/KOCrashAsyncDwarfCFAState.h"

#include "unwind/KOCrashAsyncDwarfConstants.h"
#include "unwind/KOCrashAsyncDwarfOpStream.h"

namespace kocrash::async {
namespace {

template <typename word, typename signed_word> class Interpreter {
public:
    using state_type = dwarf_cfa_state<word, signed_word>;

    Interpreter(state_type* state, const state_type* initial_rules,
                const kocrash_async_dwarf_cie_info* cie, const gnu_ehptr_reader<word>* reader,
                std::uint8_t location_encoding, dwarf_opstream* stream, word* location)
        : state_(state), initial_rules_(initial_rules), cie_(cie), reader_(reader),
          location_encoding_(location_encoding), stream_(stream), location_(location) {}

    kocrash_error_t step(std::uint8_t opcode) {
        const std::uint8_t operand = opcode & DW_CFA_operand_mask;
        switch (opcode & DW_CFA_primary_mask) {
        case DW_CFA_advance_loc:
            advance(operand);
            return KOCRASH_ESUCCESS;
        case DW_CFA_offset:
            return setFactoredUnsigned(operand, DWARF_RULE_OFFSET);
        case DW_CFA_restore:
            return restore(operand);
        default:
            return extended(opcode);
        }
    }

private:
    kocrash_error_t extended(std::uint8_t opcode) {
        std::uint32_t regnum;
        kocrash_error_t error;
        switch (opcode) {
        case DW_CFA_nop:
            return KOCRASH_ESUCCESS;
        case DW_CFA_set_loc:
            return setLocation();
        case DW_CFA_advance_loc1:
            return advanceBy<std::uint8_t>();
        case DW_CFA_advance_loc2:
            return advanceBy<std::uint16_t>();
        case DW_CFA_advance_loc4:
            return advanceBy<std::uint32_t>();
        case DW_CFA_offset_extended:
            return withRegister([&](std::uint32_t reg) -> kocrash_error_t {
                return setFactoredUnsigned(reg, DWARF_RULE_OFFSET);
            });
        case DW_CFA_offset_extended_sf:
            return withRegister([&](std::uint32_t reg) -> kocrash_error_t {
                return setFactoredSigned(reg, DWARF_RULE_OFFSET);
            });
        case DW_CFA_val_offset:
            return withRegister([&](std::uint32_t reg) -> kocrash_error_t {
                return setFactoredUnsigned(reg, DWARF_RULE_VAL_OFFSET);
            });
        case DW_CFA_val_offset_sf:
            return withRegister([&](std::uint32_t reg) -> kocrash_error_t {
                return setFactoredSigned(reg, DWARF_RULE_VAL_OFFSET);
            });
        case DW_CFA_restore_extended:
            return withRegister([&](std::uint32_t reg) -> kocrash_error_t { return restore(reg); });
        case DW_CFA_undefined:
            return withRegister([&](std::uint32_t reg) -> kocrash_error_t {
                state_->remove_register(reg);
                return KOCRASH_ESUCCESS;
            });
        case DW_CFA_same_value:
            return withRegister([&](std::uint32_t reg) -> kocrash_error_t {
                return setRule(reg, DWARF_RULE_SAME_VALUE, 0);
            });
        case DW_CFA_register:
            return withRegister([&](std::uint32_t reg) -> kocrash_error_t {
                std::uint64_t source;
                if (!stream_->read_uleb128(&source)) {
                    return KOCRASH_EINVAL;
                }
                return setRule(reg, DWARF_RULE_REGISTER, static_cast<word>(source));
            });
        case DW_CFA_remember_state:
            return state_->push_state() ? KOCRASH_ESUCCESS : KOCRASH_ENOMEM;
        case DW_CFA_restore_state:
            return state_->pop_state() ? KOCRASH_ESUCCESS : KOCRASH_EINVAL;
        case DW_CFA_def_cfa:
            return withRegister([&](std::uint32_t reg) -> kocrash_error_t {
                std::uint64_t offset;
                if (!stream_->read_uleb128(&offset)) {
                    return KOCRASH_EINVAL;
                }
                state_->set_cfa_register(reg, static_cast<word>(offset));
                return KOCRASH_ESUCCESS;
            });
        case DW_CFA_def_cfa_sf:
            return withRegister([&](std::uint32_t reg) -> kocrash_error_t {
                word offset;
                if (!readFactoredSigned(&offset)) {
                    return KOCRASH_EINVAL;
                }
                state_->set_cfa_register_signed(reg, static_cast<signed_word>(offset));
                return KOCRASH_ESUCCESS;
            });
        case DW_CFA_def_cfa_register:
            if ((error = readRegister(&regnum)) != KOCRASH_ESUCCESS) {
                return error;
            }
            return changeCfa([&](const dwarf_cfa_rule<word, signed_word>& rule) -> kocrash_error_t {
                if (rule.type() == dwarf_cfa_rule<word, signed_word>::CFA_RULE_TYPE_REGISTER) {
                    state_->set_cfa_register(regnum, rule.register_offset());
                } else {
                    state_->set_cfa_register_signed(regnum, rule.register_offset_signed());
                }
                return KOCRASH_ESUCCESS;
            });
        case DW_CFA_def_cfa_offset:
            return changeCfa([&](const dwarf_cfa_rule<word, signed_word>& rule) -> kocrash_error_t {
                std::uint64_t offset;
                if (!stream_->read_uleb128(&offset)) {
                    return KOCRASH_EINVAL;
                }
                state_->set_cfa_register(rule.register_number(), static_cast<word>(offset));
                return KOCRASH_ESUCCESS;
            });
        case DW_CFA_def_cfa_offset_sf:
            return changeCfa([&](const dwarf_cfa_rule<word, signed_word>& rule) -> kocrash_error_t {
                word offset;
                if (!readFactoredSigned(&offset)) {
                    return KOCRASH_EINVAL;
                }
                state_->set_cfa_register_signed(rule.register_number(),
                                                static_cast<signed_word>(offset));
                return KOCRASH_ESUCCESS;
            });
        case DW_CFA_def_cfa_expression: {
            std::uint64_t length;
            if ((error = readBlockLength(&length)) != KOCRASH_ESUCCESS) {
                return error;
            }
            state_->set_cfa_expression(
                static_cast<word>(stream_->get_start() + stream_->get_position()),
                static_cast<word>(length));
            return stream_->skip(static_cast<std::int64_t>(length)) ? KOCRASH_ESUCCESS
                                                                    : KOCRASH_EINVAL;
        }
        case DW_CFA_expression:
            return withRegister([&](std::uint32_t reg) -> kocrash_error_t {
                return setExpression(reg, DWARF_RULE_EXPRESSION);
            });
        case DW_CFA_val_expression:
            return withRegister([&](std::uint32_t reg) -> kocrash_error_t {
                return setExpression(reg, DWARF_RULE_VAL_EXPRESSION);
            });
        case DW_CFA_AARCH64_negate_ra_state:
            state_->toggle_return_address_signed();
            return KOCRASH_ESUCCESS;
        default:
            // Everything else after DW_CFA_val_expression, vendor extensions included.
            return KOCRASH_ENOTSUP;
        }
    }

    // Register operands are unsigned LEB128 and must fit 32 bits.
    kocrash_error_t readRegister(std::uint32_t* regnum) {
        std::uint64_t value;
        if (!stream_->read_uleb128(&value)) {
            return KOCRASH_EINVAL;
        }
        if (value > UINT32_MAX) {
            return KOCRASH_ENOTSUP;
        }
        *regnum = static_cast<std::uint32_t>(value);
        return KOCRASH_ESUCCESS;
    }

    template <typename Then> kocrash_error_t withRegister(Then then) {
        std::uint32_t regnum;
        kocrash_error_t error = readRegister(&regnum);
        return error == KOCRASH_ESUCCESS ? then(regnum) : error;
    }

    // Offset operands multiplied by the data alignment factor; done unsigned, the product
    // wraps like the signed one would without its undefined overflow.
    word factor(std::uint64_t offset) const {
        return static_cast<word>(offset * static_cast<std::uint64_t>(cie_->data_alignment_factor));
    }

    bool readFactoredSigned(word* value) {
        std::int64_t offset;
        if (!stream_->read_sleb128(&offset)) {
            return false;
        }
        *value = factor(static_cast<std::uint64_t>(offset));
        return true;
    }

    kocrash_error_t setRule(std::uint32_t regnum, kocrash_dwarf_cfa_reg_rule_t rule, word value) {
        return state_->set_register(regnum, rule, value) ? KOCRASH_ESUCCESS : KOCRASH_ENOMEM;
    }

    kocrash_error_t setFactoredUnsigned(std::uint32_t regnum, kocrash_dwarf_cfa_reg_rule_t rule) {
        std::uint64_t offset;
        if (!stream_->read_uleb128(&offset)) {
            return KOCRASH_EINVAL;
        }
        return setRule(regnum, rule, factor(offset));
    }

    kocrash_error_t setFactoredSigned(std::uint32_t regnum, kocrash_dwarf_cfa_reg_rule_t rule) {
        word offset;
        if (!readFactoredSigned(&offset)) {
            return KOCRASH_EINVAL;
        }
        return setRule(regnum, rule, offset);
    }

    kocrash_error_t restore(std::uint32_t regnum) {
        kocrash_dwarf_cfa_reg_rule_t rule;
        word value;
        if (initial_rules_->get_register_rule(regnum, &rule, &value)) {
            return setRule(regnum, rule, value);
        }
        state_->remove_register(regnum);
        return KOCRASH_ESUCCESS;
    }

    kocrash_error_t readBlockLength(std::uint64_t* length) {
        if (!stream_->read_uleb128(length)) {
            return KOCRASH_EINVAL;
        }
        return static_cast<std::int64_t>(*length) < 0 ? KOCRASH_ENOTSUP : KOCRASH_ESUCCESS;
    }

    // The rule keeps the target address of the block's length field; the block is skipped.
    kocrash_error_t setExpression(std::uint32_t regnum, kocrash_dwarf_cfa_reg_rule_t rule) {
        kocrash_vm_address_t block;
        if (!kocrash_async_address_apply_offset(
                stream_->get_start(), static_cast<kocrash_vm_off_t>(stream_->get_position()),
                &block)) {
            return KOCRASH_EINVAL;
        }
        std::uint64_t length;
        kocrash_error_t error = readBlockLength(&length);
        if (error != KOCRASH_ESUCCESS) {
            return error;
        }
        if (!stream_->skip(static_cast<std::int64_t>(length))) {
            return KOCRASH_EINVAL;
        }
        return setRule(regnum, rule, static_cast<word>(block));
    }

    // Changes that keep part of the CFA rule need a register rule to keep it from.
    template <typename Change> kocrash_error_t changeCfa(Change change) {
        const dwarf_cfa_rule<word, signed_word> rule = state_->get_cfa_rule();
        if (rule.type() != dwarf_cfa_rule<word, signed_word>::CFA_RULE_TYPE_REGISTER &&
            rule.type() != dwarf_cfa_rule<word, signed_word>::CFA_RULE_TYPE_REGISTER_SIGNED) {
            return KOCRASH_EINVAL;
        }
        return change(rule);
    }

    void advance(std::uint64_t delta) {
        *location_ = static_cast<word>(*location_ + delta * cie_->code_alignment_factor);
    }

    template <typename Delta> kocrash_error_t advanceBy() {
        Delta delta;
        if (!stream_->read_intU(&delta)) {
            return KOCRASH_EINVAL;
        }
        advance(delta);
        return KOCRASH_ESUCCESS;
    }

    kocrash_error_t setLocation() {
        if (cie_->segment_size != 0) {
            return KOCRASH_ENOTSUP;
        }
        word location;
        if (!stream_->read_gnueh_ptr(reader_, location_encoding_, &location)) {
            return KOCRASH_EINVAL;
        }
        *location_ = location;
        return KOCRASH_ESUCCESS;
    }

    state_type* state_;
    const state_type* initial_rules_;
    const kocrash_async_dwarf_cie_info* cie_;
    const gnu_ehptr_reader<word>* reader_;
    std::uint8_t location_encoding_;
    dwarf_opstream* stream_;
    word* location_;
};

} // namespace

template <typename word, typename signed_word>
kocrash_error_t dwarf_cfa_state<word, signed_word>::eval_program(
    const kocrash_async_mobject* mobj, word pc, word initial_pc,
    const kocrash_async_dwarf_cie_info* cie, const gnu_ehptr_reader<word>* reader,
    const kocrash_async_byteorder* byteorder, kocrash_vm_address_t address, kocrash_vm_off_t offset,
    kocrash_vm_size_t length) {
    // DW_CFA_restore goes back to the rules held when the program started: for the FDE's
    // program, those of the CIE's initial instructions.
    dwarf_cfa_state initial_rules;
    dwarf_cfa_state_iterator<word, signed_word> rules(this);
    std::uint32_t regnum;
    kocrash_dwarf_cfa_reg_rule_t rule;
    word value;
    while (rules.next(&regnum, &rule, &value)) {
        if (!initial_rules.set_register(regnum, rule, value)) {
            return KOCRASH_ENOMEM;
        }
    }

    // Without a reader to decode them, set_loc operands are plain words.
    const gnu_ehptr_reader<word> absolute_reader(byteorder);
    const bool encoded =
        reader != nullptr && cie->has_augmentation_data && cie->augmentation.has_pointer_encoding;
    const std::uint8_t location_encoding =
        encoded ? cie->augmentation.pointer_encoding : static_cast<std::uint8_t>(DW_EH_PE_absptr);

    if (length > static_cast<kocrash_vm_size_t>(INT64_MAX)) {
        return KOCRASH_EINVAL;
    }
    dwarf_opstream stream;
    kocrash_error_t error =
        stream.init(mobj, byteorder, address, offset, static_cast<kocrash_vm_off_t>(length));
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    word location = initial_pc;
    Interpreter<word, signed_word> interpreter(this, &initial_rules, cie,
                                               encoded ? reader : &absolute_reader,
                                               location_encoding, &stream, &location);
    for (;;) {
        // pc 0 runs the whole program.
        if ((pc != 0 && location > pc) || stream.remaining() == 0) {
            return KOCRASH_ESUCCESS;
        }
        std::uint8_t opcode;
        stream.read_intU(&opcode);
        error = interpreter.step(opcode);
        if (error != KOCRASH_ESUCCESS) {
            return error;
        }
    }
}

template kocrash_error_t dwarf_cfa_state<std::uint32_t, std::int32_t>::eval_program(
    const kocrash_async_mobject*, std::uint32_t, std::uint32_t, const kocrash_async_dwarf_cie_info*,
    const gnu_ehptr_reader<std::uint32_t>*, const kocrash_async_byteorder*, kocrash_vm_address_t,
    kocrash_vm_off_t, kocrash_vm_size_t);
template kocrash_error_t dwarf_cfa_state<std::uint64_t, std::int64_t>::eval_program(
    const kocrash_async_mobject*, std::uint64_t, std::uint64_t, const kocrash_async_dwarf_cie_info*,
    const gnu_ehptr_reader<std::uint64_t>*, const kocrash_async_byteorder*, kocrash_vm_address_t,
    kocrash_vm_off_t, kocrash_vm_size_t);

} // namespace kocrash::async
