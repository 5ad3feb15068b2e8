// May run at crash time: every routine in this file (arithmetic on names, gettid, and the
// message-port table for names in its range).
#include "platform/mach/MachPorts.h"

#include "platform/mach/MachMemoryEntries.h"
#include "platform/mach/MachPortSpace.h"

#include <unistd.h>

namespace platform::mach {

bool isThreadPort(mach_port_name_t name) {
    return name != 0 && name < kMachThreadPortLimit;
}

bool isTaskSelf(task_t task) {
    return task == kMachTaskSelfPort;
}

mach_port_t mach_task_self() {
    return kMachTaskSelfPort;
}

mach_port_t mach_thread_self() {
    return static_cast<mach_port_t>(gettid());
}

kern_return_t mach_port_deallocate(task_t task, mach_port_name_t name) {
    return mach_port_mod_refs(task, name, MACH_PORT_RIGHT_SEND, -1);
}

kern_return_t mach_port_mod_refs(task_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta) {
    if (!platform::mach::isTaskSelf(task)) {
        return KERN_INVALID_ARGUMENT;
    }
    if (platform::mach::isMessagePortName(name)) {
        return platform::mach::modifyMessagePortRefs(name, right, delta);
    }
    if (right != MACH_PORT_RIGHT_SEND) {
        return KERN_INVALID_RIGHT;
    }
    if (platform::mach::isThreadPort(name) || platform::mach::isTaskSelf(name)) {
        return KERN_SUCCESS;
    }
    // Memory entries hold a single reference: giving it up releases the entry.
    if (platform::mach::isMemoryEntry(name) && delta < 0) {
        return platform::mach::releaseMemoryEntry(name) ? KERN_SUCCESS : KERN_INVALID_NAME;
    }
    return KERN_INVALID_NAME;
}

} // namespace platform::mach
