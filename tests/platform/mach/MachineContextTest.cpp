// The machine context made from what a real fault handler receives on 64-bit ARM.
#include "platform/mach/MachThreadState.h"

#include "GuardedPages.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <csignal>
#include <cstdint>

#if defined(__aarch64__)
namespace {

sigjmp_buf recovery;
ko_mcontext64 captured;
std::uint64_t handlerFpcr = 0;
std::uintptr_t uContextPc = 0;

void onFault(int, siginfo_t*, void* ucontext) {
    platform::mach::machineContextFromUcontext(*static_cast<ucontext_t*>(ucontext), captured);
    uContextPc = static_cast<ucontext_t*>(ucontext)->uc_mcontext.pc;
    asm volatile("mrs %0, fpcr" : "=r"(handlerFpcr));
    siglongjmp(recovery, 1);
}

} // namespace
#endif

TEST(MachineContext, AFaultHandlersContextConvertsIntoTheMachineLayout) {
#if defined(__aarch64__)
    GuardedPages pages;
    struct sigaction action {};
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGSEGV, &action, &previous), 0);
    volatile std::uint8_t* target = pages.unmapped() + 24;
    if (sigsetjmp(recovery, 1) == 0) {
        (void)*target;
        FAIL() << "the read did not fault";
    }
    sigaction(SIGSEGV, &previous, nullptr);

    EXPECT_EQ(captured.es.far, reinterpret_cast<std::uintptr_t>(target));
    EXPECT_EQ(captured.ss.pc, uContextPc);
    EXPECT_NE(captured.ss.sp, 0u);
    EXPECT_NE(captured.ss.fp, 0u);
    EXPECT_EQ(captured.ns.fpcr, static_cast<std::uint32_t>(handlerFpcr));
#else
    GTEST_SKIP() << "signal contexts convert on 64-bit ARM only";
#endif
}
