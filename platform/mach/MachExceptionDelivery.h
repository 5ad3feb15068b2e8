// Delivery of exception messages, shared by the exception_raise calls and the kernel bridge.
// Async-signal-safe.
#pragma once

#include "platform/mach/MachExceptionPorts.h"

#include <sys/types.h>

namespace platform::mach {

struct ExceptionDelivery {
    // With MACH_EXCEPTION_CODES the codes travel as 64-bit values, else narrowed to 32 bits.
    exception_behavior_t behavior;
    thread_t thread;
    task_t task;
    exception_type_t exception;
    const mach_exception_data_type_t* codes;
    mach_msg_type_number_t codeCount;
    // State behaviors only.
    thread_state_flavor_t* flavor;
    const natural_t* oldState;
    mach_msg_type_number_t oldStateCount;
    natural_t* newState;
    mach_msg_type_number_t* newStateCount;
};

// Sends the request to port (the caller holds a send right) and waits for the reply; the reply's
// return code, or a messaging error.
kern_return_t deliverException(mach_port_t port, const ExceptionDelivery& delivery);

struct ExceptionTarget {
    mach_port_t port;
    exception_behavior_t behavior;
    thread_state_flavor_t flavor;
};

// The port that handles the type for the thread: the thread's own, else the task's. The target's
// port carries one send reference the caller gives back; false when there is none.
bool exceptionTargetFor(pid_t thread, exception_type_t exception, ExceptionTarget* target);

// MIG's failures of a request whose reply never came or did not match.
inline constexpr kern_return_t MIG_REPLY_MISMATCH = -301;
inline constexpr kern_return_t MIG_ARRAY_TOO_LARGE = -307;
inline constexpr kern_return_t MIG_SERVER_DIED = -308;

} // namespace platform::mach
