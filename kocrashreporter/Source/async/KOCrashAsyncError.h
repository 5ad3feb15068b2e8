// The result code of every crash-time routine of the crash reporter, and its fixed texts.
// May run at crash time: kocrash_async_strerror.
#pragma once

#include <cstdint>

typedef std::uint32_t kocrash_error_t;

enum : kocrash_error_t {
    KOCRASH_ESUCCESS = 0,
    KOCRASH_EUNKNOWN = 1,
    KOCRASH_OUTPUT_ERR = 2,
    KOCRASH_ENOMEM = 3,
    KOCRASH_ENOTSUP = 4,
    KOCRASH_EINVAL = 5,
    KOCRASH_EINTERNAL = 6,
    KOCRASH_EACCESS = 7,
    KOCRASH_ENOTFOUND = 8,
    KOCRASH_EINVALID_DATA = 9,
};

extern "C" {

// Never fails: unknown codes have a text of their own.
const char* kocrash_async_strerror(kocrash_error_t error);

} // extern "C"
