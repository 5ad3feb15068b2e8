// String and memory routines that call no library code, for places where the C library's own
// versions may not be used. May run at crash time: everything declared here.
#pragma once

#include <cstddef>

extern "C" {

// Bytes compare as unsigned values; the result is the difference of the first differing pair.
int kocrash_async_strcmp(const char* a, const char* b);
int kocrash_async_strncmp(const char* a, const char* b, std::size_t n);
// Forward, byte at a time: the ranges must not overlap.
void* kocrash_async_memcpy(void* dest, const void* source, std::size_t n);
void* kocrash_async_memset(void* dest, int value, std::size_t n);

} // extern "C"
