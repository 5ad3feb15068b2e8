// May run at crash time: everything in this file (static tables under KernelLock).
#include "platform/mach/MachExceptionPorts.h"

#include "platform/mach/MachExceptionDelivery.h"
#include "platform/mach/MachKernelBridge.h"
#include "platform/mach/MachKernelLock.h"
#include "platform/mach/MachPortSpace.h"
#include "platform/mach/MachPorts.h"

namespace platform::mach {
namespace {

struct ExceptionPorts {
    ExceptionTarget byType[EXC_TYPES_COUNT];
};

constexpr int kThreadPortSlots = 64;

struct ThreadExceptionPorts {
    pid_t thread;
    ExceptionPorts ports;
};

ExceptionPorts taskPorts;
ThreadExceptionPorts threadPorts[kThreadPortSlots];

bool validBehavior(exception_behavior_t behavior) {
    exception_behavior_t plain = behavior & ~MACH_EXCEPTION_CODES;
    return plain >= EXCEPTION_DEFAULT && plain <= EXCEPTION_STATE_IDENTITY;
}

bool holdsRef(mach_port_t port) {
    return port != MACH_PORT_NULL && port != MACH_PORT_DEAD && isMessagePortName(port);
}

// Grouped by (port, behavior, flavor), as the kernel reports them.
void collectLocked(const ExceptionPorts& ports, exception_mask_t mask, exception_mask_array_t masks,
                   mach_msg_type_number_t* count, exception_handler_array_t handlers,
                   exception_behavior_array_t behaviors, exception_flavor_array_t flavors) {
    mach_msg_type_number_t capacity = *count;
    mach_msg_type_number_t used = 0;
    for (int type = 0; type < EXC_TYPES_COUNT; ++type) {
        if ((mask & (1u << type)) == 0) {
            continue;
        }
        const ExceptionTarget& target = ports.byType[type];
        mach_msg_type_number_t group = 0;
        while (group < used &&
               !(handlers[group] == target.port && behaviors[group] == target.behavior &&
                 flavors[group] == target.flavor)) {
            ++group;
        }
        if (group == used) {
            if (used == capacity) {
                break;
            }
            masks[used] = 0;
            handlers[used] = target.port;
            behaviors[used] = target.behavior;
            flavors[used] = target.flavor;
            if (holdsRef(target.port)) {
                addSendRefLocked(target.port);
            }
            ++used;
        }
        masks[group] |= 1u << type;
    }
    *count = used;
}

void replaceLocked(ExceptionPorts& ports, exception_mask_t mask, mach_port_t port,
                   exception_behavior_t behavior, thread_state_flavor_t flavor) {
    for (int type = 0; type < EXC_TYPES_COUNT; ++type) {
        if ((mask & (1u << type)) == 0) {
            continue;
        }
        ExceptionTarget& target = ports.byType[type];
        if (holdsRef(port)) {
            addSendRefLocked(port);
        }
        if (holdsRef(target.port)) {
            releaseSendRefLocked(target.port);
        }
        target = {port, behavior, flavor};
    }
}

ThreadExceptionPorts* threadPortsOf(pid_t thread, bool create) {
    ThreadExceptionPorts* free = nullptr;
    for (ThreadExceptionPorts& entry : threadPorts) {
        if (entry.thread == thread) {
            return &entry;
        }
        if (entry.thread == 0 && free == nullptr) {
            free = &entry;
        }
    }
    if (!create || free == nullptr) {
        return nullptr;
    }
    free->thread = thread;
    free->ports = {};
    return free;
}

kern_return_t checkNewPort(exception_mask_t mask, mach_port_t port, exception_behavior_t behavior) {
    if ((mask & ~((1u << EXC_TYPES_COUNT) - 1)) != 0 || !validBehavior(behavior)) {
        return KERN_INVALID_ARGUMENT;
    }
    if (holdsRef(port) && isDeadOrNull(port)) {
        return KERN_INVALID_RIGHT;
    }
    return KERN_SUCCESS;
}

kern_return_t swap(ExceptionPorts* (*portsOf)(mach_port_t, bool), mach_port_t owner,
                   exception_mask_t mask, mach_port_t port, exception_behavior_t behavior,
                   thread_state_flavor_t flavor, exception_mask_array_t masks,
                   mach_msg_type_number_t* count, exception_handler_array_t handlers,
                   exception_behavior_array_t behaviors, exception_flavor_array_t flavors) {
    if (kern_return_t checked = checkNewPort(mask, port, behavior); checked != KERN_SUCCESS) {
        return checked;
    }
    {
        KernelLock lock;
        ExceptionPorts* ports = portsOf(owner, true);
        if (ports == nullptr) {
            return owner == MACH_PORT_NULL ? KERN_INVALID_ARGUMENT : KERN_RESOURCE_SHORTAGE;
        }
        if (count != nullptr) {
            collectLocked(*ports, mask, masks, count, handlers, behaviors, flavors);
        }
        replaceLocked(*ports, mask, port, behavior, flavor);
    }
    if (port != MACH_PORT_NULL) {
        armKernelBridge();
    }
    return KERN_SUCCESS;
}

kern_return_t get(ExceptionPorts* (*portsOf)(mach_port_t, bool), mach_port_t owner,
                  exception_mask_t mask, exception_mask_array_t masks,
                  mach_msg_type_number_t* count, exception_handler_array_t handlers,
                  exception_behavior_array_t behaviors, exception_flavor_array_t flavors) {
    if (count == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    KernelLock lock;
    ExceptionPorts* ports = portsOf(owner, false);
    static const ExceptionPorts none{};
    collectLocked(ports != nullptr ? *ports : none, mask, masks, count, handlers, behaviors,
                  flavors);
    return KERN_SUCCESS;
}

ExceptionPorts* portsOfTask(mach_port_t task, bool) {
    return isTaskSelf(task) ? &taskPorts : nullptr;
}

ExceptionPorts* portsOfThread(mach_port_t thread, bool create) {
    if (!isThreadPort(thread)) {
        return nullptr;
    }
    ThreadExceptionPorts* entry = threadPortsOf(static_cast<pid_t>(thread), create);
    return entry != nullptr ? &entry->ports : nullptr;
}

} // namespace

bool exceptionTargetFor(pid_t thread, exception_type_t exception, ExceptionTarget* target) {
    if (exception < 0 || exception >= EXC_TYPES_COUNT) {
        return false;
    }
    KernelLock lock;
    const ExceptionPorts* owners[] = {portsOfThread(static_cast<mach_port_t>(thread), false),
                                      &taskPorts};
    for (const ExceptionPorts* ports : owners) {
        if (ports == nullptr) {
            continue;
        }
        const ExceptionTarget& candidate = ports->byType[exception];
        if (holdsRef(candidate.port) && addSendRefLocked(candidate.port) == KERN_SUCCESS) {
            *target = candidate;
            return true;
        }
    }
    return false;
}

kern_return_t task_set_exception_ports(task_t task, exception_mask_t exception_mask,
                                       mach_port_t new_port, exception_behavior_t behavior,
                                       thread_state_flavor_t new_flavor) {
    return swap(portsOfTask, task, exception_mask, new_port, behavior, new_flavor, nullptr, nullptr,
                nullptr, nullptr, nullptr);
}

kern_return_t task_get_exception_ports(task_t task, exception_mask_t exception_mask,
                                       exception_mask_array_t masks,
                                       mach_msg_type_number_t* masksCnt,
                                       exception_handler_array_t old_handlers,
                                       exception_behavior_array_t old_behaviors,
                                       exception_flavor_array_t old_flavors) {
    if (!isTaskSelf(task)) {
        return KERN_INVALID_ARGUMENT;
    }
    return get(portsOfTask, task, exception_mask, masks, masksCnt, old_handlers, old_behaviors,
               old_flavors);
}

kern_return_t task_swap_exception_ports(
    task_t task, exception_mask_t exception_mask, mach_port_t new_port,
    exception_behavior_t behavior, thread_state_flavor_t new_flavor, exception_mask_array_t masks,
    mach_msg_type_number_t* masksCnt, exception_handler_array_t old_handlers,
    exception_behavior_array_t old_behaviors, exception_flavor_array_t old_flavors) {
    if (masksCnt == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    return swap(portsOfTask, task, exception_mask, new_port, behavior, new_flavor, masks, masksCnt,
                old_handlers, old_behaviors, old_flavors);
}

kern_return_t thread_set_exception_ports(thread_act_t thread, exception_mask_t exception_mask,
                                         mach_port_t new_port, exception_behavior_t behavior,
                                         thread_state_flavor_t new_flavor) {
    return swap(portsOfThread, thread, exception_mask, new_port, behavior, new_flavor, nullptr,
                nullptr, nullptr, nullptr, nullptr);
}

kern_return_t thread_get_exception_ports(thread_act_t thread, exception_mask_t exception_mask,
                                         exception_mask_array_t masks,
                                         mach_msg_type_number_t* masksCnt,
                                         exception_handler_array_t old_handlers,
                                         exception_behavior_array_t old_behaviors,
                                         exception_flavor_array_t old_flavors) {
    if (!isThreadPort(thread)) {
        return KERN_INVALID_ARGUMENT;
    }
    return get(portsOfThread, thread, exception_mask, masks, masksCnt, old_handlers, old_behaviors,
               old_flavors);
}

kern_return_t thread_swap_exception_ports(
    thread_act_t thread, exception_mask_t exception_mask, mach_port_t new_port,
    exception_behavior_t behavior, thread_state_flavor_t new_flavor, exception_mask_array_t masks,
    mach_msg_type_number_t* masksCnt, exception_handler_array_t old_handlers,
    exception_behavior_array_t old_behaviors, exception_flavor_array_t old_flavors) {
    if (masksCnt == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    return swap(portsOfThread, thread, exception_mask, new_port, behavior, new_flavor, masks,
                masksCnt, old_handlers, old_behaviors, old_flavors);
}

} // namespace platform::mach
