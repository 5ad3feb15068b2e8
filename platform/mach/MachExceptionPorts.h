// Exception ports of the task and of its threads, and the calls that deliver an exception
// message to a port. Ports registered here are where the kernel bridge (MachKernelBridge.h)
// sends the exceptions of faulting threads. Every routine here is async-signal-safe.
#pragma once

#include "platform/mach/MachExceptionTypes.h"
#include "platform/mach/MachMessages.h"
#include "platform/mach/MachThreadState.h"

using exception_behavior_t = int;
using exception_data_type_t = integer_t;
using exception_data_t = exception_data_type_t*;
using mach_exception_data_t = mach_exception_data_type_t*;
using exception_mask_array_t = exception_mask_t*;
using exception_behavior_array_t = exception_behavior_t*;
using exception_flavor_array_t = thread_state_flavor_t*;
using exception_handler_array_t = mach_port_t*;

inline constexpr exception_behavior_t EXCEPTION_DEFAULT = 1;
inline constexpr exception_behavior_t EXCEPTION_STATE = 2;
inline constexpr exception_behavior_t EXCEPTION_STATE_IDENTITY = 3;
inline constexpr exception_behavior_t MACH_EXCEPTION_CODES =
    static_cast<exception_behavior_t>(0x80000000u);

inline constexpr exception_mask_t EXC_MASK_BAD_ACCESS = 1u << EXC_BAD_ACCESS;
inline constexpr exception_mask_t EXC_MASK_BAD_INSTRUCTION = 1u << EXC_BAD_INSTRUCTION;
inline constexpr exception_mask_t EXC_MASK_ARITHMETIC = 1u << EXC_ARITHMETIC;
inline constexpr exception_mask_t EXC_MASK_EMULATION = 1u << EXC_EMULATION;
inline constexpr exception_mask_t EXC_MASK_SOFTWARE = 1u << EXC_SOFTWARE;
inline constexpr exception_mask_t EXC_MASK_BREAKPOINT = 1u << EXC_BREAKPOINT;
inline constexpr exception_mask_t EXC_MASK_SYSCALL = 1u << EXC_SYSCALL;
inline constexpr exception_mask_t EXC_MASK_MACH_SYSCALL = 1u << EXC_MACH_SYSCALL;
inline constexpr exception_mask_t EXC_MASK_RPC_ALERT = 1u << EXC_RPC_ALERT;
inline constexpr exception_mask_t EXC_MASK_CRASH = 1u << EXC_CRASH;
inline constexpr exception_mask_t EXC_MASK_RESOURCE = 1u << EXC_RESOURCE;
inline constexpr exception_mask_t EXC_MASK_GUARD = 1u << EXC_GUARD;
inline constexpr exception_mask_t EXC_MASK_CORPSE_NOTIFY = 1u << EXC_CORPSE_NOTIFY;
inline constexpr exception_mask_t EXC_MASK_ALL = 0x1FFE;

// Words of the largest thread state an exception message carries.
inline constexpr mach_msg_type_number_t THREAD_STATE_MAX = 1296;
inline constexpr thread_state_flavor_t THREAD_STATE_NONE = 13;

// Message ids of the exception requests; the reply's id is the request's plus 100.
inline constexpr mach_msg_id_t kExceptionRaiseId = 2401;
inline constexpr mach_msg_id_t kExceptionRaiseStateId = 2402;
inline constexpr mach_msg_id_t kExceptionRaiseStateIdentityId = 2403;
inline constexpr mach_msg_id_t kMachExceptionRaiseId = 2405;
inline constexpr mach_msg_id_t kMachExceptionRaiseStateId = 2406;
inline constexpr mach_msg_id_t kMachExceptionRaiseStateIdentityId = 2407;

namespace platform::mach {

// Each registered port holds one send reference, taken here and given back when replaced.
kern_return_t task_set_exception_ports(task_t task, exception_mask_t exception_mask,
                                       mach_port_t new_port, exception_behavior_t behavior,
                                       thread_state_flavor_t new_flavor);
// The ports in force for the types in the mask, grouped: one entry per distinct (port,
// behavior, flavor), its mask the union of the types it serves. Each returned port carries one
// send reference for the caller.
kern_return_t task_get_exception_ports(task_t task, exception_mask_t exception_mask,
                                       exception_mask_array_t masks,
                                       mach_msg_type_number_t* masksCnt,
                                       exception_handler_array_t old_handlers,
                                       exception_behavior_array_t old_behaviors,
                                       exception_flavor_array_t old_flavors);
// get and set in one step.
kern_return_t task_swap_exception_ports(
    task_t task, exception_mask_t exception_mask, mach_port_t new_port,
    exception_behavior_t behavior, thread_state_flavor_t new_flavor, exception_mask_array_t masks,
    mach_msg_type_number_t* masksCnt, exception_handler_array_t old_handlers,
    exception_behavior_array_t old_behaviors, exception_flavor_array_t old_flavors);

kern_return_t thread_set_exception_ports(thread_act_t thread, exception_mask_t exception_mask,
                                         mach_port_t new_port, exception_behavior_t behavior,
                                         thread_state_flavor_t new_flavor);
kern_return_t thread_get_exception_ports(thread_act_t thread, exception_mask_t exception_mask,
                                         exception_mask_array_t masks,
                                         mach_msg_type_number_t* masksCnt,
                                         exception_handler_array_t old_handlers,
                                         exception_behavior_array_t old_behaviors,
                                         exception_flavor_array_t old_flavors);
kern_return_t thread_swap_exception_ports(
    thread_act_t thread, exception_mask_t exception_mask, mach_port_t new_port,
    exception_behavior_t behavior, thread_state_flavor_t new_flavor, exception_mask_array_t masks,
    mach_msg_type_number_t* masksCnt, exception_handler_array_t old_handlers,
    exception_behavior_array_t old_behaviors, exception_flavor_array_t old_flavors);

// Send a request with 32-bit codes to the port and wait for its reply; the result is the
// reply's return code, or the messaging error. The state variants store the state the
// handler returns in new_state.
kern_return_t exception_raise(mach_port_t exception_port, thread_t thread, task_t task,
                              exception_type_t exception, exception_data_t code,
                              mach_msg_type_number_t codeCnt);
kern_return_t exception_raise_state(mach_port_t exception_port, exception_type_t exception,
                                    const exception_data_t code, mach_msg_type_number_t codeCnt,
                                    int* flavor, const thread_state_t old_state,
                                    mach_msg_type_number_t old_stateCnt, thread_state_t new_state,
                                    mach_msg_type_number_t* new_stateCnt);
kern_return_t exception_raise_state_identity(mach_port_t exception_port, thread_t thread,
                                             task_t task, exception_type_t exception,
                                             exception_data_t code, mach_msg_type_number_t codeCnt,
                                             int* flavor, thread_state_t old_state,
                                             mach_msg_type_number_t old_stateCnt,
                                             thread_state_t new_state,
                                             mach_msg_type_number_t* new_stateCnt);
// The same with 64-bit codes (the behaviors that carry MACH_EXCEPTION_CODES).
kern_return_t mach_exception_raise(mach_port_t exception_port, thread_t thread, task_t task,
                                   exception_type_t exception, mach_exception_data_t code,
                                   mach_msg_type_number_t codeCnt);

} // namespace platform::mach
