// Byte-order descriptors: readers of foreign data pick one per image at run time and pass it
// to every multi-byte read. May run at crash time: everything declared here.
#pragma once

#include <cstdint>

struct kocrash_async_byteorder {
    std::uint16_t (*swap16)(std::uint16_t);
    std::uint32_t (*swap32)(std::uint32_t);
    std::uint64_t (*swap64)(std::uint64_t);
};

extern "C" {

std::uint16_t kocr_swap16(std::uint16_t value);
std::uint32_t kocr_swap32(std::uint32_t value);
std::uint64_t kocr_swap64(std::uint64_t value);
std::uint16_t kocr_nswap16(std::uint16_t value);
std::uint32_t kocr_nswap32(std::uint32_t value);
std::uint64_t kocr_nswap64(std::uint64_t value);

extern const kocrash_async_byteorder kocrash_async_byteorder_direct;
extern const kocrash_async_byteorder kocrash_async_byteorder_swapped;

// The host is little-endian, so little-endian data needs no conversion.
const kocrash_async_byteorder* kocrash_async_byteorder_little_endian();
const kocrash_async_byteorder* kocrash_async_byteorder_big_endian();

} // extern "C"
