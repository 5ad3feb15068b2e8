// May run at crash time: everything in this file (task reads, a memory object over the load
// commands, port references).
#include "images/KOCrashAsyncMachO.h"

#include "async/KOCrashAsyncString.h"
#include "platform/dyld/MachOFormat.h"
#include "platform/mach/MachPorts.h"

using platform::mach::mach_port_mod_refs;
using platform::mach::mach_task_self;

namespace {

void releaseInit(kocrash_async_macho* image, bool mapped) {
    if (mapped) {
        kocrash_async_mobject_free(&image->command_map);
    }
    mach_port_mod_refs(mach_task_self(), image->task, MACH_PORT_RIGHT_SEND, -1);
}

} // namespace

kocrash_error_t kocrash_async_macho_init_borrowing(kocrash_async_macho* image, task_t task,
                                                   const char* name,
                                                   kocrash_vm_address_t header_address) {
    return kocrash_async_macho_init_viewed(image, task, name, header_address, header_address);
}

kocrash_error_t kocrash_async_macho_init_viewed(kocrash_async_macho* image, task_t task,
                                                const char* name,
                                                kocrash_vm_address_t header_address,
                                                kocrash_vm_address_t contents_address) {
    image->task = task;
    image->header_address = header_address;
    image->name = name;
    mach_port_mod_refs(mach_task_self(), task, MACH_PORT_RIGHT_SEND, 1);

    if (kocrash_async_task_memcpy(task, contents_address, 0, &image->header,
                                  sizeof(image->header)) != KOCRASH_ESUCCESS) {
        releaseInit(image, false);
        return KOCRASH_EINTERNAL;
    }
    switch (image->header.magic) {
    case MH_MAGIC:
        image->is_64_bit = false;
        image->byteorder = kocrash_async_byteorder_little_endian();
        break;
    case MH_MAGIC_64:
        image->is_64_bit = true;
        image->byteorder = kocrash_async_byteorder_little_endian();
        break;
    case MH_CIGAM:
        image->is_64_bit = false;
        image->byteorder = kocrash_async_byteorder_big_endian();
        break;
    case MH_CIGAM_64:
        image->is_64_bit = true;
        image->byteorder = kocrash_async_byteorder_big_endian();
        break;
    default:
        releaseInit(image, false);
        return KOCRASH_EINVAL;
    }
    image->header_size = image->is_64_bit ? sizeof(mach_header_64) : sizeof(mach_header);
    image->ncmds = image->byteorder->swap32(image->header.ncmds);

    kocrash_vm_address_t commands;
    if (!kocrash_async_address_apply_offset(
            contents_address, static_cast<kocrash_vm_off_t>(image->header_size), &commands)) {
        releaseInit(image, false);
        return KOCRASH_EINVAL;
    }
    kocrash_error_t error =
        kocrash_async_mobject_init(&image->command_map, task, commands,
                                   image->byteorder->swap32(image->header.sizeofcmds), true);
    if (error != KOCRASH_ESUCCESS) {
        releaseInit(image, false);
        return error;
    }
    void* segment = nullptr;
    while ((segment = kocrash_async_macho_next_command_type(
                image, segment, image->is_64_bit ? LC_SEGMENT_64 : LC_SEGMENT)) != nullptr) {
        if (!kocrash_async_macho_command_covers(image, segment,
                                                image->is_64_bit ? sizeof(segment_command_64)
                                                                 : sizeof(segment_command))) {
            releaseInit(image, true);
            return KOCRASH_EINVAL;
        }
        if (kocrash_async_strncmp(static_cast<const char*>(segment) + 8, "__TEXT", 16) != 0) {
            continue;
        }
        if (image->is_64_bit) {
            image->text_address = kocrash_async_macho_read64(image, segment, 24);
            image->text_length = kocrash_async_macho_read64(image, segment, 32);
        } else {
            image->text_address = kocrash_async_macho_read32(image, segment, 24);
            image->text_length = kocrash_async_macho_read32(image, segment, 28);
        }
        image->load_slide = static_cast<kocrash_vm_off_t>(header_address - image->text_address);
        return KOCRASH_ESUCCESS;
    }
    releaseInit(image, true);
    return KOCRASH_EINVAL;
}

void kocrash_async_macho_release(kocrash_async_macho* image) {
    releaseInit(image, true);
}
