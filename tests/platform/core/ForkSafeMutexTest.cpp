#include "platform/core/ForkSafeMutex.h"
#include "platform/core/ForkGeneration.h"

#include "ForkedChild.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {

// A parent's thread holds the lock across the fork: the child takes it at once, and what it
// guards is left to the parent. A lock that was free keeps what it guards.
TEST(ForkSafeMutexTest, AChildTakesALockHeldAtTheForkAndLeavesWhatItGuardedOnlyThen) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' runtimes may be left locked in a forked child";
#endif
    std::vector<int> heldGuarded{1, 2, 3};
    platform::ForkSafeMutex held([&] { platform::leaveToParent(heldGuarded); });
    std::vector<int> freeGuarded{4, 5};
    platform::ForkSafeMutex free([&] { platform::leaveToParent(freeGuarded); });

    std::promise<void> taken;
    std::promise<void> forked;
    std::thread holder([&] {
        std::lock_guard lock(held);
        taken.set_value();
        forked.get_future().wait();
    });
    taken.get_future().wait();
    const int status = runInForkedChild(
        [&] {
            for (int round = 0; round < 2; ++round) {
                std::lock_guard heldLock(held);
                std::lock_guard freeLock(free);
                if (!heldGuarded.empty() || freeGuarded != std::vector<int>{4, 5}) {
                    _exit(1);
                }
            }
        },
        10);
    forked.set_value();
    holder.join();

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::lock_guard lock(held);
    EXPECT_EQ(heldGuarded, (std::vector<int>{1, 2, 3}));
}

// Threads of a child race for a lock inherited held: each gets it in turn.
TEST(ForkSafeMutexTest, ThreadsOfAChildShareALockInheritedHeld) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' runtimes may be left locked in a forked child";
#endif
    platform::ForkSafeMutex lock;
    int counted = 0;
    std::promise<void> taken;
    std::promise<void> forked;
    std::thread holder([&] {
        std::lock_guard guard(lock);
        taken.set_value();
        forked.get_future().wait();
    });
    taken.get_future().wait();
    int status = 0;
    // Forked from a thread besides the main one: the emulator starts threads only in such a
    // child.
    std::thread forking([&] {
        status = runInForkedChild(
            [&] {
                std::vector<std::thread> threads;
                for (int thread = 0; thread < 4; ++thread) {
                    threads.emplace_back([&] {
                        for (int round = 0; round < 1000; ++round) {
                            std::lock_guard guard(lock);
                            ++counted;
                        }
                    });
                }
                for (auto& thread : threads) {
                    thread.join();
                }
                if (counted != 4000) {
                    _exit(1);
                }
            },
            10);
    });
    forking.join();
    forked.set_value();
    holder.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
