// May run at crash time: everything in this file (pure arithmetic and constants).
#include "async/KOCrashAsyncByteOrder.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the crash reporter runs on little-endian hosts");

std::uint16_t kocr_swap16(std::uint16_t value) {
    return static_cast<std::uint16_t>((value >> 8) | (value << 8));
}

std::uint32_t kocr_swap32(std::uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) |
           (value << 24);
}

std::uint64_t kocr_swap64(std::uint64_t value) {
    return (static_cast<std::uint64_t>(kocr_swap32(static_cast<std::uint32_t>(value))) << 32) |
           kocr_swap32(static_cast<std::uint32_t>(value >> 32));
}

std::uint16_t kocr_nswap16(std::uint16_t value) {
    return value;
}
std::uint32_t kocr_nswap32(std::uint32_t value) {
    return value;
}
std::uint64_t kocr_nswap64(std::uint64_t value) {
    return value;
}

const kocrash_async_byteorder kocrash_async_byteorder_direct = {kocr_nswap16, kocr_nswap32,
                                                                kocr_nswap64};
const kocrash_async_byteorder kocrash_async_byteorder_swapped = {kocr_swap16, kocr_swap32,
                                                                 kocr_swap64};

const kocrash_async_byteorder* kocrash_async_byteorder_little_endian() {
    return &kocrash_async_byteorder_direct;
}

const kocrash_async_byteorder* kocrash_async_byteorder_big_endian() {
    return &kocrash_async_byteorder_swapped;
}
