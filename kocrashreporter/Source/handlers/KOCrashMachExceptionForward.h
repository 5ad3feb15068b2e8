// Hands an exception on to the exception ports that were registered before the reporter's.
// May run at crash time: KOCrashMachExceptionForward (no allocation, no lock).
#pragma once

#include "handlers/KOCrashMachExceptionPort.h"

// The result of the first matching port's handler; KERN_FAILURE when no port matches or the
// matching port's behavior cannot be served.
kern_return_t KOCrashMachExceptionForward(task_t task, thread_t thread,
                                          exception_type_t exception_type,
                                          mach_exception_data_t code,
                                          mach_msg_type_number_t code_count,
                                          const kocrash_mach_exception_port_set* port_state);
