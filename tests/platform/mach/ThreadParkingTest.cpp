// Listing, suspending and resuming real threads of the test process. Their registers are read
// in the crash reporter's thread-state tests.
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachThreads.h"
#include "platform/mach/MachVirtualMemory.h"

#include "BusyThreads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>
#include <unistd.h>
#include <vector>

using platform::mach::mach_task_self;
using platform::mach::mach_thread_self;
using platform::mach::mach_vm_deallocate;
using platform::mach::task_threads;
using platform::mach::thread_get_state;
using platform::mach::thread_resume;
using platform::mach::thread_suspend;

namespace {

std::vector<thread_act_t> listThreads() {
    thread_act_array_t list = nullptr;
    mach_msg_type_number_t count = 0;
    if (task_threads(mach_task_self(), &list, &count) != KERN_SUCCESS) {
        return {};
    }
    std::vector<thread_act_t> threads(list, list + count);
    mach_vm_deallocate(mach_task_self(), reinterpret_cast<std::uintptr_t>(list),
                       count * sizeof(thread_act_t));
    return threads;
}

bool contains(const std::vector<thread_act_t>& threads, thread_act_t thread) {
    return std::find(threads.begin(), threads.end(), thread) != threads.end();
}

// Rounds stay put for a while: the thread is not running.
bool standsStill(const BusyThreads& threads, int index) {
    std::uint64_t before = threads.rounds(index);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return threads.rounds(index) == before;
}

} // namespace

TEST(TaskThreads, ListsEveryThreadOfTheProcess) {
    BusyThreads threads(5);
    std::vector<thread_act_t> listed = listThreads();
    EXPECT_TRUE(contains(listed, mach_thread_self()));
    for (int i = 0; i < threads.size(); ++i) {
        EXPECT_TRUE(contains(listed, threads.port(i)));
    }
    threads.stopAndJoin();
    // A joined thread leaves the kernel's list a moment after it has ended.
    auto anyListed = [&] {
        std::vector<thread_act_t> after = listThreads();
        for (int i = 0; i < threads.size(); ++i) {
            if (contains(after, threads.port(i))) {
                return true;
            }
        }
        return false;
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (anyListed() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(anyListed());
}

TEST(ThreadSuspension, SuspendedThreadsStandStillUntilEverySuspensionIsResumed) {
    BusyThreads threads(8);
    for (int i = 0; i < threads.size(); ++i) {
        ASSERT_EQ(thread_suspend(threads.port(i)), KERN_SUCCESS) << "thread " << i;
    }
    ASSERT_EQ(thread_suspend(threads.port(0)), KERN_SUCCESS);
    for (int i = 0; i < threads.size(); ++i) {
        EXPECT_TRUE(standsStill(threads, i)) << "thread " << i;
        ASSERT_EQ(thread_resume(threads.port(i)), KERN_SUCCESS);
    }
    EXPECT_TRUE(standsStill(threads, 0)) << "suspended twice, resumed once";
    ASSERT_EQ(thread_resume(threads.port(0)), KERN_SUCCESS);
    EXPECT_TRUE(threads.allAdvance());
    EXPECT_EQ(thread_resume(threads.port(0)), KERN_FAILURE) << "not suspended any more";

    // A thread can be parked again once it has left its handler.
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(thread_suspend(threads.port(0)), KERN_SUCCESS);
        ASSERT_EQ(thread_resume(threads.port(0)), KERN_SUCCESS);
    }
    EXPECT_TRUE(threads.allAdvance());
}

TEST(ThreadSuspension, RefusesTheCallingThreadAndThreadsThatDoNotExist) {
    EXPECT_EQ(thread_suspend(mach_thread_self()), KERN_INVALID_ARGUMENT);
    thread_act_t ended = 0;
    std::thread([&] { ended = mach_thread_self(); }).join();
    EXPECT_EQ(thread_suspend(ended), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_suspend(mach_task_self()), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(thread_resume(mach_thread_self()), KERN_FAILURE);
}

TEST(ThreadSuspension, AThreadThatCannotParkIsReportedAndNeverWaitedForAgain) {
    std::atomic<bool> blocked{false};
    std::atomic<bool> unblock{false};
    std::atomic<thread_act_t> port{0};
    std::thread thread([&] {
        sigset_t park;
        sigemptyset(&park);
        sigaddset(&park, platform::mach::threadParkSignal());
        pthread_sigmask(SIG_BLOCK, &park, nullptr);
        port = mach_thread_self();
        blocked = true;
        while (!unblock.load()) {
            std::this_thread::yield();
        }
        // A park signal still pending arrives now and must not park the thread for good.
        pthread_sigmask(SIG_UNBLOCK, &park, nullptr);
    });
    while (!blocked.load()) {
        std::this_thread::yield();
    }
    kern_return_t result = thread_suspend(port);
#if defined(__x86_64__)
    EXPECT_EQ(result, KERN_FAILURE) << "the blocked signal shows in the thread's status";
#else
    // The emulator's status shows the host's signal mask, so the wait runs out instead.
    EXPECT_EQ(result, KERN_OPERATION_TIMED_OUT);
#endif
    EXPECT_NE(thread_get_state(port, ARM_THREAD_STATE64, nullptr, nullptr), KERN_SUCCESS);
    unblock = true;
    thread.join();
}
