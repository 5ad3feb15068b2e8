// May run at crash time: everything in this file (kernel calls through the Mach stand-in).
#include "async/KOCrashAsyncTaskMemory.h"

#include "platform/mach/MachPorts.h"
#include "platform/mach/MachVirtualMemory.h"

using platform::mach::mach_port_deallocate;
using platform::mach::mach_task_self;
using platform::mach::mach_thread_self;
using platform::mach::mach_vm_read_overwrite;

bool kocrash_async_address_apply_offset(kocrash_vm_address_t base, kocrash_vm_off_t offset,
                                        kocrash_vm_address_t* result) {
    kocrash_vm_address_t sum;
    if (offset >= 0) {
        sum = base + static_cast<kocrash_vm_address_t>(offset);
        if (sum < base) {
            return false;
        }
    } else {
        // Negating in unsigned arithmetic keeps INT64_MIN representable.
        kocrash_vm_address_t magnitude = 0 - static_cast<kocrash_vm_address_t>(offset);
        if (magnitude > base) {
            return false;
        }
        sum = base - magnitude;
    }
    if (result != nullptr) {
        *result = sum;
    }
    return true;
}

thread_t ko_mach_thread_self() {
    thread_t self = mach_thread_self();
    mach_port_deallocate(mach_task_self(), self);
    return self;
}

kocrash_error_t kocrash_async_task_memcpy(task_t task, kocrash_vm_address_t address,
                                          kocrash_vm_off_t offset, void* dest,
                                          kocrash_vm_size_t length) {
    kocrash_vm_address_t target;
    if (!kocrash_async_address_apply_offset(address, offset, &target)) {
        return KOCRASH_ENOMEM;
    }
    mach_vm_size_t copied = 0;
    switch (mach_vm_read_overwrite(task, target, length, reinterpret_cast<std::uintptr_t>(dest),
                                   &copied)) {
    case KERN_SUCCESS:
        return KOCRASH_ESUCCESS;
    case KERN_INVALID_ADDRESS:
        return KOCRASH_ENOTFOUND;
    case KERN_PROTECTION_FAILURE:
        return KOCRASH_EACCESS;
    default:
        return KOCRASH_EUNKNOWN;
    }
}

kocrash_error_t kocrash_async_task_read_uint8(task_t task, kocrash_vm_address_t address,
                                              kocrash_vm_off_t offset, std::uint8_t* result) {
    return kocrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
}

kocrash_error_t kocrash_async_task_read_uint16(task_t task,
                                               const kocrash_async_byteorder* byteorder,
                                               kocrash_vm_address_t address,
                                               kocrash_vm_off_t offset, std::uint16_t* result) {
    kocrash_error_t error =
        kocrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
    if (error == KOCRASH_ESUCCESS) {
        *result = byteorder->swap16(*result);
    }
    return error;
}

kocrash_error_t kocrash_async_task_read_uint32(task_t task,
                                               const kocrash_async_byteorder* byteorder,
                                               kocrash_vm_address_t address,
                                               kocrash_vm_off_t offset, std::uint32_t* result) {
    kocrash_error_t error =
        kocrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
    if (error == KOCRASH_ESUCCESS) {
        *result = byteorder->swap32(*result);
    }
    return error;
}

kocrash_error_t kocrash_async_task_read_uint64(task_t task,
                                               const kocrash_async_byteorder* byteorder,
                                               kocrash_vm_address_t address,
                                               kocrash_vm_off_t offset, std::uint64_t* result) {
    kocrash_error_t error =
        kocrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
    if (error == KOCRASH_ESUCCESS) {
        *result = byteorder->swap64(*result);
    }
    return error;
}
