// Bytes that the Mach memory calls of the own task show in place of the process's memory over
// a range. The loader stand-in presents a synthesised Mach-O header at the base of each ELF
// object this way, so crash-time readers find a header where the object starts while the C
// library keeps reading the real ELF header there. Adding, removing and applying overlays are
// async-signal-safe (a fixed table published with atomics): the loader stand-in adds the views
// of libraries opened since its last look at crash time.
#pragma once

#include "platform/mach/MachTypes.h"

namespace platform::mach {

// The bytes must stay valid until the overlay is removed. False when the table is full or the
// range wraps.
bool addMemoryOverlay(mach_vm_address_t address, const void* bytes, mach_vm_size_t length);
// Removes the overlay that shows bytes at address, leaving any other overlay there.
void removeMemoryOverlay(mach_vm_address_t address, const void* bytes);

// Whether any overlay byte lies inside [address, address + size).
bool memoryOverlaysTouch(mach_vm_address_t address, mach_vm_size_t size);

// destination holds a copy of [address, address + size); every overlay byte inside that range
// is copied over it.
void applyMemoryOverlays(mach_vm_address_t address, mach_vm_size_t size, void* destination);

} // namespace platform::mach
