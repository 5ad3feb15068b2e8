// One loaded Mach-O image as the crash-time readers see it. The reader's operations build on
// this record; mapped strings take the image's task from it.
#pragma once

#include "KOCrashAsyncByteOrder.h"
#include "KOCrashAsyncMObject.h"
#include "KOCrashAsyncTaskMemory.h"
#include "platform/mach/MachTypes.h"

#include <cstdint>

extern "C" {

// The first 28 bytes of a Mach-O header as stored, in the image's byte order.
struct kocrash_async_macho_header {
    std::uint32_t magic;
    std::int32_t cputype;
    std::int32_t cpusubtype;
    std::uint32_t filetype;
    std::uint32_t ncmds;
    std::uint32_t sizeofcmds;
    std::uint32_t flags;
};
static_assert(sizeof(kocrash_async_macho_header) == 28);

struct kocrash_async_macho {
    // The task that holds the image; one send-right reference is held.
    task_t task;
    // Address of the Mach-O header in the task (the load address).
    kocrash_vm_address_t header_address;
    // header_address minus the __TEXT segment's vmaddr.
    kocrash_vm_off_t load_slide;
    // Copy of the image path given at init.
    char* name;
    kocrash_async_macho_header header;
    // 28 for 32-bit images, 32 for 64-bit images.
    kocrash_vm_size_t header_size;
    // Number of load commands, in host order.
    std::uint32_t ncmds;
    // All load commands (sizeofcmds bytes after the header).
    kocrash_async_mobject command_map;
    kocrash_vm_address_t text_address;
    kocrash_vm_size_t text_length;
    bool is_64_bit;
    const kocrash_async_byteorder* byteorder;
};

} // extern "C"
