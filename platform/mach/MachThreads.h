// Threads of the own task: listing, suspension and register state. A thread is suspended by
// parking it: a real-time signal makes it save its registers in its signal handler and wait on
// a futex until it is resumed. Every routine here is async-signal-safe.
#pragma once

#include "platform/mach/MachThreadState.h"
#include "platform/mach/MachTypes.h"

#include <chrono>
#include <cstddef>
#include <sys/types.h>

namespace platform::mach {

// The task's threads in the kernel's order, in pages the caller releases with
// mach_vm_deallocate(task, list, count * sizeof(thread_act_t)).
kern_return_t task_threads(task_t task, thread_act_array_t* list, mach_msg_type_number_t* count);
// The same list into storage the caller reserved beforehand, so that listing maps nothing (a
// process out of memory still lists its threads). Threads beyond capacity are left out.
kern_return_t task_threads_into(task_t task, thread_act_t* storage, mach_msg_type_number_t capacity,
                                mach_msg_type_number_t* count);

// Returns once the thread is parked. A thread that does not park in time (it blocks the signal,
// or never gets to run) is reported as KERN_OPERATION_TIMED_OUT and is not waited for again;
// one that visibly blocks the signal fails at once with KERN_FAILURE, and so does every thread
// once the application has taken the park signal for a handler of its own (only threads that
// wait for an exception reply are stopped then). A thread that ends while it is waited for is
// KERN_INVALID_ARGUMENT, as one that had ended before. Suspending the calling thread is refused:
// nothing in it could resume it. Suspensions count: each needs a resume.
kern_return_t thread_suspend(thread_act_t thread);
kern_return_t thread_resume(thread_act_t thread);

// Registers of a suspended thread, for ARM_THREAD_STATE (unified), ARM_THREAD_STATE64,
// ARM_EXCEPTION_STATE64 and ARM_NEON_STATE64. Where the machine is not 64-bit ARM every flavor
// is refused with KERN_INVALID_ARGUMENT.
kern_return_t thread_get_state(thread_act_t thread, thread_state_flavor_t flavor,
                               thread_state_t state, mach_msg_type_number_t* count);

} // namespace platform::mach

namespace platform::mach {

// At most this many threads are suspended at once; thread_suspend on one more fails with
// KERN_RESOURCE_SHORTAGE. Each is a parking slot, kept in static storage so that a crash needs
// no allocation.
inline constexpr std::size_t kThreadParkCapacity = 4096;

// How long thread_suspend waits for a thread to park.
inline constexpr std::chrono::milliseconds kThreadParkTimeout{2000};

// The real-time signal that parks threads, chosen and taken at the first call: the highest one
// the C library leaves to applications that has no handler yet. 0 when every one has a handler.
int threadParkSignal();

// Announces, for its lifetime, that the constructing thread keeps the park signal open (as the
// library's own threads do). Such a thread is parked without asking /proc, whose mask the
// emulator cannot show as the thread sees it.
class ParkSignalKeptOpen {
public:
    ParkSignalKeptOpen();
    ~ParkSignalKeptOpen();
    ParkSignalKeptOpen(const ParkSignalKeptOpen&) = delete;
    ParkSignalKeptOpen& operator=(const ParkSignalKeptOpen&) = delete;

private:
    pid_t tid_;
};

// Brackets a thread's wait for the reply to its exception message (the kernel bridge). Meanwhile
// thread_suspend on it only counts, thread_get_state reports its registers at the fault (the
// ucontext its fault handler received), and endExceptionWait returns only once every suspension
// has been resumed. False when too many threads wait at once; the thread then is not shown as
// stopped.
bool beginExceptionWait(const void* ucontext);
void endExceptionWait();

} // namespace platform::mach
