// How addresses are taken from return addresses and written into reports. Shared by the
// handled-error path and the crash report processor, so both agree on every address.
#pragma once

#include <cstdint>
#include <string>

// Pointer authentication signs return addresses in the bits above the user address range:
// 48 bits on arm64 Linux. x86_64 has no such signature and keeps every bit.
constexpr std::uint64_t pacStripped(std::uint64_t address) {
#if defined(__aarch64__)
    constexpr unsigned userAddressBits = 48;
    return address & ((std::uint64_t{1} << userAddressBits) - 1);
#else
    return address;
#endif
}

// "0x" and exactly 16 lower-case hexadecimal digits.
std::string addressText(std::uint64_t address);
