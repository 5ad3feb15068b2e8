// Ranges of the own process whose bytes never change and stay mapped for as long as they are
// registered: code, unwind tables and symbol tables of loaded objects. A copy-on-write mapping
// of such a range can be the range itself, so the Mach memory calls show it in place instead
// of copying it. Everything here is async-signal-safe (a readability probe and a fixed table
// published with atomics): the views a crash builds are registered while its report reads them.
#pragma once

#include "platform/mach/MachTypes.h"

namespace platform::mach {

// Registers the whole pages the range touches: every byte in them must stay unchanged until
// the range is removed. False when a page is unreadable, the range is empty or wraps, or the
// table is full (the range is then copied like any other).
bool addUnchangingMemory(mach_vm_address_t address, mach_vm_size_t length);
void removeUnchangingMemory(mach_vm_address_t address);

// Whether [address, address + length) lies inside one registered range.
bool isUnchangingMemory(mach_vm_address_t address, mach_vm_size_t length);

} // namespace platform::mach
