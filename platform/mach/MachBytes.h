// Byte copies for the simulated kernel's crash-time paths, which may not call the C library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::mach {

inline void copyBytes(void* to, const void* from, std::size_t length) {
    auto* out = static_cast<std::uint8_t*>(to);
    const auto* in = static_cast<const std::uint8_t*>(from);
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = in[i];
    }
}

} // namespace platform::mach
