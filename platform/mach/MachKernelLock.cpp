// May run at crash time: everything in this file (sigprocmask, sched_yield, atomics).
#include "platform/mach/MachKernelLock.h"

#include <cerrno>
#include <sched.h>

namespace platform::mach {
namespace {

std::atomic_flag held = ATOMIC_FLAG_INIT;

} // namespace

KernelLock::KernelLock() {
    int savedErrno = errno;
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &savedMask_);
    while (held.test_and_set(std::memory_order_acquire)) {
        sched_yield();
    }
    errno = savedErrno;
}

KernelLock::~KernelLock() {
    int savedErrno = errno;
    held.clear(std::memory_order_release);
    sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
    errno = savedErrno;
}

} // namespace platform::mach
