#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Architecture names of Mach CPU types, as the analytics service expects them in debug images.
namespace DavaRorCPUArchitecture {

// "armv7", "armv7s" or "arm" for 32-bit ARM by subtype, "x86_64", "arm64"; none for any other
// CPU type.
std::optional<std::string> archName(std::uint64_t cpuType, std::uint64_t cpuSubtype);

} // namespace DavaRorCPUArchitecture
