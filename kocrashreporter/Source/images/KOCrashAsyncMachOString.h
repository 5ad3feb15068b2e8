// Mapped strings: the extent of a NUL-terminated string in an image's task, found by mapping
// one page and growing the mapping a page at a time while the scan runs past its end. May run
// at crash time: everything declared here.
#pragma once

#include "async/KOCrashAsyncError.h"
#include "async/KOCrashAsyncMObject.h"
#include "images/KOCrashAsyncMachO.h"

extern "C" {

// The mapping grows no further than this; a longer string reads as invalid.
inline constexpr kocrash_vm_size_t KOCRASH_ASYNC_MACHO_STRING_MAX_MAPPING = 64 * 1024;

struct kocrash_async_macho_string {
    // Supplies the task.
    const kocrash_async_macho* image;
    // Task address of the first character.
    kocrash_vm_address_t address;
    // Holds the whole string once read.
    kocrash_async_mobject mobj;
    bool mapped;
    // Characters before the terminating NUL.
    kocrash_vm_size_t length;
};

// Reads nothing yet. Returns 0.
kocrash_error_t kocrash_async_macho_string_init(kocrash_async_macho_string* string,
                                                const kocrash_async_macho* image,
                                                kocrash_vm_address_t address);
// Reads the string when not yet read: the mapping's code, or 5 when the string runs into
// unreadable memory (or past the mapping cap) before its NUL.
kocrash_error_t kocrash_async_macho_string_get_length(kocrash_async_macho_string* string,
                                                      kocrash_vm_size_t* length);
// The local pointer to the first character, with length characters (then the NUL) available.
// 7 when that range cannot be remapped.
kocrash_error_t kocrash_async_macho_string_get_pointer(kocrash_async_macho_string* string,
                                                       const char** pointer);
void kocrash_async_macho_string_free(kocrash_async_macho_string* string);

} // extern "C"
