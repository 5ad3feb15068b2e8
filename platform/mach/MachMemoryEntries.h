// Memory entries of the own task and mappings made from them. A mapping is the snapshot a
// copy-on-write mapping gives, never shared memory: the range itself when its bytes cannot
// change (UnchangingMemory.h) and no overlay hides them, a private copy taken at map time
// otherwise. Every routine here is async-signal-safe: entries live in a fixed table.
#pragma once

#include "platform/mach/MachTypes.h"

namespace platform::mach {

// Grants a read-only entry for the readable prefix of [offset, offset + *size), in whole
// pages, and stores its size in *size. KERN_INVALID_ADDRESS when the first page is unreadable.
kern_return_t mach_make_memory_entry_64(vm_map_t target_task, memory_object_size_t* size,
                                        memory_object_offset_t offset, vm_prot_t permission,
                                        mach_port_t* object_handle,
                                        mem_entry_name_port_t parent_entry);

// Maps size bytes of the entry from offset on at *address (VM_FLAGS_ANYWHERE picks the address;
// VM_FLAGS_OVERWRITE replaces what is there). Only copies (copy true) are supported. With
// VM_FLAGS_ANYWHERE, page-aligned unchanging memory is given in place: *address is then the
// source address itself, which no fresh mapping can have, and nothing is to be deallocated.
kern_return_t mach_vm_map(vm_map_t target_task, mach_vm_address_t* address, mach_vm_size_t size,
                          mach_vm_offset_t mask, int flags, mem_entry_name_port_t object,
                          memory_object_offset_t offset, boolean_t copy, vm_prot_t cur_protection,
                          vm_prot_t max_protection, vm_inherit_t inheritance);

} // namespace platform::mach

namespace platform::mach {

bool isMemoryEntry(mach_port_name_t name);
// Drops the entry behind name; false when there is none.
bool releaseMemoryEntry(mach_port_name_t name);

} // namespace platform::mach
