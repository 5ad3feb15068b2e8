// The crash reporter's register set: the general registers of one frame of one thread, with a
// bit per register saying whether its value is known. Filled from a signal handler's machine
// context, from a suspended thread, or from the calling thread itself; read and written by
// register number. Holds the 64-bit and the 32-bit ARM layouts. May run at crash time:
// everything declared here.
#pragma once

#include "async/KOCrashAsyncError.h"
#include "platform/mach/MachThreadState.h"
#include "platform/mach/MachTypes.h"

#include <cstdint>

extern "C" {

typedef std::uint32_t kocrash_regnum_t;
typedef std::uint64_t kocrash_greg_t;

// Generic numbers shared by both layouts.
inline constexpr kocrash_regnum_t KOCRASH_REG_IP = 0;
inline constexpr kocrash_regnum_t KOCRASH_REG_FP = 1;
inline constexpr kocrash_regnum_t KOCRASH_REG_SP = 2;

// 64-bit layout: pc, fp, sp, x0..x28, lr, cpsr.
inline constexpr kocrash_regnum_t KOCRASH_ARM64_PC = KOCRASH_REG_IP;
inline constexpr kocrash_regnum_t KOCRASH_ARM64_FP = KOCRASH_REG_FP;
inline constexpr kocrash_regnum_t KOCRASH_ARM64_SP = KOCRASH_REG_SP;
inline constexpr kocrash_regnum_t KOCRASH_ARM64_X0 = 3;
inline constexpr kocrash_regnum_t KOCRASH_ARM64_X19 = KOCRASH_ARM64_X0 + 19;
inline constexpr kocrash_regnum_t KOCRASH_ARM64_X28 = KOCRASH_ARM64_X0 + 28;
inline constexpr kocrash_regnum_t KOCRASH_ARM64_LR = 32;
inline constexpr kocrash_regnum_t KOCRASH_ARM64_CPSR = 33;
inline constexpr kocrash_regnum_t KOCRASH_ARM64_REGISTER_COUNT = 34;

// 32-bit layout: pc, r7, sp, r0..r6, r8..r12, lr, cpsr.
inline constexpr kocrash_regnum_t KOCRASH_ARM_PC = KOCRASH_REG_IP;
inline constexpr kocrash_regnum_t KOCRASH_ARM_R7 = KOCRASH_REG_FP;
inline constexpr kocrash_regnum_t KOCRASH_ARM_SP = KOCRASH_REG_SP;
inline constexpr kocrash_regnum_t KOCRASH_ARM_R0 = 3;
inline constexpr kocrash_regnum_t KOCRASH_ARM_R6 = 9;
inline constexpr kocrash_regnum_t KOCRASH_ARM_R8 = 10;
inline constexpr kocrash_regnum_t KOCRASH_ARM_R12 = 14;
inline constexpr kocrash_regnum_t KOCRASH_ARM_LR = 15;
inline constexpr kocrash_regnum_t KOCRASH_ARM_CPSR = 16;
inline constexpr kocrash_regnum_t KOCRASH_ARM_REGISTER_COUNT = 17;

// Whether this build has a thread-state layout at all: signal contexts, suspended threads and the
// calling thread are read on 64-bit ARM only. Elsewhere every state stays empty, and a report
// lists no registers rather than the layout's names with zeros.
inline constexpr bool KOCRASH_ASYNC_THREAD_STATE_HAS_LAYOUT =
#if defined(__aarch64__)
    true;
#else
    false;
#endif

inline constexpr std::uint32_t KOCRASH_ASYNC_STACK_DIRECTION_UP = 1;
inline constexpr std::uint32_t KOCRASH_ASYNC_STACK_DIRECTION_DOWN = 2;

struct kocrash_async_thread_state {
    std::uint32_t stack_direction;
    // 8 for the 64-bit layout, 4 for the 32-bit one.
    std::uint64_t greg_size;
    // Bit n set: register n holds a known value.
    std::uint64_t known_register_mask;
    // The header's flavor selects the layout: ARM_THREAD_STATE32 (9) or ARM_THREAD_STATE64.
    arm_unified_thread_state_t arm_registers;
};

typedef kocrash_error_t (*kocrash_async_thread_state_current_callback)(
    kocrash_async_thread_state* state, void* context);

// 0, or 4 for a CPU type other than ARM and ARM64 (the state is then all zero).
kocrash_error_t kocrash_async_thread_state_init(kocrash_async_thread_state* state,
                                                cpu_type_t cpu_type);
// Every register of the context's 64-bit register block becomes known.
void kocrash_async_thread_state_mcontext_init(kocrash_async_thread_state* state,
                                              const ko_mcontext64* context);
// The thread must be suspended. 0; 6 when the kernel cannot read the thread; 4 when it reports
// a layout other than the 64-bit or the 32-bit one.
kocrash_error_t kocrash_async_thread_state_mach_thread_init(kocrash_async_thread_state* state,
                                                            thread_t thread);
// Captures the calling thread as its caller's frame and returns what callback returns; the
// state lives only for the callback's duration. 4 (nothing captured) where the machine is not
// 64-bit ARM.
kocrash_error_t
kocrash_async_thread_state_current(kocrash_async_thread_state_current_callback callback,
                                   void* context);
void kocrash_async_thread_state_copy(kocrash_async_thread_state* dest,
                                     const kocrash_async_thread_state* source);

std::uint64_t kocrash_async_thread_state_get_reg_count(const kocrash_async_thread_state* state);
// Register numbers at or above the count stop the process: they are programming errors.
const char* kocrash_async_thread_state_get_reg_name(const kocrash_async_thread_state* state,
                                                    kocrash_regnum_t regnum);
bool kocrash_async_thread_state_has_reg(const kocrash_async_thread_state* state,
                                        kocrash_regnum_t regnum);
// pc, fp, sp and lr of the 64-bit layout come back within the user address width
// (platform/mach/UserAddressMask.h): the bits above it are pointer-authentication and tag bits.
kocrash_greg_t kocrash_async_thread_state_get_reg(const kocrash_async_thread_state* state,
                                                  kocrash_regnum_t regnum);
void kocrash_async_thread_state_set_reg(kocrash_async_thread_state* state, kocrash_regnum_t regnum,
                                        kocrash_greg_t value);
void kocrash_async_thread_state_clear_reg(kocrash_async_thread_state* state,
                                          kocrash_regnum_t regnum);
void kocrash_async_thread_state_clear_all_regs(kocrash_async_thread_state* state);
// Leaves valid only the registers a callee preserves (x19..x28 and fp; r4..r8, r10, r11).
void kocrash_async_thread_state_clear_volatile_regs(kocrash_async_thread_state* state);
std::uint64_t kocrash_async_thread_state_get_greg_size(const kocrash_async_thread_state* state);
std::uint32_t
kocrash_async_thread_state_get_stack_direction(const kocrash_async_thread_state* state);

bool kocrash_async_thread_state_map_reg_to_dwarf(const kocrash_async_thread_state* state,
                                                 kocrash_regnum_t regnum, std::uint64_t* dwarf_reg);
bool kocrash_async_thread_state_map_dwarf_to_reg(const kocrash_async_thread_state* state,
                                                 std::uint64_t dwarf_reg, kocrash_regnum_t* regnum);

} // extern "C"
