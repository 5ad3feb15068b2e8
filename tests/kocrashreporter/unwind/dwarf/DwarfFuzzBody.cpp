#include "DwarfFuzzBody.h"

#include "unwind/KOCrashAsyncDwarfCFAState.h"
#include "unwind/KOCrashAsyncDwarfExpression.h"
#include "unwind/KOCrashAsyncDwarfFrameIndex.h"
#include "unwind/KOCrashAsyncDwarfFrameReader.h"

#include "DwarfBytes.h"
#include "LowPages.h"
#include "platform/mach/MachPorts.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

using platform::mach::mach_task_self;

using namespace kocrash::async;

namespace {

[[noreturn]] void broken(const char* promise) {
    std::fprintf(stderr, "dwarf fuzz: %s\n", promise);
    std::abort();
}

void check(bool holds, const char* promise) {
    if (!holds) {
        broken(promise);
    }
}

void checkCode(kocrash_error_t error) {
    check(error <= KOCRASH_EINVALID_DATA, "every result is a known code");
}

// Registers with small distinct values and an sp into real memory, so that rules read both
// readable and unreadable places.
kocrash_async_thread_state fuzzThreadState(const LowPages& stack) {
    kocrash_async_thread_state state;
    kocrash_async_thread_state_init(&state, CPU_TYPE_ARM64);
    for (kocrash_regnum_t regnum = 0; regnum < KOCRASH_ARM64_REGISTER_COUNT; ++regnum) {
        kocrash_async_thread_state_set_reg(&state, regnum, 0x40 * regnum);
    }
    kocrash_async_thread_state_set_reg(&state, KOCRASH_ARM64_SP, stack.address() + 256);
    return state;
}

// Every entry of the pool is either in one level or free: once the free entries are taken by
// the current level, the levels' counts add up to the capacity.
template <typename word, typename signed_word>
void checkPool(dwarf_cfa_state<word, signed_word> state) {
    using state_type = dwarf_cfa_state<word, signed_word>;
    for (std::uint32_t regnum = 0xF0000000; state.set_register(regnum, DWARF_RULE_OFFSET, 0);
         ++regnum) {
    }
    std::size_t held = state.get_register_count();
    while (state.pop_state()) {
        held += state.get_register_count();
    }
    check(held == state_type::entry_count, "no register rule is lost or made up");
}

template <typename word, typename signed_word>
void fuzzFrames(const MappedBytes& section, const kocrash_async_byteorder* byteorder,
                bool debugFrame, std::uint64_t pc) {
    // The same bytes read as a search table over themselves.
    kocrash_async_dwarf_cie_memos memos;
    kocrash_async_dwarf_cie_memos_init(&memos);
    kocrash_async_dwarf_fde_info indexed;
    const kocrash_error_t viaTable = kocrash_async_dwarf_eh_frame_hdr_find_fde<word>(
        section.mobj(), section.mobj(), byteorder, static_cast<word>(pc), &memos, &indexed);
    checkCode(viaTable);
    if (viaTable == KOCRASH_ESUCCESS) {
        check(indexed.start_pc <= static_cast<word>(pc) && static_cast<word>(pc) < indexed.end_pc,
              "the FDE the search table leads to covers the pc");
    }
    dwarf_frame_reader reader;
    reader.init(section.mobj(), byteorder, sizeof(word) == 8, debugFrame);
    kocrash_async_dwarf_fde_info fde;
    const kocrash_error_t found = reader.find_fde(0, static_cast<word>(pc), &fde);
    checkCode(found);
    if (found != KOCRASH_ESUCCESS) {
        return;
    }
    check(fde.start_pc <= static_cast<word>(pc) && static_cast<word>(pc) < fde.end_pc,
          "the FDE found covers the pc");
    check(fde.instructions_offset + fde.instructions_length <= section.size(),
          "the FDE's instructions lie in the section");
    const gnu_ehptr_reader<word> pointers(byteorder);
    kocrash_async_dwarf_cie_info cie;
    const kocrash_error_t parsed = kocrash_async_dwarf_cie_info_init<word>(
        &cie, section.mobj(), byteorder, &pointers, section.address() + fde.cie_entry_offset);
    checkCode(parsed);
    if (parsed != KOCRASH_ESUCCESS) {
        return;
    }
    check(cie.initial_instructions_offset + cie.initial_instructions_length <= section.size(),
          "the CIE's instructions lie in the section");
    dwarf_cfa_state<word, signed_word> state;
    kocrash_error_t error =
        state.eval_program(section.mobj(), static_cast<word>(pc), static_cast<word>(fde.start_pc),
                           &cie, &pointers, byteorder, section.address(),
                           static_cast<kocrash_vm_off_t>(cie.initial_instructions_offset),
                           cie.initial_instructions_length);
    checkCode(error);
    if (error == KOCRASH_ESUCCESS) {
        error = state.eval_program(
            section.mobj(), static_cast<word>(pc), static_cast<word>(fde.start_pc), &cie, &pointers,
            byteorder, section.address(), static_cast<kocrash_vm_off_t>(fde.instructions_offset),
            fde.instructions_length);
        checkCode(error);
    }
    checkPool(state);
    LowPages stack(4096);
    const kocrash_async_thread_state current = fuzzThreadState(stack);
    kocrash_async_thread_state next;
    checkCode(state.apply_state(mach_task_self(), &cie, &current, byteorder, &next));
}

} // namespace

void kocrash_dwarf_fuzz_frames(const std::uint8_t* data, std::size_t size) {
    if (size < 9) {
        return;
    }
    const std::uint8_t flags = data[0];
    std::uint64_t pc = 0;
    for (int index = 8; index >= 1; --index) {
        pc = pc << 8 | data[index];
    }
    const MappedBytes section(std::vector<std::uint8_t>(data + 9, data + size));
    if ((flags & 8) == 0) {
        pc += section.address();
    }
    const kocrash_async_byteorder* byteorder = (flags & 4) != 0
                                                   ? kocrash_async_byteorder_big_endian()
                                                   : kocrash_async_byteorder_little_endian();
    if ((flags & 2) != 0) {
        fuzzFrames<std::uint64_t, std::int64_t>(section, byteorder, (flags & 1) != 0, pc);
    } else {
        fuzzFrames<std::uint32_t, std::int32_t>(section, byteorder, (flags & 1) != 0, pc);
    }
}

void kocrash_dwarf_fuzz_expression(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return;
    }
    const MappedBytes expression(std::vector<std::uint8_t>(data + 1, data + size));
    LowPages stack(4096);
    const kocrash_async_thread_state state = fuzzThreadState(stack);
    const bool withEntry = (data[0] & 2) != 0;
    kocrash_error_t error;
    if ((data[0] & 1) != 0) {
        const std::uint64_t entry = stack.address();
        std::uint64_t result;
        error = kocrash_async_dwarf_expression_eval<std::uint64_t, std::int64_t>(
            expression.mobj(), mach_task_self(), &state, kocrash_async_byteorder_little_endian(),
            expression.address(), 0, expression.size(), &entry, withEntry ? 1 : 0, &result);
    } else {
        const std::uint32_t entry = static_cast<std::uint32_t>(stack.address());
        std::uint32_t result;
        error = kocrash_async_dwarf_expression_eval<std::uint32_t, std::int32_t>(
            expression.mobj(), mach_task_self(), &state, kocrash_async_byteorder_little_endian(),
            expression.address(), 0, expression.size(), &entry, withEntry ? 1 : 0, &result);
    }
    checkCode(error);
    check(error != KOCRASH_ESUCCESS || expression.size() > 0 || withEntry,
          "an empty expression without entries fails");
}
