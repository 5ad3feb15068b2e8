// The lock of the simulated kernel's port and exception-port tables. Async-signal-safe: the
// holder runs with every signal blocked, so no handler on the same thread can wait for it and
// no thread is parked (or interrupted by a fault handler) while it holds it.
#pragma once

#include <atomic>
#include <csignal>

namespace platform::mach {

class KernelLock {
public:
    KernelLock();
    ~KernelLock();
    KernelLock(const KernelLock&) = delete;
    KernelLock& operator=(const KernelLock&) = delete;

private:
    sigset_t savedMask_;
};

} // namespace platform::mach
