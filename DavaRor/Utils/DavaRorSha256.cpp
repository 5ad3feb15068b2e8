#include "DavaRor/Utils/DavaRorSha256.h"

#include <algorithm>
#include <bit>

namespace {

constexpr std::array<std::uint32_t, 64> roundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

} // namespace

DavaRorSha256& DavaRorSha256::update(std::string_view bytes) {
    totalBytes_ += bytes.size();
    while (!bytes.empty()) {
        const std::size_t taken = std::min(bytes.size(), block_.size() - blockFill_);
        std::copy_n(bytes.data(), taken, block_.data() + blockFill_);
        blockFill_ += taken;
        bytes.remove_prefix(taken);
        if (blockFill_ == block_.size()) {
            compress(block_.data());
            blockFill_ = 0;
        }
    }
    return *this;
}

DavaRorSha256Digest DavaRorSha256::finish() {
    const std::uint64_t totalBits = totalBytes_ * 8;
    // A one bit, zeros up to 8 bytes short of a block's end, then the length.
    block_[blockFill_++] = 0x80;
    if (blockFill_ > block_.size() - 8) {
        std::fill(block_.begin() + static_cast<std::ptrdiff_t>(blockFill_), block_.end(), 0);
        compress(block_.data());
        blockFill_ = 0;
    }
    std::fill(block_.begin() + static_cast<std::ptrdiff_t>(blockFill_), block_.end() - 8, 0);
    for (std::size_t i = 0; i < 8; ++i) {
        block_[block_.size() - 1 - i] = static_cast<std::uint8_t>(totalBits >> (8 * i));
    }
    compress(block_.data());
    DavaRorSha256Digest digest;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        digest[i] = static_cast<std::uint8_t>(state_[i / 4] >> (24 - 8 * (i % 4)));
    }
    return digest;
}

void DavaRorSha256::compress(const std::uint8_t* block) {
    std::array<std::uint32_t, 64> schedule;
    for (std::size_t i = 0; i < 16; ++i) {
        schedule[i] = std::uint32_t{block[4 * i]} << 24 | std::uint32_t{block[4 * i + 1]} << 16 |
                      std::uint32_t{block[4 * i + 2]} << 8 | std::uint32_t{block[4 * i + 3]};
    }
    for (std::size_t i = 16; i < 64; ++i) {
        const std::uint32_t s0 = std::rotr(schedule[i - 15], 7) ^ std::rotr(schedule[i - 15], 18) ^
                                 (schedule[i - 15] >> 3);
        const std::uint32_t s1 = std::rotr(schedule[i - 2], 17) ^ std::rotr(schedule[i - 2], 19) ^
                                 (schedule[i - 2] >> 10);
        schedule[i] = schedule[i - 16] + s0 + schedule[i - 7] + s1;
    }
    auto [a, b, c, d, e, f, g, h] = state_;
    for (std::size_t i = 0; i < 64; ++i) {
        const std::uint32_t s1 = std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
        const std::uint32_t choice = (e & f) ^ (~e & g);
        const std::uint32_t t1 = h + s1 + choice + roundConstants[i] + schedule[i];
        const std::uint32_t s0 = std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
        const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + s0 + majority;
    }
    const std::array<std::uint32_t, 8> worked = {a, b, c, d, e, f, g, h};
    for (std::size_t i = 0; i < 8; ++i) {
        state_[i] += worked[i];
    }
}
