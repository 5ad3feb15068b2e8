// The compact unwind reader: finds the 32-bit encoding of a pc in an image's __unwind_info
// section (two-level index, regular and compressed second-level pages), decodes an encoding
// for the image's CPU type into an entry, and applies an entry to a thread state to produce
// the caller's registers. May run at crash time: everything declared here (values on the
// caller's stack, reads through memory objects and the task).
#pragma once

#include "async/KOCrashAsyncMObject.h"
#include "platform/mach/MachTypes.h"
#include "unwind/KOCrashAsyncThreadState.h"

#include <cstdint>

extern "C" {

struct kocrash_async_cfe_reader {
    // The section; not owned.
    const kocrash_async_mobject* mobj;
    cpu_type_t cpu_type;
    // The section header as stored: version, common encodings offset and count, personalities
    // offset and count, index offset and count.
    std::uint32_t header[7];
    const kocrash_async_byteorder* byteorder;
};

enum kocrash_async_cfe_type : std::uint32_t {
    KOCRASH_ASYNC_CFE_TYPE_FRAME_PTR = 1,
    KOCRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD = 2,
    KOCRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT = 3,
    KOCRASH_ASYNC_CFE_TYPE_DWARF = 4,
    KOCRASH_ASYNC_CFE_TYPE_NONE = 5,
};

inline constexpr std::uint32_t KOCRASH_ASYNC_CFE_REG_NONE = 0x7fffffff;
inline constexpr std::uint32_t KOCRASH_ASYNC_CFE_SAVED_REGISTER_MAX = 10;

struct kocrash_async_cfe_entry {
    std::uint32_t type;
    cpu_type_t cpu_type;
    // Frame: offset from the frame pointer to the first saved register (negative). Frameless:
    // the stack size. Indirect: offset of the stack-size immediate in the function. DWARF: the
    // FDE's offset in __eh_frame.
    std::int64_t stack_offset;
    std::uint32_t stack_adjust;
    // KOCRASH_ASYNC_CFE_REG_NONE: the return address is on the stack.
    std::uint32_t return_address_register;
    std::uint32_t register_count;
    // In the order of their stack slots, lowest address first; NONE is an unused slot.
    std::uint32_t register_list[KOCRASH_ASYNC_CFE_SAVED_REGISTER_MAX];
};

// 4 for a CPU type other than x86, x86-64 and ARM64 or a section version other than 1; 5 when
// the header is not inside the section.
kocrash_error_t kocrash_async_cfe_reader_init(kocrash_async_cfe_reader* reader,
                                              const kocrash_async_mobject* mobj,
                                              cpu_type_t cpu_type);
// pc is relative to the image's load address. 8 when no entry covers pc, 5 for structures
// outside the section or an encoding index out of range.
kocrash_error_t kocrash_async_cfe_reader_find_pc(const kocrash_async_cfe_reader* reader,
                                                 std::uint64_t pc, std::uint64_t* function_offset,
                                                 std::uint32_t* encoding);
void kocrash_async_cfe_reader_free(kocrash_async_cfe_reader* reader);

// 4 for an unsupported CPU type or mode, 5 for a malformed register encoding.
kocrash_error_t kocrash_async_cfe_entry_init(kocrash_async_cfe_entry* entry, cpu_type_t cpu_type,
                                             std::uint32_t encoding);
void kocrash_async_cfe_entry_free(kocrash_async_cfe_entry* entry);
std::uint32_t kocrash_async_cfe_entry_type(const kocrash_async_cfe_entry* entry);
std::int64_t kocrash_async_cfe_entry_stack_offset(const kocrash_async_cfe_entry* entry);
std::uint32_t kocrash_async_cfe_entry_stack_adjustment(const kocrash_async_cfe_entry* entry);
std::uint32_t kocrash_async_cfe_entry_return_address_register(const kocrash_async_cfe_entry* entry);
std::uint32_t kocrash_async_cfe_entry_register_count(const kocrash_async_cfe_entry* entry);
// Copies register_count numbers.
void kocrash_async_cfe_entry_register_list(const kocrash_async_cfe_entry* entry,
                                           std::uint32_t* registers);

// The caller's registers. 8 when a register the entry needs is not known, 4 for DWARF and
// no-information entries and for an entry decoded for another CPU type than the state's, 5
// when an address computation overflows; a failed read's code.
kocrash_error_t kocrash_async_cfe_entry_apply(task_t task, std::uint64_t function_address,
                                              const kocrash_async_thread_state* current,
                                              const kocrash_async_cfe_entry* entry,
                                              kocrash_async_thread_state* next);

// The permutation code of frameless x86 functions over register codes 1 to 6, each used once.
std::uint32_t kocrash_async_cfe_register_encode(const std::uint32_t* registers,
                                                std::uint32_t count);
// 5 for a count above 6 or a permutation that names no valid set of codes.
kocrash_error_t kocrash_async_cfe_register_decode(std::uint32_t permutation, std::uint32_t count,
                                                  std::uint32_t* registers);
// The x86 register numbers of the 3-bit register codes; 5 for codes above 6.
kocrash_error_t kocrash_async_map_register_name(std::uint32_t code, std::uint32_t* regnum,
                                                cpu_type_t cpu_type);

} // extern "C"
