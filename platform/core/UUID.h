#pragma once

#include "platform/core/Export.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// A 128-bit universally unique identifier.
class DAVAROR_EXPORT UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    UUID() = default; // all zero
    explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

    // A random (version 4) identifier from the kernel's secure random source.
    static UUID random();
    // Reads the 8-4-4-4-12 hexadecimal form, either case.
    static std::optional<UUID> fromString(std::string_view text);

    // The upper-case hyphenated form.
    std::string uuidString() const;
    const Bytes& bytes() const { return bytes_; }

    auto operator<=>(const UUID&) const = default;

private:
    Bytes bytes_{};
};

// Fills `buffer` from the kernel's secure random source.
void secureRandomBytes(std::uint8_t* buffer, std::size_t length);

} // namespace platform
