// Virtual memory of the own task in the shape of the Mach calls: page size, reads that never
// fault, anonymous allocations. Every routine here is async-signal-safe.
#pragma once

#include "platform/mach/MachTypes.h"

namespace platform::mach {

extern vm_size_t vm_page_size;
extern vm_size_t vm_page_mask;

// Copies size bytes at address of the task into data. KERN_INVALID_ADDRESS when a byte is
// unmapped (or data is not writable), KERN_PROTECTION_FAILURE when it is mapped but unreadable,
// KERN_INVALID_ARGUMENT for any task but the own one.
kern_return_t mach_vm_read_overwrite(vm_map_t task, mach_vm_address_t address, mach_vm_size_t size,
                                     mach_vm_address_t data, mach_vm_size_t* outsize);

// Zero-filled, readable and writable pages; VM_FLAGS_ANYWHERE picks the address.
kern_return_t mach_vm_allocate(vm_map_t task, mach_vm_address_t* address, mach_vm_size_t size,
                               int flags);
kern_return_t mach_vm_deallocate(vm_map_t task, mach_vm_address_t address, mach_vm_size_t size);

} // namespace platform::mach
