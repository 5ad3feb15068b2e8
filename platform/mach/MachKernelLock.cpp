// May run at crash time: everything in this file (sigprocmask, sched_yield, atomics) but the
// fork handlers, which pthread_atfork registers as the library loads; they do nothing until
// the lock is first taken.
#include "platform/mach/MachKernelLock.h"

#include <cerrno>
#include <pthread.h>
#include <sched.h>
#include <utility>

namespace platform::mach {
namespace {

std::atomic_flag held = ATOMIC_FLAG_INIT;
std::atomic<bool> everTaken{false};

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
// first fault would then wait for it forever: the forking thread holds it across the fork,
// once anything has taken it (before, there is nothing to keep whole). The C library runs one
// fork's handlers at a time.
sigset_t maskBeforeFork;
bool heldAcrossFork = false;

void releaseAfterFork() {
    if (std::exchange(heldAcrossFork, false)) {
        release(maskBeforeFork);
    }
}

[[maybe_unused]] const int forkHandlers = pthread_atfork(
    [] {
        if (everTaken.load(std::memory_order_acquire)) {
            acquire(&maskBeforeFork);
            heldAcrossFork = true;
        }
    },
    releaseAfterFork, releaseAfterFork);

} // namespace

KernelLock::KernelLock() {
    everTaken.store(true, std::memory_order_release);
    acquire(&savedMask_);
}

KernelLock::~KernelLock() {
    release(savedMask_);
}

} // namespace platform::mach
