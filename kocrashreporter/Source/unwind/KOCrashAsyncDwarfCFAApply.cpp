// May run at crash time: everything in this file (task reads, memory-object mappings of
// expression blocks, thread-state accessors).
#include "unwind/KOCrashAsyncDwarfCFAState.h"

#include "async/KOCrashAsyncTaskMemory.h"
#include "platform/mach/UserAddressMask.h"
#include "unwind/KOCrashAsyncDwarfExpression.h"
#include "unwind/KOCrashAsyncDwarfPrimitives.h"

namespace kocrash::async {
namespace {

// Maps the expression's bytes and evaluates it with the evaluator of Value's width; the
// mapping is released on every path.
template <typename Value, typename SignedValue>
kocrash_error_t evaluateAt(task_t task, const kocrash_async_thread_state* state,
                           const kocrash_async_byteorder* byteorder, kocrash_vm_address_t address,
                           kocrash_vm_size_t length, const std::uint64_t* initial_entry,
                           std::uint64_t* result) {
    kocrash_async_mobject expression;
    kocrash_error_t error = kocrash_async_mobject_init(&expression, task, address, length, true);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    Value initial = initial_entry != nullptr ? static_cast<Value>(*initial_entry) : 0;
    Value value = 0;
    error = kocrash_async_dwarf_expression_eval<Value, SignedValue>(
        &expression, task, state, byteorder, address, 0, length, &initial,
        initial_entry != nullptr ? 1 : 0, &value);
    kocrash_async_mobject_free(&expression);
    *result = value;
    return error;
}

kocrash_error_t evaluate(task_t task, const kocrash_async_thread_state* state,
                         const kocrash_async_byteorder* byteorder, std::uint64_t greg_size,
                         kocrash_vm_address_t address, kocrash_vm_size_t length,
                         const std::uint64_t* initial_entry, std::uint64_t* result) {
    return greg_size == 8 ? evaluateAt<std::uint64_t, std::int64_t>(task, state, byteorder, address,
                                                                    length, initial_entry, result)
                          : evaluateAt<std::uint32_t, std::int32_t>(task, state, byteorder, address,
                                                                    length, initial_entry, result);
}

// A signed return address carries its signature above the user address width.
std::uint64_t unsignedReturnAddress(bool is_signed, std::uint64_t address) {
    return is_signed ? address & platform::mach::userAddressMask(CPU_TYPE_ARM64) : address;
}

// A general register of greg_size bytes, as stored in the task.
kocrash_error_t readRegisterValue(task_t task, kocrash_vm_address_t address,
                                  std::uint64_t greg_size, std::uint64_t* value) {
    if (greg_size == 8) {
        return kocrash_async_task_memcpy(task, address, 0, value, 8);
    }
    std::uint32_t narrow;
    kocrash_error_t error = kocrash_async_task_memcpy(task, address, 0, &narrow, 4);
    *value = narrow;
    return error;
}

} // namespace

template <typename word, typename signed_word>
kocrash_error_t dwarf_cfa_state<word, signed_word>::apply_state(
    task_t task, const kocrash_async_dwarf_cie_info* cie,
    const kocrash_async_thread_state* thread_state, const kocrash_async_byteorder* byteorder,
    kocrash_async_thread_state* new_thread_state) const {
    const kocrash_async_thread_state* current = thread_state;
    kocrash_async_thread_state* next = new_thread_state;
    // Callee-saved registers carry over unless a rule says otherwise.
    kocrash_async_thread_state_copy(next, current);
    kocrash_async_thread_state_clear_volatile_regs(next);

    const std::uint64_t greg_size = kocrash_async_thread_state_get_greg_size(current);
    const dwarf_cfa_rule<word, signed_word> cfa_rule = get_cfa_rule();
    word cfa;
    switch (cfa_rule.type()) {
    case dwarf_cfa_rule<word, signed_word>::CFA_RULE_TYPE_REGISTER:
    case dwarf_cfa_rule<word, signed_word>::CFA_RULE_TYPE_REGISTER_SIGNED: {
        kocrash_regnum_t regnum;
        if (!kocrash_async_thread_state_map_dwarf_to_reg(current, cfa_rule.register_number(),
                                                         &regnum)) {
            return KOCRASH_ENOTSUP;
        }
        if (!kocrash_async_thread_state_has_reg(current, regnum)) {
            return KOCRASH_ENOTFOUND;
        }
        // Both kinds add the offset's bits; the word's wrap-around makes them agree.
        cfa = static_cast<word>(kocrash_async_thread_state_get_reg(current, regnum) +
                                cfa_rule.register_offset());
        break;
    }
    case dwarf_cfa_rule<word, signed_word>::CFA_RULE_TYPE_EXPRESSION: {
        std::uint64_t value;
        kocrash_error_t error = sizeof(word) == 8
                                    ? evaluateAt<std::uint64_t, std::int64_t>(
                                          task, current, byteorder, cfa_rule.expression_address(),
                                          cfa_rule.expression_length(), nullptr, &value)
                                    : evaluateAt<std::uint32_t, std::int32_t>(
                                          task, current, byteorder, cfa_rule.expression_address(),
                                          cfa_rule.expression_length(), nullptr, &value);
        if (error != KOCRASH_ESUCCESS) {
            return error;
        }
        cfa = static_cast<word>(value);
        break;
    }
    default:
        return KOCRASH_EINVAL;
    }
    kocrash_async_thread_state_set_reg(next, KOCRASH_REG_SP, cfa);

    dwarf_cfa_state_iterator<word, signed_word> rules(this);
    std::uint32_t dwarf_register;
    kocrash_dwarf_cfa_reg_rule_t rule;
    word stored;
    while (rules.next(&dwarf_register, &rule, &stored)) {
        const bool is_return_address = dwarf_register == cie->return_address_register;
        kocrash_regnum_t target;
        if (!kocrash_async_thread_state_map_dwarf_to_reg(current, dwarf_register, &target)) {
            if (!is_return_address) {
                // Registers this thread state does not hold (vector registers, for one) are
                // no part of the caller's frame here; their rules must not cost the frame.
                continue;
            }
            target = KOCRASH_REG_IP;
        }

        std::uint64_t value;
        kocrash_error_t error = KOCRASH_ESUCCESS;
        switch (rule) {
        case DWARF_RULE_OFFSET:
            error = readRegisterValue(task, static_cast<word>(cfa + stored), greg_size, &value);
            break;
        case DWARF_RULE_VAL_OFFSET:
            value = static_cast<word>(cfa + stored);
            break;
        case DWARF_RULE_REGISTER: {
            kocrash_regnum_t source;
            if (!kocrash_async_thread_state_map_dwarf_to_reg(current, stored, &source)) {
                return KOCRASH_EINVAL;
            }
            if (!kocrash_async_thread_state_has_reg(current, source)) {
                return KOCRASH_ENOTFOUND;
            }
            value = kocrash_async_thread_state_get_reg(current, source);
            break;
        }
        case DWARF_RULE_EXPRESSION:
        case DWARF_RULE_VAL_EXPRESSION: {
            std::uint64_t length;
            kocrash_vm_size_t length_size;
            error = kocrash_async_dwarf_read_task_uleb128(task, stored, 0, &length, &length_size);
            if (error != KOCRASH_ESUCCESS) {
                return error;
            }
            kocrash_vm_address_t expression;
            if (!kocrash_async_address_apply_offset(
                    stored, static_cast<kocrash_vm_off_t>(length_size), &expression)) {
                return KOCRASH_EINVAL;
            }
            const std::uint64_t initial = cfa;
            error =
                evaluate(task, current, byteorder, greg_size, expression, length, &initial, &value);
            if (error == KOCRASH_ESUCCESS && rule == DWARF_RULE_EXPRESSION) {
                error = readRegisterValue(task, value, greg_size, &value);
            }
            break;
        }
        case DWARF_RULE_SAME_VALUE:
            if (!kocrash_async_thread_state_has_reg(current, target)) {
                return KOCRASH_ENOTFOUND;
            }
            value = kocrash_async_thread_state_get_reg(current, target);
            break;
        default:
            return KOCRASH_EINVAL;
        }
        if (error != KOCRASH_ESUCCESS) {
            return error;
        }
        if (is_return_address) {
            value = unsignedReturnAddress(return_address_signed(), value);
        }
        kocrash_async_thread_state_set_reg(next, target, value);
        if (is_return_address && target != KOCRASH_REG_IP) {
            kocrash_async_thread_state_set_reg(next, KOCRASH_REG_IP,
                                               kocrash_async_thread_state_get_reg(next, target));
        }
    }

    if (!kocrash_async_thread_state_has_reg(next, KOCRASH_REG_IP)) {
        // No rule for the return address column: it still holds the return address.
        kocrash_regnum_t return_address;
        if (!kocrash_async_thread_state_map_dwarf_to_reg(current, cie->return_address_register,
                                                         &return_address) ||
            !kocrash_async_thread_state_has_reg(current, return_address)) {
            return KOCRASH_EINVAL;
        }
        kocrash_async_thread_state_set_reg(
            next, KOCRASH_REG_IP,
            unsignedReturnAddress(return_address_signed(),
                                  kocrash_async_thread_state_get_reg(current, return_address)));
    }
    return KOCRASH_ESUCCESS;
}

template kocrash_error_t dwarf_cfa_state<std::uint32_t, std::int32_t>::apply_state(
    task_t, const kocrash_async_dwarf_cie_info*, const kocrash_async_thread_state*,
    const kocrash_async_byteorder*, kocrash_async_thread_state*) const;
template kocrash_error_t dwarf_cfa_state<std::uint64_t, std::int64_t>::apply_state(
    task_t, const kocrash_async_dwarf_cie_info*, const kocrash_async_thread_state*,
    const kocrash_async_byteorder*, kocrash_async_thread_state*) const;

} // namespace kocrash::async
