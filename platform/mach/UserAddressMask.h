// The bits a user-space code or data address of a process can have. On 64-bit ARM Linux user
// addresses are 48 bits wide and pointer authentication stores its signature (and memory
// tagging its tag) above them, so a signed return address or frame pointer is usable only with
// those bits stripped; a layout that keeps every address below 2^36 (the emulator's reserved
// 64 GiB) loses nothing to the same mask. x86_64 pointers carry no such bits and are used
// whole. Safe anywhere, crash time included: a constant expression.
#pragma once

#include "platform/mach/MachTypes.h"

#include <cstdint>

namespace platform::mach {

constexpr std::uint64_t userAddressMask(cpu_type_t cpuType) {
    constexpr unsigned kArm64UserAddressBits = 48;
    return cpuType == CPU_TYPE_ARM64 ? (std::uint64_t{1} << kArm64UserAddressBits) - 1
                                     : ~std::uint64_t{0};
}

} // namespace platform::mach
