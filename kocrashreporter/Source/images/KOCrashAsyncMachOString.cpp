// May run at crash time: everything in this file (memory objects only).
#include "images/KOCrashAsyncMachOString.h"

#include "platform/mach/MachVirtualMemory.h"

using platform::mach::vm_page_size;

namespace {

const char* characterAt(const kocrash_async_mobject* mobj, kocrash_vm_address_t address) {
    return static_cast<const char*>(kocrash_async_mobject_remap_address(mobj, address, 0, 1));
}

kocrash_error_t readString(kocrash_async_macho_string* string) {
    if (string->mapped) {
        return KOCRASH_ESUCCESS;
    }
    task_t task = string->image->task;
    kocrash_vm_size_t pages = 1;
    kocrash_async_mobject mobj;
    kocrash_error_t error =
        kocrash_async_mobject_init(&mobj, task, string->address, vm_page_size, false);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    for (kocrash_vm_address_t cursor = string->address;; ++cursor) {
        const char* character = characterAt(&mobj, cursor);
        if (character == nullptr) {
            kocrash_async_mobject_free(&mobj);
            ++pages;
            if (pages * vm_page_size > KOCRASH_ASYNC_MACHO_STRING_MAX_MAPPING) {
                return KOCRASH_EINVAL;
            }
            error = kocrash_async_mobject_init(&mobj, task, string->address, pages * vm_page_size,
                                               false);
            if (error != KOCRASH_ESUCCESS) {
                return error;
            }
            character = characterAt(&mobj, cursor);
            if (character == nullptr) {
                kocrash_async_mobject_free(&mobj);
                return KOCRASH_EINVAL;
            }
        }
        if (*character == '\0') {
            string->mobj = mobj;
            string->length = cursor - string->address;
            string->mapped = true;
            return KOCRASH_ESUCCESS;
        }
    }
}

} // namespace

kocrash_error_t kocrash_async_macho_string_init(kocrash_async_macho_string* string,
                                                const kocrash_async_macho* image,
                                                kocrash_vm_address_t address) {
    string->image = image;
    string->address = address;
    string->mapped = false;
    string->length = 0;
    return KOCRASH_ESUCCESS;
}

kocrash_error_t kocrash_async_macho_string_get_length(kocrash_async_macho_string* string,
                                                      kocrash_vm_size_t* length) {
    kocrash_error_t error = readString(string);
    if (error == KOCRASH_ESUCCESS) {
        *length = string->length;
    }
    return error;
}

kocrash_error_t kocrash_async_macho_string_get_pointer(kocrash_async_macho_string* string,
                                                       const char** pointer) {
    kocrash_error_t error = readString(string);
    if (error != KOCRASH_ESUCCESS) {
        return error;
    }
    const void* local =
        kocrash_async_mobject_remap_address(&string->mobj, string->address, 0, string->length);
    if (local == nullptr) {
        return KOCRASH_EACCESS;
    }
    *pointer = static_cast<const char*>(local);
    return KOCRASH_ESUCCESS;
}

void kocrash_async_macho_string_free(kocrash_async_macho_string* string) {
    if (string->mapped) {
        kocrash_async_mobject_free(&string->mobj);
        string->mapped = false;
    }
}
