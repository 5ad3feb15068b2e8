// Thread states of real threads: the calling thread captured by kocrash_async_thread_state_current
// and other threads read while parked.
#include "unwind/KOCrashAsyncThreadState.h"

#include "BusyThreads.h"
#include "platform/mach/MachThreads.h"

#include <gtest/gtest.h>

#include <cstdint>

using platform::mach::thread_resume;
using platform::mach::thread_suspend;

namespace {

struct Observation {
    kocrash_async_thread_state state;
    bool called = false;
};

struct CallerFrame {
    std::uintptr_t frame = 0;
    std::uintptr_t returnAddress = 0;
};

kocrash_error_t remember(kocrash_async_thread_state* state, void* context) {
    auto* observation = static_cast<Observation*>(context);
    kocrash_async_thread_state_copy(&observation->state, state);
    observation->called = true;
    return 42;
}

[[gnu::noinline]] kocrash_error_t captureFromHere(Observation* observation, CallerFrame* caller) {
    caller->frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    caller->returnAddress = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    kocrash_error_t result = kocrash_async_thread_state_current(remember, observation);
    asm volatile("" ::: "memory");
    return result;
}

[[maybe_unused]] std::uint64_t reg(const kocrash_async_thread_state& state, kocrash_regnum_t n) {
    return kocrash_async_thread_state_get_reg(&state, n);
}

} // namespace

TEST(KOCrashAsyncThreadStateCurrent, DescribesTheFrameOfItsCaller) {
    Observation observation;
    CallerFrame caller;
    kocrash_error_t result = captureFromHere(&observation, &caller);
#if defined(__aarch64__)
    ASSERT_TRUE(observation.called);
    EXPECT_EQ(result, 42u) << "the callback's result comes back";
    const kocrash_async_thread_state& state = observation.state;
    EXPECT_EQ(kocrash_async_thread_state_get_reg_count(&state), 34u);
    for (kocrash_regnum_t n = 0; n < 34; ++n) {
        EXPECT_TRUE(kocrash_async_thread_state_has_reg(&state, n));
    }
    EXPECT_EQ(reg(state, KOCRASH_ARM64_FP), caller.frame);
    EXPECT_EQ(reg(state, KOCRASH_ARM64_LR), caller.returnAddress);
    auto function = reinterpret_cast<std::uintptr_t>(&captureFromHere);
    EXPECT_GE(reg(state, KOCRASH_ARM64_PC), function);
    EXPECT_LT(reg(state, KOCRASH_ARM64_PC), function + 128);
    EXPECT_LE(reg(state, KOCRASH_ARM64_SP), caller.frame);
    EXPECT_LT(caller.frame - reg(state, KOCRASH_ARM64_SP), 256u);
    EXPECT_EQ(reg(state, KOCRASH_ARM64_X0), reinterpret_cast<std::uintptr_t>(&remember));
    EXPECT_EQ(reg(state, KOCRASH_ARM64_X0 + 1), reinterpret_cast<std::uintptr_t>(&observation));
    EXPECT_EQ(reg(state, KOCRASH_ARM64_CPSR), 0u);
#else
    EXPECT_EQ(result, KOCRASH_ENOTSUP);
    EXPECT_FALSE(observation.called);
#endif
}

TEST(KOCrashAsyncThreadStateMachThread, ParkedThreadsReportTheirOwnPcAndSp) {
    BusyThreads threads(32);
    for (int i = 0; i < threads.size(); ++i) {
        ASSERT_EQ(thread_suspend(threads.port(i)), KERN_SUCCESS) << "thread " << i;
    }
    int reported = 0;
    for (int i = 0; i < threads.size(); ++i) {
        SCOPED_TRACE(i);
        kocrash_async_thread_state state;
        kocrash_error_t result =
            kocrash_async_thread_state_mach_thread_init(&state, threads.port(i));
#if defined(__aarch64__)
        ASSERT_EQ(result, 0u);
        EXPECT_EQ(kocrash_async_thread_state_get_greg_size(&state), 8u);
        std::uint64_t pc = reg(state, KOCRASH_ARM64_PC);
        std::uint64_t sp = reg(state, KOCRASH_ARM64_SP);
        std::uint64_t fp = reg(state, KOCRASH_ARM64_FP);
        // Inside the spinning function, on the thread's own stack around its local variable.
        EXPECT_GE(pc, BusyThreads::spinFunction());
        EXPECT_LT(pc, BusyThreads::spinFunction() + 256);
        EXPECT_LE(sp, threads.stackMark(i));
        EXPECT_LT(threads.stackMark(i) - sp, 256u);
        EXPECT_GE(fp, sp);
        EXPECT_LT(fp - sp, 256u);
        ++reported;
#else
        EXPECT_EQ(result, KOCRASH_EINTERNAL) << "no thread-state layout for this machine";
#endif
    }
    for (int i = 0; i < threads.size(); ++i) {
        ASSERT_EQ(thread_resume(threads.port(i)), KERN_SUCCESS);
    }
    EXPECT_TRUE(threads.allAdvance()) << "every thread runs again";
    threads.stopAndJoin();
#if defined(__aarch64__)
    EXPECT_EQ(reported, 32);
#else
    EXPECT_EQ(reported, 0);
#endif
}

TEST(KOCrashAsyncThreadStateMachThread, AThreadThatIsNotSuspendedCannotBeRead) {
    BusyThreads threads(1);
    kocrash_async_thread_state state;
    EXPECT_EQ(kocrash_async_thread_state_mach_thread_init(&state, threads.port(0)),
              KOCRASH_EINTERNAL);
}
