// Listing, suspending and resuming real threads of the test process. Their registers are read
// in the crash reporter's thread-state tests.
#include "platform/mach/MachPorts.h"
#include "platform/mach/MachThreads.h"
#include "platform/mach/MachVirtualMemory.h"

#include "platform/core/LibraryThread.h"

#include "BusyThreads.h"
#include "FreshProcess.h"

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

namespace {

std::atomic<int> applicationHandlerCalls[72];

void countingHandler(int signal) {
    applicationHandlerCalls[signal].fetch_add(1);
}

struct sigaction countingAction() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = countingHandler;
    return action;
}

// A thread of the library's: it keeps the park signal open and waits, as an idle queue does.
class IdleLibraryThread {
public:
    IdleLibraryThread()
        : thread_("park.idle", [this] {
              port_ = mach_thread_self();
              while (!stop_.load()) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          }) {
        while (port_.load() == 0) {
            std::this_thread::yield();
        }
    }
    ~IdleLibraryThread() {
        stop_ = true;
        thread_.join();
    }
    thread_act_t port() const { return port_.load(); }

private:
    std::atomic<thread_act_t> port_{0};
    std::atomic<bool> stop_{false};
    platform::LibraryThread thread_;
};

} // namespace

// The emulator's /proc shows the host's mask, whose real-time bits mean other signals: a thread
// of the library is parked and has its registers there as on hardware.
TEST(ThreadSuspension, ParksTheLibrarysOwnThreadsWhateverProcShows) {
    IdleLibraryThread idle;
    ASSERT_EQ(thread_suspend(idle.port()), KERN_SUCCESS);
#if defined(__aarch64__)
    arm_thread_state64_t state{};
    mach_msg_type_number_t count = ARM_THREAD_STATE64_COUNT;
    ASSERT_EQ(thread_get_state(idle.port(), ARM_THREAD_STATE64,
                               reinterpret_cast<thread_state_t>(&state), &count),
              KERN_SUCCESS);
    EXPECT_NE(state.pc, 0u);
    EXPECT_NE(state.fp, 0u) << "a frame record to walk from";
#endif
    EXPECT_EQ(thread_resume(idle.port()), KERN_SUCCESS);
}

// Handlers the application put on real-time signals before stay its own, and a park never
// sends a signal the application has taken since: it fails at once instead of waiting.
TEST(ThreadSuspension, TheParkSignalIsOneTheApplicationLeftAndIsNeverTakenFromIt) {
    if (testsupport::ranInAFreshProcess()) {
        return;
    }
    const struct sigaction counting = countingAction();
    for (int offset = 0; offset < 8; ++offset) {
        ASSERT_EQ(sigaction(SIGRTMIN + offset, &counting, nullptr), 0);
    }
    BusyThreads threads(1);
    ASSERT_EQ(thread_suspend(threads.port(0)), KERN_SUCCESS);
    ASSERT_EQ(thread_resume(threads.port(0)), KERN_SUCCESS);
    const int park = platform::mach::threadParkSignal();
    EXPECT_GT(park, SIGRTMIN + 7);
    EXPECT_LE(park, SIGRTMAX);
    for (int offset = 0; offset < 8; ++offset) {
        raise(SIGRTMIN + offset);
        EXPECT_EQ(applicationHandlerCalls[SIGRTMIN + offset].load(), 1) << "SIGRTMIN+" << offset;
    }

    struct sigaction library {};
    ASSERT_EQ(sigaction(park, &counting, &library), 0);
    EXPECT_EQ(thread_suspend(threads.port(0)), KERN_FAILURE);
    EXPECT_EQ(applicationHandlerCalls[park].load(), 0) << "no park signal reached its handler";
    EXPECT_TRUE(threads.allAdvance());
    ASSERT_EQ(sigaction(park, &library, nullptr), 0);
    ASSERT_EQ(thread_suspend(threads.port(0)), KERN_SUCCESS);
    EXPECT_EQ(thread_resume(threads.port(0)), KERN_SUCCESS);
}
