// May run at crash time: everything in this file (sigprocmask, sched_yield, atomics) but the
// fork handlers, which pthread_atfork registers as the library loads.
#include "platform/mach/MachKernelLock.h"

#include <cerrno>
#include <pthread.h>
#include <sched.h>

namespace platform::mach {
namespace {

std::atomic_flag held = ATOMIC_FLAG_INIT;

void acquire(sigset_t* savedMask) {
    int savedErrno = errno;
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, savedMask);
    while (held.test_and_set(std::memory_order_acquire)) {
        sched_yield();
    }
    errno = savedErrno;
}

void release(const sigset_t& savedMask) {
    int savedErrno = errno;
    held.clear(std::memory_order_release);
    sigprocmask(SIG_SETMASK, &savedMask, nullptr);
    errno = savedErrno;
}

// A fork while another thread holds the lock would leave it held for good in the child, whose
// first fault would then wait for it forever: the forking thread holds it across the fork.
// The C library runs one fork's handlers at a time.
sigset_t maskBeforeFork;

[[maybe_unused]] const int forkHandlers =
    pthread_atfork([] { acquire(&maskBeforeFork); }, [] { release(maskBeforeFork); },
                   [] { release(maskBeforeFork); });

} // namespace

KernelLock::KernelLock() {
    acquire(&savedMask_);
}

KernelLock::~KernelLock() {
    release(savedMask_);
}

} // namespace platform::mach
