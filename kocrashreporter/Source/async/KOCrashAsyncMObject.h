// Memory objects: a range of a task mapped once into the own address space as a read-only
// snapshot, then read field by field with bounds checks. A range that runs into unreadable
// memory yields an object over its readable prefix. Code, unwind tables and symbol tables of
// the own task are not copied: their pages are checked for readability and read in place
// (nothing is then to be unmapped, mapping_length is 0); memory that can change is a copy. May
// run at crash time: everything declared here (kernel virtual memory only, no heap, no lock).
#pragma once

#include "async/KOCrashAsyncByteOrder.h"
#include "async/KOCrashAsyncError.h"
#include "async/KOCrashAsyncTaskMemory.h"
#include "platform/mach/MachTypes.h"

#include <cstdint>

extern "C" {

struct kocrash_async_mobject {
    // The source task; the object holds one extra send-right reference.
    task_t task;
    // Local address at which the first requested byte is visible.
    kocrash_vm_address_t address;
    // The requested start in the source task.
    kocrash_vm_address_t source_address;
    // Bytes usable from address on.
    kocrash_vm_size_t length;
    // source_address - address: subtracting it turns a task address into a local one.
    kocrash_vm_off_t address_delta;
    kocrash_vm_address_t mapping_start;
    kocrash_vm_size_t mapping_length;
};

// 0; 3 when nothing of the range (or, with map_whole_range, not all of it) can be mapped or
// the range wraps around the address space; 6 when no local space can be reserved. A length
// of 0 gives an empty object. On failure nothing stays mapped and no reference is taken.
kocrash_error_t kocrash_async_mobject_init(kocrash_async_mobject* mobj, task_t task,
                                           kocrash_vm_address_t source_address,
                                           kocrash_vm_size_t length, bool map_whole_range);

kocrash_vm_address_t kocrash_async_mobject_base_address(const kocrash_async_mobject* mobj);
kocrash_vm_size_t kocrash_async_mobject_length(const kocrash_async_mobject* mobj);
task_t kocrash_async_mobject_task(const kocrash_async_mobject* mobj);

bool kocrash_async_mobject_verify_local_pointer(const kocrash_async_mobject* mobj,
                                                kocrash_vm_address_t local_address,
                                                kocrash_vm_off_t offset, kocrash_vm_size_t length);
// The local pointer for task address + offset when length bytes from there lie inside the
// object; null otherwise.
void* kocrash_async_mobject_remap_address(const kocrash_async_mobject* mobj,
                                          kocrash_vm_address_t address, kocrash_vm_off_t offset,
                                          kocrash_vm_size_t length);

// 0, or 5 when the bytes are not inside the object (the out value is then not written).
kocrash_error_t kocrash_async_mobject_read_uint8(const kocrash_async_mobject* mobj,
                                                 kocrash_vm_address_t address,
                                                 kocrash_vm_off_t offset, std::uint8_t* result);
kocrash_error_t kocrash_async_mobject_read_uint16(const kocrash_async_mobject* mobj,
                                                  const kocrash_async_byteorder* byteorder,
                                                  kocrash_vm_address_t address,
                                                  kocrash_vm_off_t offset, std::uint16_t* result);
kocrash_error_t kocrash_async_mobject_read_uint32(const kocrash_async_mobject* mobj,
                                                  const kocrash_async_byteorder* byteorder,
                                                  kocrash_vm_address_t address,
                                                  kocrash_vm_off_t offset, std::uint32_t* result);
kocrash_error_t kocrash_async_mobject_read_uint64(const kocrash_async_mobject* mobj,
                                                  const kocrash_async_byteorder* byteorder,
                                                  kocrash_vm_address_t address,
                                                  kocrash_vm_off_t offset, std::uint64_t* result);

void kocrash_async_mobject_free(kocrash_async_mobject* mobj);

} // extern "C"
