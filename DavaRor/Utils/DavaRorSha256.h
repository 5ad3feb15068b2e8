// SHA-256, for a fixed-size record of values too large, or too many, to keep:
// two different values get the same digest only by a collision no one can
// produce on purpose.
#pragma once

#include "platform/core/Export.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

using DavaRorSha256Digest = std::array<std::uint8_t, 32>;

// Fed in any number of pieces; the digest is that of their concatenation.
class DAVAROR_EXPORT DavaRorSha256 {
public:
    DavaRorSha256& update(std::string_view bytes);
    // Ends the computation: the object is not fed again.
    DavaRorSha256Digest finish();

private:
    void compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> state_ = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<std::uint8_t, 64> block_{};
    std::size_t blockFill_ = 0;
    std::uint64_t totalBytes_ = 0;
};
