#pragma once

#include "platform/core/Export.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

namespace platform {

// A lock that a forked child finds free. A thread of the parent may have held it at the fork;
// that thread does not exist in the child to let it go, and a child taking it would wait for
// ever. The first take in a process other than the one that last took it starts the lock anew
// (through leaveToParent).
class DAVAROR_EXPORT ForkSafeMutex {
public:
    ForkSafeMutex();
    // `leaveGuardedToParent` runs in a child whose parent had a thread holding the lock at the
    // fork, before any thread of the child takes it: what the lock guards may be half-changed,
    // and is to be left to the parent, as leaveToParent does.
    explicit ForkSafeMutex(std::function<void()> leaveGuardedToParent);
    ForkSafeMutex(const ForkSafeMutex&) = delete;
    ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

    void lock() {
        freeIfInherited();
        mutex_.lock();
    }
    bool try_lock() {
        freeIfInherited();
        return mutex_.try_lock();
    }
    void unlock() { mutex_.unlock(); }

private:
    void freeIfInherited();

    std::mutex mutex_;
    // The fork generation whose threads may hold the lock; the top bit marks a thread of that
    // generation starting it anew.
    std::atomic<std::uint64_t> generation_;
    std::function<void()> leaveGuardedToParent_;
};

} // namespace platform
