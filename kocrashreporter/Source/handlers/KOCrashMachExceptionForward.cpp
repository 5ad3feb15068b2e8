// May run at crash time: everything in this file (stack buffers, kernel calls only).
#include "handlers/KOCrashMachExceptionForward.h"

#include "platform/mach/MachThreads.h"

using platform::mach::exception_raise;
using platform::mach::exception_raise_state;
using platform::mach::exception_raise_state_identity;
using platform::mach::thread_get_state;

namespace {

// The 32-bit exception messages carry at most this many codes.
constexpr mach_msg_type_number_t kMaxNarrowCodes = 2;

int firstMatchingEntry(const kocrash_mach_exception_port_set& ports, exception_type_t type) {
    if (type < 0 || type >= EXC_TYPES_COUNT) {
        return -1;
    }
    exception_mask_t bit = 1u << type;
    std::uint32_t count = ports.count <= EXC_TYPES_COUNT ? ports.count : EXC_TYPES_COUNT;
    for (std::uint32_t i = 0; i < count; ++i) {
        mach_port_t port = ports.ports[i];
        if (port != MACH_PORT_NULL && port != MACH_PORT_DEAD && (ports.masks[i] & bit) != 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

} // namespace

kern_return_t KOCrashMachExceptionForward(task_t task, thread_t thread,
                                          exception_type_t exception_type,
                                          mach_exception_data_t code,
                                          mach_msg_type_number_t code_count,
                                          const kocrash_mach_exception_port_set* port_state) {
    int entry = firstMatchingEntry(*port_state, exception_type);
    if (entry < 0 || code_count > kMaxNarrowCodes) {
        return KERN_FAILURE;
    }
    exception_data_type_t narrowed[kMaxNarrowCodes] = {};
    for (mach_msg_type_number_t i = 0; i < code_count; ++i) {
        narrowed[i] = static_cast<exception_data_type_t>(code[i]);
    }
    mach_port_t port = port_state->ports[entry];
    exception_behavior_t behavior = port_state->behaviors[entry];
    thread_state_flavor_t flavor = port_state->flavors[entry];
    if (behavior == EXCEPTION_DEFAULT) {
        return exception_raise(port, thread, task, exception_type, narrowed, code_count);
    }
    if (behavior != EXCEPTION_STATE && behavior != EXCEPTION_STATE_IDENTITY) {
        return KERN_FAILURE;
    }
    natural_t state[THREAD_STATE_MAX];
    mach_msg_type_number_t stateCount = THREAD_STATE_MAX;
    if (kern_return_t read = thread_get_state(thread, flavor, state, &stateCount);
        read != KERN_SUCCESS) {
        return read;
    }
    // The handler's returned state is not applied to the thread.
    natural_t newState[THREAD_STATE_MAX];
    mach_msg_type_number_t newStateCount = THREAD_STATE_MAX;
    if (behavior == EXCEPTION_STATE) {
        return exception_raise_state(port, exception_type, narrowed, code_count, &flavor, state,
                                     stateCount, newState, &newStateCount);
    }
    return exception_raise_state_identity(port, thread, task, exception_type, narrowed, code_count,
                                          &flavor, state, stateCount, newState, &newStateCount);
}
