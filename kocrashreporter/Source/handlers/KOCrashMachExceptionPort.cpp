// Normal context only.
#include "handlers/KOCrashMachExceptionPort.h"

#include "KOCrashLog.h"

#include "platform/mach/MachPorts.h"

#include <cstdlib>

using platform::mach::mach_port_mod_refs;
using platform::mach::mach_task_self;
using platform::mach::task_get_exception_ports;
using platform::mach::task_swap_exception_ports;
using platform::mach::thread_get_exception_ports;
using platform::mach::thread_swap_exception_ports;

namespace {

bool holdsReference(mach_port_t port) {
    return port != MACH_PORT_NULL && port != MACH_PORT_DEAD;
}

void dropReference(mach_port_t port) {
    kern_return_t result = mach_port_mod_refs(mach_task_self(), port, MACH_PORT_RIGHT_SEND, -1);
    if (result != KERN_SUCCESS) {
        kocrash_log("[KOCrashReporter] Unexpected error decrementing mach port reference: %d",
                    result);
    }
}

struct PortArrays {
    exception_mask_t masks[EXC_TYPES_COUNT];
    mach_port_t ports[EXC_TYPES_COUNT];
    exception_behavior_t behaviors[EXC_TYPES_COUNT];
    thread_state_flavor_t flavors[EXC_TYPES_COUNT];
    mach_msg_type_number_t count = EXC_TYPES_COUNT;

    std::shared_ptr<KOCrashMachExceptionPortSet> portSet() const {
        kocrash_mach_exception_port_set representation{};
        representation.count = count;
        for (mach_msg_type_number_t i = 0; i < count; ++i) {
            representation.masks[i] = masks[i];
            representation.ports[i] = ports[i];
            representation.behaviors[i] = behaviors[i];
            representation.flavors[i] = flavors[i];
        }
        return std::make_shared<KOCrashMachExceptionPortSet>(representation);
    }
};

using SwapCall = kern_return_t (*)(mach_port_t, exception_mask_t, mach_port_t, exception_behavior_t,
                                   thread_state_flavor_t, exception_mask_array_t,
                                   mach_msg_type_number_t*, exception_handler_array_t,
                                   exception_behavior_array_t, exception_flavor_array_t);
using GetCall = kern_return_t (*)(mach_port_t, exception_mask_t, exception_mask_array_t,
                                  mach_msg_type_number_t*, exception_handler_array_t,
                                  exception_behavior_array_t, exception_flavor_array_t);

std::shared_ptr<KOCrashMachExceptionPortSet>
currentPorts(GetCall get, mach_port_t owner, exception_mask_t mask, std::optional<KOError>* error) {
    PortArrays arrays;
    kern_return_t result = get(owner, mask, arrays.masks, &arrays.count, arrays.ports,
                               arrays.behaviors, arrays.flavors);
    if (result != KERN_SUCCESS) {
        kocrash_populate_mach_error(error, result, "Failed to fetch mach exception ports");
        return nullptr;
    }
    return arrays.portSet();
}

bool swapPorts(SwapCall swap, mach_port_t owner, const KOCrashMachExceptionPort& port,
               std::shared_ptr<KOCrashMachExceptionPortSet>* previousPortSet,
               std::optional<KOError>* error) {
    PortArrays arrays;
    kern_return_t result =
        swap(owner, port.mask(), port.server_port(), port.behavior(), port.flavor(), arrays.masks,
             &arrays.count, arrays.ports, arrays.behaviors, arrays.flavors);
    if (result != KERN_SUCCESS) {
        kocrash_populate_mach_error(error, result, "Failed to swap mach exception ports");
        return false;
    }
    std::shared_ptr<KOCrashMachExceptionPortSet> previous = arrays.portSet();
    if (previousPortSet != nullptr) {
        *previousPortSet = std::move(previous);
    }
    return true;
}

[[noreturn]] void assertionFailure(const char* format, unsigned long count) {
    kocrash_log(format, count, static_cast<unsigned long>(EXC_TYPES_COUNT));
    abort();
}

} // namespace

KOCrashMachExceptionPort::KOCrashMachExceptionPort(mach_port_t port, exception_mask_t mask,
                                                   exception_behavior_t behavior,
                                                   thread_state_flavor_t flavor)
    : mask_(mask), port_(port), behavior_(behavior), flavor_(flavor) {
    if (!holdsReference(port_)) {
        return;
    }
    kern_return_t result = mach_port_mod_refs(mach_task_self(), port_, MACH_PORT_RIGHT_SEND, 1);
    if (result != KERN_SUCCESS) {
        kocrash_log("[KOCrashReporter] Unexpected error incrementing mach port reference: %d",
                    result);
    }
}

KOCrashMachExceptionPort::~KOCrashMachExceptionPort() {
    if (holdsReference(port_)) {
        dropReference(port_);
    }
}

std::shared_ptr<KOCrashMachExceptionPortSet>
KOCrashMachExceptionPort::exceptionPortsForTask(task_t task, exception_mask_t mask,
                                                std::optional<KOError>* error) {
    return currentPorts(task_get_exception_ports, task, mask, error);
}

std::shared_ptr<KOCrashMachExceptionPortSet>
KOCrashMachExceptionPort::exceptionPortsForThread(thread_t thread, exception_mask_t mask,
                                                  std::optional<KOError>* error) {
    return currentPorts(thread_get_exception_ports, thread, mask, error);
}

bool KOCrashMachExceptionPort::registerForTask(
    task_t task, std::shared_ptr<KOCrashMachExceptionPortSet>* previousPortSet,
    std::optional<KOError>* error) const {
    return swapPorts(task_swap_exception_ports, task, *this, previousPortSet, error);
}

bool KOCrashMachExceptionPort::registerForThread(
    thread_t thread, std::shared_ptr<KOCrashMachExceptionPortSet>* previousPortSet,
    std::optional<KOError>* error) const {
    return swapPorts(thread_swap_exception_ports, thread, *this, previousPortSet, error);
}

KOCrashMachExceptionPortSet::KOCrashMachExceptionPortSet(Ports set) : set_(std::move(set)) {
    if (set_.size() > static_cast<std::size_t>(EXC_TYPES_COUNT)) {
        assertionFailure("Set size of %lu exceeds EXC_TYPES_COUNT (%lu)", set_.size());
    }
    asyncSafeRepresentation_.count = static_cast<std::uint32_t>(set_.size());
    std::size_t index = 0;
    for (const auto& port : set_) {
        asyncSafeRepresentation_.masks[index] = port->mask();
        asyncSafeRepresentation_.ports[index] = port->server_port();
        asyncSafeRepresentation_.behaviors[index] = port->behavior();
        asyncSafeRepresentation_.flavors[index] = port->flavor();
        ++index;
    }
}

KOCrashMachExceptionPortSet::KOCrashMachExceptionPortSet(
    const kocrash_mach_exception_port_set& representation)
    : asyncSafeRepresentation_(representation) {
    if (representation.count > static_cast<std::uint32_t>(EXC_TYPES_COUNT)) {
        assertionFailure("Count of %lu exceeds EXC_TYPES_COUNT (%lu)", representation.count);
    }
    for (std::uint32_t i = 0; i < representation.count; ++i) {
        mach_port_t port = representation.ports[i];
        set_.push_back(std::make_shared<const KOCrashMachExceptionPort>(
            port, representation.masks[i], representation.behaviors[i], representation.flavors[i]));
        if (holdsReference(port)) {
            dropReference(port);
        }
    }
}
