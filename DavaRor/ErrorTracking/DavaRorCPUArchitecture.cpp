#include "DavaRor/ErrorTracking/DavaRorCPUArchitecture.h"

namespace {

constexpr std::uint64_t cpuTypeARM = 12;
constexpr std::uint64_t cpuTypeX86_64 = 0x1000007;
constexpr std::uint64_t cpuTypeARM64 = 0x100000C;
constexpr std::uint64_t cpuSubtypeARMv7 = 9;
constexpr std::uint64_t cpuSubtypeARMv7s = 11;

} // namespace

std::optional<std::string> DavaRorCPUArchitecture::archName(std::uint64_t cpuType,
                                                            std::uint64_t cpuSubtype) {
    switch (cpuType) {
    case cpuTypeARM:
        if (cpuSubtype == cpuSubtypeARMv7) {
            return "armv7";
        }
        if (cpuSubtype == cpuSubtypeARMv7s) {
            return "armv7s";
        }
        return "arm";
    case cpuTypeX86_64:
        return "x86_64";
    case cpuTypeARM64:
        return "arm64";
    default:
        return std::nullopt;
    }
}
