// May run at crash time: everything in this file (arithmetic and task reads only).
#include "unwind/KOCrashAsyncCompactUnwind.h"

#include "async/KOCrashAsyncTaskMemory.h"
#include "platform/dyld/MachOFormat.h"

namespace {

constexpr std::uint32_t kMaxPermutedRegisters = 6;

void resetEntry(kocrash_async_cfe_entry* entry, cpu_type_t cpu_type) {
    entry->type = KOCRASH_ASYNC_CFE_TYPE_NONE;
    entry->cpu_type = cpu_type;
    entry->stack_offset = 0;
    entry->stack_adjust = 0;
    entry->return_address_register = KOCRASH_ASYNC_CFE_REG_NONE;
    entry->register_count = 0;
}

void addRegister(kocrash_async_cfe_entry* entry, std::uint32_t regnum) {
    entry->register_list[entry->register_count++] = regnum;
}

kocrash_error_t decodeArm64(kocrash_async_cfe_entry* entry, std::uint32_t encoding) {
    const std::uint32_t mode = encoding & UNWIND_MODE_MASK;
    switch (mode) {
    case 0:
        entry->type = KOCRASH_ASYNC_CFE_TYPE_NONE;
        return KOCRASH_ESUCCESS;
    case UNWIND_ARM64_MODE_DWARF:
        entry->type = KOCRASH_ASYNC_CFE_TYPE_DWARF;
        entry->stack_offset = encoding & UNWIND_ARM64_DWARF_SECTION_OFFSET;
        return KOCRASH_ESUCCESS;
    case UNWIND_ARM64_MODE_FRAMELESS:
    case UNWIND_ARM64_MODE_FRAME:
        break;
    default:
        return KOCRASH_ENOTSUP;
    }
    static constexpr std::uint32_t kPairs[][3] = {{UNWIND_ARM64_FRAME_X27_X28_PAIR, 28, 27},
                                                  {UNWIND_ARM64_FRAME_X25_X26_PAIR, 26, 25},
                                                  {UNWIND_ARM64_FRAME_X23_X24_PAIR, 24, 23},
                                                  {UNWIND_ARM64_FRAME_X21_X22_PAIR, 22, 21},
                                                  {UNWIND_ARM64_FRAME_X19_X20_PAIR, 20, 19}};
    for (const auto& pair : kPairs) {
        if ((encoding & pair[0]) != 0) {
            addRegister(entry, KOCRASH_ARM64_X0 + pair[1]);
            addRegister(entry, KOCRASH_ARM64_X0 + pair[2]);
        }
    }
    if (mode == UNWIND_ARM64_MODE_FRAMELESS) {
        entry->type = KOCRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD;
        entry->stack_offset = (encoding >> 8) & 0xfff0;
        entry->return_address_register = KOCRASH_ARM64_LR;
    } else {
        entry->type = KOCRASH_ASYNC_CFE_TYPE_FRAME_PTR;
        entry->stack_offset = -8 * static_cast<std::int64_t>(entry->register_count);
    }
    return KOCRASH_ESUCCESS;
}

kocrash_error_t decodeX86(kocrash_async_cfe_entry* entry, cpu_type_t cpu_type,
                          std::uint32_t encoding) {
    const std::int64_t unit = cpu_type == CPU_TYPE_X86_64 ? 8 : 4;
    const std::uint32_t size_field = (encoding & UNWIND_X86_64_FRAMELESS_STACK_SIZE) >> 16;
    switch (encoding & UNWIND_MODE_MASK) {
    case 0:
        entry->type = KOCRASH_ASYNC_CFE_TYPE_NONE;
        return KOCRASH_ESUCCESS;
    case UNWIND_X86_64_MODE_RBP_FRAME: {
        entry->type = KOCRASH_ASYNC_CFE_TYPE_FRAME_PTR;
        entry->stack_offset = -static_cast<std::int64_t>(size_field) * unit;
        std::uint32_t codes = encoding & UNWIND_X86_64_RBP_FRAME_REGISTERS;
        for (std::uint32_t slot = 0; slot < 5 && (codes >> (3 * slot)) != 0; ++slot) {
            std::uint32_t regnum;
            kocrash_error_t error =
                kocrash_async_map_register_name((codes >> (3 * slot)) & 7, &regnum, cpu_type);
            if (error != KOCRASH_ESUCCESS) {
                return error;
            }
            addRegister(entry, regnum);
        }
        return KOCRASH_ESUCCESS;
    }
    case UNWIND_X86_64_MODE_STACK_IMMD:
    case UNWIND_X86_64_MODE_STACK_IND: {
        const bool immediate = (encoding & UNWIND_MODE_MASK) == UNWIND_X86_64_MODE_STACK_IMMD;
        entry->type = immediate ? KOCRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD
                                : KOCRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT;
        entry->stack_offset = immediate ? size_field * unit : size_field;
        if (!immediate) {
            entry->stack_adjust = static_cast<std::uint32_t>(
                ((encoding & UNWIND_X86_64_FRAMELESS_STACK_ADJUST) >> 13) * unit);
        }
        const std::uint32_t count = (encoding & UNWIND_X86_64_FRAMELESS_STACK_REG_COUNT) >> 10;
        std::uint32_t codes[kMaxPermutedRegisters];
        kocrash_error_t error = kocrash_async_cfe_register_decode(
            encoding & UNWIND_X86_64_FRAMELESS_STACK_REG_PERMUTATION, count, codes);
        if (error != KOCRASH_ESUCCESS) {
            return error;
        }
        for (std::uint32_t index = 0; index < count; ++index) {
            std::uint32_t regnum;
            if ((error = kocrash_async_map_register_name(codes[index], &regnum, cpu_type)) !=
                KOCRASH_ESUCCESS) {
                return error;
            }
            addRegister(entry, regnum);
        }
        return KOCRASH_ESUCCESS;
    }
    case UNWIND_X86_64_MODE_DWARF:
        entry->type = KOCRASH_ASYNC_CFE_TYPE_DWARF;
        entry->stack_offset = encoding & UNWIND_X86_64_DWARF_SECTION_OFFSET;
        return KOCRASH_ESUCCESS;
    default:
        return KOCRASH_ENOTSUP;
    }
}

cpu_type_t stateCpuType(const kocrash_async_thread_state* state) {
    return state->arm_registers.ash.flavor == ARM_THREAD_STATE64 ? CPU_TYPE_ARM64 : CPU_TYPE_ARM;
}

kocrash_error_t readRegister(task_t task, std::uint64_t address, std::uint64_t size,
                             kocrash_greg_t* value) {
    std::uint8_t bytes[8];
    kocrash_error_t error = kocrash_async_task_memcpy(task, address, 0, bytes, size);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    *value = 0;
    for (std::uint64_t index = size; index > 0; --index) {
        *value = (*value << 8) | bytes[index - 1];
    }
    return KOCRASH_ESUCCESS;
}

} // namespace

kocrash_error_t kocrash_async_cfe_entry_init(kocrash_async_cfe_entry* entry, cpu_type_t cpu_type,
                                             std::uint32_t encoding) {
    resetEntry(entry, cpu_type);
    switch (cpu_type) {
    case CPU_TYPE_ARM64:
        return decodeArm64(entry, encoding);
    case CPU_TYPE_X86:
    case CPU_TYPE_X86_64:
        return decodeX86(entry, cpu_type, encoding);
    default:
        return KOCRASH_ENOTSUP;
    }
}

void kocrash_async_cfe_entry_free(kocrash_async_cfe_entry*) {}

std::uint32_t kocrash_async_cfe_entry_type(const kocrash_async_cfe_entry* entry) {
    return entry->type;
}

std::int64_t kocrash_async_cfe_entry_stack_offset(const kocrash_async_cfe_entry* entry) {
    return entry->stack_offset;
}

std::uint32_t kocrash_async_cfe_entry_stack_adjustment(const kocrash_async_cfe_entry* entry) {
    return entry->stack_adjust;
}

std::uint32_t
kocrash_async_cfe_entry_return_address_register(const kocrash_async_cfe_entry* entry) {
    return entry->return_address_register;
}

std::uint32_t kocrash_async_cfe_entry_register_count(const kocrash_async_cfe_entry* entry) {
    return entry->register_count;
}

void kocrash_async_cfe_entry_register_list(const kocrash_async_cfe_entry* entry,
                                           std::uint32_t* registers) {
    for (std::uint32_t index = 0; index < entry->register_count; ++index) {
        registers[index] = entry->register_list[index];
    }
}

kocrash_error_t kocrash_async_cfe_entry_apply(task_t task, std::uint64_t function_address,
                                              const kocrash_async_thread_state* current,
                                              const kocrash_async_cfe_entry* entry,
                                              kocrash_async_thread_state* next) {
    // Register numbers mean something only in the layout they were decoded for.
    if (entry->cpu_type != stateCpuType(current)) {
        return KOCRASH_ENOTSUP;
    }
    const std::uint64_t greg = kocrash_async_thread_state_get_greg_size(current);
    const std::uint64_t register_limit = kocrash_async_thread_state_get_reg_count(current);
    kocrash_async_thread_state_copy(next, current);
    kocrash_async_thread_state_clear_volatile_regs(next);
    std::uint64_t saved_start;
    kocrash_error_t error;
    switch (entry->type) {
    case KOCRASH_ASYNC_CFE_TYPE_FRAME_PTR: {
        if (!kocrash_async_thread_state_has_reg(current, KOCRASH_REG_FP)) {
            return KOCRASH_ENOTFOUND;
        }
        const std::uint64_t fp = kocrash_async_thread_state_get_reg(current, KOCRASH_REG_FP);
        std::uint64_t caller_sp;
        if (!kocrash_async_address_apply_offset(fp, static_cast<kocrash_vm_off_t>(2 * greg),
                                                &caller_sp)) {
            return KOCRASH_EINVAL;
        }
        kocrash_greg_t caller_fp;
        kocrash_greg_t caller_pc;
        if ((error = readRegister(task, fp, greg, &caller_fp)) != KOCRASH_ESUCCESS ||
            (error = readRegister(task, fp + greg, greg, &caller_pc)) != KOCRASH_ESUCCESS) {
            return error;
        }
        kocrash_async_thread_state_set_reg(next, KOCRASH_REG_SP, caller_sp);
        kocrash_async_thread_state_set_reg(next, KOCRASH_REG_FP, caller_fp);
        kocrash_async_thread_state_set_reg(next, KOCRASH_REG_IP, caller_pc);
        if (!kocrash_async_address_apply_offset(fp, entry->stack_offset, &saved_start)) {
            return KOCRASH_EINVAL;
        }
        break;
    }
    case KOCRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD:
    case KOCRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT: {
        if (!kocrash_async_thread_state_has_reg(current, KOCRASH_REG_SP)) {
            return KOCRASH_ENOTFOUND;
        }
        std::uint64_t stack_size = static_cast<std::uint64_t>(entry->stack_offset);
        if (entry->type == KOCRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT) {
            std::uint32_t immediate;
            if ((error = kocrash_async_task_read_uint32(
                     task, kocrash_async_byteorder_little_endian(), function_address,
                     entry->stack_offset, &immediate)) != KOCRASH_ESUCCESS) {
                return error;
            }
            stack_size = std::uint64_t{immediate} + entry->stack_adjust;
        }
        std::uint64_t caller_sp;
        if (!kocrash_async_address_apply_offset(
                kocrash_async_thread_state_get_reg(current, KOCRASH_REG_SP),
                static_cast<kocrash_vm_off_t>(stack_size), &caller_sp)) {
            return KOCRASH_EINVAL;
        }
        const std::uint64_t saved_size = greg * entry->register_count;
        kocrash_greg_t caller_pc;
        if (entry->return_address_register == KOCRASH_ASYNC_CFE_REG_NONE) {
            if (caller_sp < greg + saved_size) {
                return KOCRASH_EINVAL;
            }
            if ((error = readRegister(task, caller_sp - greg, greg, &caller_pc)) !=
                KOCRASH_ESUCCESS) {
                return error;
            }
            saved_start = caller_sp - greg - saved_size;
        } else {
            if (entry->return_address_register >= register_limit ||
                !kocrash_async_thread_state_has_reg(current, entry->return_address_register)) {
                return KOCRASH_ENOTFOUND;
            }
            if (caller_sp < saved_size) {
                return KOCRASH_EINVAL;
            }
            caller_pc = kocrash_async_thread_state_get_reg(current, entry->return_address_register);
            saved_start = caller_sp - saved_size;
        }
        kocrash_async_thread_state_set_reg(next, KOCRASH_REG_SP, caller_sp);
        kocrash_async_thread_state_set_reg(next, KOCRASH_REG_IP, caller_pc);
        break;
    }
    default:
        return KOCRASH_ENOTSUP;
    }
    for (std::uint32_t slot = 0; slot < entry->register_count; ++slot) {
        const std::uint32_t regnum = entry->register_list[slot];
        if (regnum == KOCRASH_ASYNC_CFE_REG_NONE) {
            continue;
        }
        if (regnum >= register_limit) {
            return KOCRASH_EINVAL;
        }
        kocrash_greg_t value;
        if ((error = readRegister(task, saved_start + slot * greg, greg, &value)) !=
            KOCRASH_ESUCCESS) {
            return error;
        }
        kocrash_async_thread_state_set_reg(next, regnum, value);
    }
    return KOCRASH_ESUCCESS;
}

std::uint32_t kocrash_async_cfe_register_encode(const std::uint32_t* registers,
                                                std::uint32_t count) {
    if (count == 0 || count > kMaxPermutedRegisters) {
        return 0;
    }
    std::uint32_t renumbered[kMaxPermutedRegisters];
    for (std::uint32_t index = 0; index < count; ++index) {
        std::uint32_t smaller_before = 0;
        for (std::uint32_t earlier = 0; earlier < index; ++earlier) {
            if (registers[earlier] < registers[index]) {
                ++smaller_before;
            }
        }
        renumbered[index] = registers[index] - 1 - smaller_before;
    }
    switch (count) {
    case 1:
        return renumbered[0];
    case 2:
        return 5 * renumbered[0] + renumbered[1];
    case 3:
        return 20 * renumbered[0] + 4 * renumbered[1] + renumbered[2];
    case 4:
        return 60 * renumbered[0] + 12 * renumbered[1] + 3 * renumbered[2] + renumbered[3];
    default:
        return 120 * renumbered[0] + 24 * renumbered[1] + 6 * renumbered[2] + 2 * renumbered[3] +
               renumbered[4];
    }
}

kocrash_error_t kocrash_async_cfe_register_decode(std::uint32_t permutation, std::uint32_t count,
                                                  std::uint32_t* registers) {
    if (count > kMaxPermutedRegisters) {
        return KOCRASH_EINVAL;
    }
    static constexpr std::uint32_t kDivisors[][kMaxPermutedRegisters] = {
        {}, {1}, {5, 1}, {20, 4, 1}, {60, 12, 3, 1}, {120, 24, 6, 2, 1}, {120, 24, 6, 2, 1}};
    std::uint32_t renumbered[kMaxPermutedRegisters] = {};
    std::uint32_t rest = permutation;
    for (std::uint32_t index = 0; index < count && kDivisors[count][index] != 0; ++index) {
        renumbered[index] = rest / kDivisors[count][index];
        rest %= kDivisors[count][index];
    }
    bool used[kMaxPermutedRegisters + 1] = {};
    for (std::uint32_t index = 0; index < count; ++index) {
        // The renumbered value picks the (value + 1)-th code not used yet; a value past the
        // remaining codes names no register.
        std::uint32_t unused_seen = 0;
        std::uint32_t code = 0;
        for (std::uint32_t candidate = 1; candidate <= kMaxPermutedRegisters; ++candidate) {
            if (!used[candidate] && unused_seen++ == renumbered[index]) {
                code = candidate;
                break;
            }
        }
        if (code == 0) {
            return KOCRASH_EINVAL;
        }
        used[code] = true;
        registers[index] = code;
    }
    return KOCRASH_ESUCCESS;
}

kocrash_error_t kocrash_async_map_register_name(std::uint32_t code, std::uint32_t* regnum,
                                                cpu_type_t cpu_type) {
    static constexpr std::uint32_t kX86_64[] = {KOCRASH_ASYNC_CFE_REG_NONE, 4, 13, 14, 15, 16, 1};
    static constexpr std::uint32_t kX86[] = {KOCRASH_ASYNC_CFE_REG_NONE, 6, 5, 4, 8, 7, 1};
    if (code > kMaxPermutedRegisters) {
        return KOCRASH_EINVAL;
    }
    *regnum = cpu_type == CPU_TYPE_X86_64 ? kX86_64[code] : kX86[code];
    return KOCRASH_ESUCCESS;
}
