// Mach exception types and the data that comes with an exception, numbered as the kernel
// numbers them.
#pragma once

#include "platform/mach/MachTypes.h"

#include <cstdint>

using exception_type_t = int;
using exception_mask_t = unsigned int;
using mach_exception_data_type_t = std::int64_t;
using mach_exception_code_t = mach_exception_data_type_t;

inline constexpr exception_type_t EXC_BAD_ACCESS = 1;
inline constexpr exception_type_t EXC_BAD_INSTRUCTION = 2;
inline constexpr exception_type_t EXC_ARITHMETIC = 3;
inline constexpr exception_type_t EXC_EMULATION = 4;
inline constexpr exception_type_t EXC_SOFTWARE = 5;
inline constexpr exception_type_t EXC_BREAKPOINT = 6;
inline constexpr exception_type_t EXC_SYSCALL = 7;
inline constexpr exception_type_t EXC_MACH_SYSCALL = 8;
inline constexpr exception_type_t EXC_RPC_ALERT = 9;
inline constexpr exception_type_t EXC_CRASH = 10;
inline constexpr exception_type_t EXC_RESOURCE = 11;
inline constexpr exception_type_t EXC_GUARD = 12;
inline constexpr exception_type_t EXC_CORPSE_NOTIFY = 13;
inline constexpr int EXC_TYPES_COUNT = 14;

// EXC_SOFTWARE codes that stand for a BSD signal: the signal's code follows this base.
inline constexpr mach_exception_code_t EXC_UNIX_BAD_SYSCALL = 0x10000;
inline constexpr mach_exception_code_t EXC_UNIX_BAD_PIPE = 0x10001;
inline constexpr mach_exception_code_t EXC_UNIX_ABORT = 0x10002;
inline constexpr mach_exception_code_t EXC_SOFT_SIGNAL = 0x10003;
