// ARM thread-state layouts as the kernel reports them, and the machine context a 64-bit signal
// handler receives (exception state, general registers, floating-point state: 816 bytes).
#pragma once

#include "platform/mach/MachTypes.h"

#include <cstdint>

using thread_state_flavor_t = int;
using thread_state_t = natural_t*;

inline constexpr thread_state_flavor_t ARM_THREAD_STATE = 1;
inline constexpr thread_state_flavor_t ARM_THREAD_STATE64 = 6;
inline constexpr thread_state_flavor_t ARM_EXCEPTION_STATE64 = 7;
inline constexpr thread_state_flavor_t ARM_THREAD_STATE32 = 9;
inline constexpr thread_state_flavor_t ARM_NEON_STATE64 = 17;

extern "C" {

struct arm_thread_state64_t {
    std::uint64_t x[29];
    std::uint64_t fp;
    std::uint64_t lr;
    std::uint64_t sp;
    std::uint64_t pc;
    std::uint32_t cpsr;
    std::uint32_t reserved;
};

struct arm_thread_state32_t {
    std::uint32_t r[13];
    std::uint32_t sp;
    std::uint32_t lr;
    std::uint32_t pc;
    std::uint32_t cpsr;
};

struct arm_state_hdr_t {
    std::uint32_t flavor;
    std::uint32_t count;
};

struct arm_unified_thread_state_t {
    arm_state_hdr_t ash;
    union {
        arm_thread_state32_t ts_32;
        arm_thread_state64_t ts_64;
    } uts;
};

struct arm_exception_state64_t {
    std::uint64_t far;
    std::uint32_t esr;
    std::uint32_t exception;
};

struct arm_neon_state64_t {
    unsigned __int128 v[32];
    std::uint32_t fpsr;
    std::uint32_t fpcr;
};

struct ko_mcontext64 {
    arm_exception_state64_t es;
    arm_thread_state64_t ss;
    arm_neon_state64_t ns;
};

} // extern "C"

inline constexpr mach_msg_type_number_t ARM_THREAD_STATE64_COUNT = sizeof(arm_thread_state64_t) / 4;
inline constexpr mach_msg_type_number_t ARM_THREAD_STATE32_COUNT = sizeof(arm_thread_state32_t) / 4;
inline constexpr mach_msg_type_number_t ARM_UNIFIED_THREAD_STATE_COUNT =
    sizeof(arm_unified_thread_state_t) / 4;
inline constexpr mach_msg_type_number_t ARM_EXCEPTION_STATE64_COUNT =
    sizeof(arm_exception_state64_t) / 4;
inline constexpr mach_msg_type_number_t ARM_NEON_STATE64_COUNT = sizeof(arm_neon_state64_t) / 4;

static_assert(ARM_THREAD_STATE64_COUNT == 68);
static_assert(ARM_THREAD_STATE32_COUNT == 17);
static_assert(ARM_UNIFIED_THREAD_STATE_COUNT == 70);
static_assert(sizeof(ko_mcontext64) == 816);

#if defined(__aarch64__)
#include <ucontext.h>

namespace platform::mach {

// Converts what a Linux arm64 signal handler receives into the machine-context layout above.
// Async-signal-safe.
void machineContextFromUcontext(const ucontext_t& context, ko_mcontext64& machineContext);

} // namespace platform::mach
#endif
