// The simulated Mach port name space of the own task. Names are plain numbers in fixed
// ranges, so every routine here is async-signal-safe and needs no table for tasks or threads.
#pragma once

#include "platform/mach/MachTypes.h"

// Thread ports are named by the kernel thread id, which is below 2^22 on Linux.
inline constexpr mach_port_name_t kMachThreadPortLimit = 0x400000;
// The one task that exists here: the own process.
inline constexpr mach_port_name_t kMachTaskSelfPort = 0x10000000;
// Memory entries made by mach_make_memory_entry_64 take names from this range up.
inline constexpr mach_port_name_t kMachMemoryEntryPortBase = 0x20000000;
// Names from here up are left to message ports.
inline constexpr mach_port_name_t kMachMessagePortBase = 0x40000000;

namespace platform::mach {

mach_port_t mach_task_self();
// A send right to the calling thread's port. Thread and task names carry no reference
// count here: they stay valid as long as the thread lives.
mach_port_t mach_thread_self();

kern_return_t mach_port_deallocate(task_t task, mach_port_name_t name);
kern_return_t mach_port_mod_refs(task_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta);

} // namespace platform::mach

namespace platform::mach {

bool isThreadPort(mach_port_name_t name);
bool isTaskSelf(task_t task);

} // namespace platform::mach
