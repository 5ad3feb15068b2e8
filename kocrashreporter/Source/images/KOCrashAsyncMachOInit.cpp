// Normal context only: an image record takes a heap copy of its name.
#include "images/KOCrashAsyncMachO.h"

#include <cstring>

kocrash_error_t kocrash_nasync_macho_init(kocrash_async_macho* image, task_t task, const char* name,
                                          kocrash_vm_address_t header_address) {
    const std::size_t name_length = std::strlen(name);
    auto* copy = new char[name_length + 1];
    std::memcpy(copy, name, name_length + 1);
    const kocrash_error_t error =
        kocrash_async_macho_init_borrowing(image, task, copy, header_address);
    if (error != KOCRASH_ESUCCESS) {
        delete[] copy;
        image->name = nullptr;
    }
    return error;
}

void kocrash_nasync_macho_free(kocrash_async_macho* image) {
    kocrash_async_macho_release(image);
    delete[] image->name;
    image->name = nullptr;
}
