// May run at crash time: everything in this file (Mach virtual-memory calls and copies into
// caller storage).
#include "async/KOCrashAsyncMObject.h"

#include "async/KOCrashAsyncString.h"
#include "platform/mach/MachMemoryEntries.h"
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachVirtualMemory.h"

using platform::mach::mach_make_memory_entry_64;
using platform::mach::mach_port_deallocate;
using platform::mach::mach_port_mod_refs;
using platform::mach::mach_task_self;
using platform::mach::mach_vm_deallocate;
using platform::mach::mach_vm_map;
using platform::mach::vm_page_mask;

namespace {

kocrash_vm_address_t roundDownToPage(kocrash_vm_address_t address) {
    return address & ~kocrash_vm_address_t{vm_page_mask};
}

} // namespace

kocrash_error_t kocrash_async_mobject_init(kocrash_async_mobject* mobj, task_t task,
                                           kocrash_vm_address_t source_address,
                                           kocrash_vm_size_t length, bool map_whole_range) {
    kocrash_vm_address_t end = source_address + length;
    if (end < source_address || end > ~kocrash_vm_address_t{0} - vm_page_mask) {
        return KOCRASH_ENOMEM;
    }
    kocrash_vm_address_t page_start = roundDownToPage(source_address);
    kocrash_vm_size_t in_page_offset = source_address - page_start;
    kocrash_vm_size_t total = length == 0 ? 0 : roundDownToPage(end + vm_page_mask) - page_start;

    // One entry covers the readable prefix of the range; the mapping is either a copy or, for
    // memory of the own task that cannot change, the source pages themselves.
    mach_vm_address_t mapping = 0;
    bool in_place = false;
    if (total != 0) {
        memory_object_size_t granted = total;
        mach_port_t entry = MACH_PORT_NULL;
        if (mach_make_memory_entry_64(task, &granted, page_start, VM_PROT_READ, &entry,
                                      MACH_PORT_NULL) != KERN_SUCCESS) {
            return KOCRASH_ENOMEM;
        }
        if (granted < total && map_whole_range) {
            mach_port_deallocate(mach_task_self(), entry);
            return KOCRASH_ENOMEM;
        }
        total = granted < total ? granted : total;
        kern_return_t mapped =
            mach_vm_map(mach_task_self(), &mapping, total, 0, VM_FLAGS_ANYWHERE, entry, 0, true,
                        VM_PROT_READ, VM_PROT_READ, VM_INHERIT_COPY);
        mach_port_deallocate(mach_task_self(), entry);
        if (mapped == KERN_NO_SPACE) {
            return KOCRASH_EINTERNAL;
        }
        if (mapped != KERN_SUCCESS) {
            return KOCRASH_ENOMEM;
        }
        // A fresh mapping never lands on pages that are still mapped: only the pages
        // themselves can be there.
        in_place = task == mach_task_self() && mapping == page_start;
    }

    mobj->task = task;
    mobj->source_address = source_address;
    mobj->mapping_start = mapping;
    mobj->mapping_length = in_place ? 0 : total;
    // An empty object has no local bytes: every lookup in it yields null.
    mobj->address = total == 0 ? 0 : mapping + in_page_offset;
    kocrash_vm_size_t usable = total == 0 ? 0 : total - in_page_offset;
    mobj->length = usable < length ? usable : length;
    mobj->address_delta = static_cast<kocrash_vm_off_t>(source_address - mobj->address);
    mach_port_mod_refs(mach_task_self(), task, MACH_PORT_RIGHT_SEND, 1);
    return KOCRASH_ESUCCESS;
}

kocrash_vm_address_t kocrash_async_mobject_base_address(const kocrash_async_mobject* mobj) {
    return mobj->source_address;
}

kocrash_vm_size_t kocrash_async_mobject_length(const kocrash_async_mobject* mobj) {
    return mobj->length;
}

task_t kocrash_async_mobject_task(const kocrash_async_mobject* mobj) {
    return mobj->task;
}

bool kocrash_async_mobject_verify_local_pointer(const kocrash_async_mobject* mobj,
                                                kocrash_vm_address_t local_address,
                                                kocrash_vm_off_t offset, kocrash_vm_size_t length) {
    kocrash_vm_address_t start;
    if (!kocrash_async_address_apply_offset(local_address, offset, &start)) {
        return false;
    }
    if (start < mobj->address) {
        return false;
    }
    kocrash_vm_address_t end = start + length;
    if (end < start) {
        return false;
    }
    return end <= mobj->address + mobj->length;
}

void* kocrash_async_mobject_remap_address(const kocrash_async_mobject* mobj,
                                          kocrash_vm_address_t address, kocrash_vm_off_t offset,
                                          kocrash_vm_size_t length) {
    kocrash_vm_address_t local = address - static_cast<kocrash_vm_address_t>(mobj->address_delta);
    if (!kocrash_async_mobject_verify_local_pointer(mobj, local, offset, length)) {
        return nullptr;
    }
    return reinterpret_cast<void*>(
        static_cast<std::uintptr_t>(local + static_cast<kocrash_vm_address_t>(offset)));
}

namespace {

// Copies a field out byte by byte: fields of foreign data need not be aligned.
template <typename Value>
kocrash_error_t readField(const kocrash_async_mobject* mobj, kocrash_vm_address_t address,
                          kocrash_vm_off_t offset, Value* value) {
    const void* local = kocrash_async_mobject_remap_address(mobj, address, offset, sizeof(Value));
    if (local == nullptr) {
        return KOCRASH_EINVAL;
    }
    kocrash_async_memcpy(value, local, sizeof(Value));
    return KOCRASH_ESUCCESS;
}

} // namespace

kocrash_error_t kocrash_async_mobject_read_uint8(const kocrash_async_mobject* mobj,
                                                 kocrash_vm_address_t address,
                                                 kocrash_vm_off_t offset, std::uint8_t* result) {
    return readField(mobj, address, offset, result);
}

kocrash_error_t kocrash_async_mobject_read_uint16(const kocrash_async_mobject* mobj,
                                                  const kocrash_async_byteorder* byteorder,
                                                  kocrash_vm_address_t address,
                                                  kocrash_vm_off_t offset, std::uint16_t* result) {
    std::uint16_t value;
    kocrash_error_t error = readField(mobj, address, offset, &value);
    if (error == KOCRASH_ESUCCESS) {
        *result = byteorder->swap16(value);
    }
    return error;
}

kocrash_error_t kocrash_async_mobject_read_uint32(const kocrash_async_mobject* mobj,
                                                  const kocrash_async_byteorder* byteorder,
                                                  kocrash_vm_address_t address,
                                                  kocrash_vm_off_t offset, std::uint32_t* result) {
    std::uint32_t value;
    kocrash_error_t error = readField(mobj, address, offset, &value);
    if (error == KOCRASH_ESUCCESS) {
        *result = byteorder->swap32(value);
    }
    return error;
}

kocrash_error_t kocrash_async_mobject_read_uint64(const kocrash_async_mobject* mobj,
                                                  const kocrash_async_byteorder* byteorder,
                                                  kocrash_vm_address_t address,
                                                  kocrash_vm_off_t offset, std::uint64_t* result) {
    std::uint64_t value;
    kocrash_error_t error = readField(mobj, address, offset, &value);
    if (error == KOCRASH_ESUCCESS) {
        *result = byteorder->swap64(value);
    }
    return error;
}

void kocrash_async_mobject_free(kocrash_async_mobject* mobj) {
    mach_vm_deallocate(mach_task_self(), mobj->mapping_start, mobj->mapping_length);
    mach_port_mod_refs(mach_task_self(), mobj->task, MACH_PORT_RIGHT_SEND, -1);
}
