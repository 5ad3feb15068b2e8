#include "platform/core/ForkSafeMutex.h"

#include "platform/core/ForkGeneration.h"

#include <thread>
#include <utility>

namespace platform {
namespace {

constexpr std::uint64_t startingAnew = std::uint64_t{1} << 63;

} // namespace

ForkSafeMutex::ForkSafeMutex() : generation_(forkGeneration()) {}

ForkSafeMutex::ForkSafeMutex(std::function<void()> leaveGuardedToParent)
    : generation_(forkGeneration()), leaveGuardedToParent_(std::move(leaveGuardedToParent)) {}

// One thread of the child starts the lock anew; any other that comes meanwhile waits the few
// stores that takes. A mark left by a thread of an earlier process (forked again mid-way) is
// stale like any other generation.
void ForkSafeMutex::freeIfInherited() {
    const std::uint64_t current = forkGeneration();
    std::uint64_t seen = generation_.load(std::memory_order_acquire);
    while (seen != current) {
        if (seen == (current | startingAnew)) {
            std::this_thread::yield();
            seen = generation_.load(std::memory_order_acquire);
            continue;
        }
        if (generation_.compare_exchange_weak(seen, current | startingAnew,
                                              std::memory_order_acq_rel)) {
            const bool heldAtFork = !mutex_.try_lock();
            leaveToParent(mutex_);
            if (heldAtFork && leaveGuardedToParent_) {
                leaveGuardedToParent_();
            }
            generation_.store(current, std::memory_order_release);
            return;
        }
    }
}

} // namespace platform
