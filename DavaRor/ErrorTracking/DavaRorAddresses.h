// How addresses are taken from return addresses and written into reports. Shared by the
// handled-error path and the crash report processor, so both agree on every address.
#pragma once

#include "platform/mach/UserAddressMask.h"

#include <cstdint>
#include <string>

// Pointer authentication signs return addresses in the bits above the user address range;
// the crash reporter's unwinder strips the same bits, so both agree on every frame.
constexpr std::uint64_t pacStripped(std::uint64_t address) {
#if defined(__aarch64__)
    return address & platform::mach::userAddressMask(CPU_TYPE_ARM64);
#else
    return address & platform::mach::userAddressMask(CPU_TYPE_X86_64);
#endif
}

// Where a return address is looked up to name its frame: the byte before it lies in the call,
// while the return address itself is the next function's first byte when the call never
// returns and ends its function. The frame still shows the return address.
constexpr std::uint64_t callSiteAddress(std::uint64_t returnAddress) {
    return returnAddress == 0 ? 0 : returnAddress - 1;
}

// "0x" and exactly 16 lower-case hexadecimal digits.
std::string addressText(std::uint64_t address);
