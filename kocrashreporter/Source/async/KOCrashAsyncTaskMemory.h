// Address arithmetic, reads of a task's memory through the kernel, and the calling thread's
// port. A bad address yields an error code, never a fault. May run at crash time: everything
// declared here.
#pragma once

#include "async/KOCrashAsyncByteOrder.h"
#include "async/KOCrashAsyncError.h"
#include "platform/mach/MachTypes.h"

#include <cstdint>

typedef std::uint64_t kocrash_vm_address_t;
typedef std::int64_t kocrash_vm_off_t;
typedef std::uint64_t kocrash_vm_size_t;

extern "C" {

// False when base + offset leaves the 64-bit address space in either direction; otherwise
// stores the sum when result is not null.
bool kocrash_async_address_apply_offset(kocrash_vm_address_t base, kocrash_vm_off_t offset,
                                        kocrash_vm_address_t* result);

// The calling thread's port name, without keeping a reference.
thread_t ko_mach_thread_self();

// 0, or 3 when address + offset overflows (nothing is read), 8 for an unmapped address,
// 7 for an unreadable one, 1 for any other kernel failure.
kocrash_error_t kocrash_async_task_memcpy(task_t task, kocrash_vm_address_t address,
                                          kocrash_vm_off_t offset, void* dest,
                                          kocrash_vm_size_t length);

kocrash_error_t kocrash_async_task_read_uint8(task_t task, kocrash_vm_address_t address,
                                              kocrash_vm_off_t offset, std::uint8_t* result);
// The value is converted with the descriptor; it is meaningful only when 0 is returned.
kocrash_error_t kocrash_async_task_read_uint16(task_t task,
                                               const kocrash_async_byteorder* byteorder,
                                               kocrash_vm_address_t address,
                                               kocrash_vm_off_t offset, std::uint16_t* result);
kocrash_error_t kocrash_async_task_read_uint32(task_t task,
                                               const kocrash_async_byteorder* byteorder,
                                               kocrash_vm_address_t address,
                                               kocrash_vm_off_t offset, std::uint32_t* result);
kocrash_error_t kocrash_async_task_read_uint64(task_t task,
                                               const kocrash_async_byteorder* byteorder,
                                               kocrash_vm_address_t address,
                                               kocrash_vm_off_t offset, std::uint64_t* result);

} // extern "C"
