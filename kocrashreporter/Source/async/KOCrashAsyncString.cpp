// May run at crash time: everything in this file. Built with -fno-builtin and without loop
// pattern distribution, so these loops stay loops instead of calls into the C library.
#include "async/KOCrashAsyncString.h"

#include <cstdint>

int kocrash_async_strcmp(const char* a, const char* b) {
    auto* left = reinterpret_cast<const unsigned char*>(a);
    auto* right = reinterpret_cast<const unsigned char*>(b);
    while (*left != 0 && *left == *right) {
        ++left;
        ++right;
    }
    return static_cast<int>(*left) - static_cast<int>(*right);
}

int kocrash_async_strncmp(const char* a, const char* b, std::size_t n) {
    auto* left = reinterpret_cast<const unsigned char*>(a);
    auto* right = reinterpret_cast<const unsigned char*>(b);
    for (std::size_t i = 0; i < n; ++i) {
        if (left[i] != right[i]) {
            return static_cast<int>(left[i]) - static_cast<int>(right[i]);
        }
        if (left[i] == 0) {
            return 0;
        }
    }
    return 0;
}

namespace {

// A word that may hold the bytes of any object.
typedef std::uint64_t __attribute__((__may_alias__)) AliasingWord;

} // namespace

void* kocrash_async_memcpy(void* dest, const void* source, std::size_t n) {
    auto* to = static_cast<unsigned char*>(dest);
    auto* from = static_cast<const unsigned char*>(source);
    std::size_t i = 0;
    // Whole words where both sides allow: every unwinding step copies thread states.
    if (((reinterpret_cast<std::uintptr_t>(to) | reinterpret_cast<std::uintptr_t>(from)) %
         alignof(AliasingWord)) == 0) {
        for (; n - i >= sizeof(AliasingWord); i += sizeof(AliasingWord)) {
            *reinterpret_cast<AliasingWord*>(to + i) =
                *reinterpret_cast<const AliasingWord*>(from + i);
        }
    }
    for (; i < n; ++i) {
        to[i] = from[i];
    }
    return dest;
}

void* kocrash_async_memset(void* dest, int value, std::size_t n) {
    auto* to = static_cast<unsigned char*>(dest);
    for (std::size_t i = 0; i < n; ++i) {
        to[i] = static_cast<unsigned char>(value);
    }
    return dest;
}
