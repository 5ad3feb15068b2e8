// The message-port half of the task's name space, for the other parts of the simulated kernel
// (exception ports, the kernel bridge). Async-signal-safe. The Locked routines expect the
// caller to hold KernelLock.
#pragma once

#include "platform/mach/MachMessages.h"

#include <sys/types.h>

namespace platform::mach {

bool isMessagePortName(mach_port_name_t name);
// A name that denotes no right (any more) counts as dead.
bool isDeadOrNull(mach_port_name_t name);

// One user reference of the send right more or less. Adding to a port with a receive right
// but no send right makes one; dead names count their references too.
kern_return_t addSendRefLocked(mach_port_name_t name);
kern_return_t releaseSendRefLocked(mach_port_name_t name);
kern_return_t modifyMessagePortRefs(mach_port_name_t name, mach_port_right_t right,
                                    mach_port_delta_t delta);

// The port from which the thread last received a message: the port it serves. A fault on that
// thread must not be routed to that port, since nothing would answer it.
bool servesPort(pid_t thread, mach_port_name_t port);

} // namespace platform::mach
