// What kocrash_async_thread_state_mach_thread_init makes of each answer the kernel can give.
// This suite links its own thread_get_state in place of the platform's, so it can answer with
// layouts no real thread here has.
#include "unwind/KOCrashAsyncThreadState.h"

#include "platform/mach/MachThreads.h"

#include <gtest/gtest.h>

namespace {

struct ScriptedKernel {
    kern_return_t result = KERN_SUCCESS;
    std::uint32_t flavor = ARM_THREAD_STATE64;
    thread_state_flavor_t askedFlavor = 0;
    mach_msg_type_number_t askedCount = 0;
};

ScriptedKernel kernel;

} // namespace

kern_return_t platform::mach::thread_get_state(thread_act_t, thread_state_flavor_t flavor,
                                               thread_state_t state,
                                               mach_msg_type_number_t* count) {
    kernel.askedFlavor = flavor;
    kernel.askedCount = *count;
    if (kernel.result != KERN_SUCCESS) {
        return kernel.result;
    }
    auto* unified = reinterpret_cast<arm_unified_thread_state_t*>(state);
    unified->ash.flavor = kernel.flavor;
    if (kernel.flavor == ARM_THREAD_STATE32) {
        unified->ash.count = ARM_THREAD_STATE32_COUNT;
        for (int i = 0; i < 13; ++i) {
            unified->uts.ts_32.r[i] = 0x100u + static_cast<unsigned>(i);
        }
        unified->uts.ts_32.pc = 0x200;
    } else {
        unified->ash.count = ARM_THREAD_STATE64_COUNT;
        unified->uts.ts_64.pc = 0xF000000100004000ull;
        unified->uts.ts_64.x[19] = 0x1919;
    }
    *count = ARM_UNIFIED_THREAD_STATE_COUNT;
    return KERN_SUCCESS;
}

class KOCrashAsyncThreadStateKernel : public ::testing::Test {
protected:
    void SetUp() override { kernel = ScriptedKernel{}; }
};

TEST_F(KOCrashAsyncThreadStateKernel, AsksForTheUnifiedStateAndTakesThe64BitLayout) {
    kocrash_async_thread_state state;
    ASSERT_EQ(kocrash_async_thread_state_mach_thread_init(&state, 1234), 0u);
    EXPECT_EQ(kernel.askedFlavor, ARM_THREAD_STATE);
    EXPECT_EQ(kernel.askedCount, 70u);
    EXPECT_EQ(kocrash_async_thread_state_get_greg_size(&state), 8u);
    EXPECT_TRUE(kocrash_async_thread_state_has_reg(&state, 33));
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&state, KOCRASH_ARM64_PC), 0x100004000u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&state, KOCRASH_ARM64_X19), 0x1919u);
}

TEST_F(KOCrashAsyncThreadStateKernel, TakesThe32BitLayoutOnlyWhenTheKernelReportsIt) {
    kernel.flavor = ARM_THREAD_STATE32;
    kocrash_async_thread_state state;
    ASSERT_EQ(kocrash_async_thread_state_mach_thread_init(&state, 1234), 0u);
    EXPECT_EQ(kocrash_async_thread_state_get_greg_size(&state), 4u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg_count(&state), 17u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&state, KOCRASH_ARM_R7), 0x107u);
    EXPECT_EQ(kocrash_async_thread_state_get_reg(&state, KOCRASH_ARM_PC), 0x200u);
}

TEST_F(KOCrashAsyncThreadStateKernel, AnUnknownLayoutOrAKernelFailureIsAnError) {
    kocrash_async_thread_state state;
    kernel.flavor = ARM_EXCEPTION_STATE64;
    EXPECT_EQ(kocrash_async_thread_state_mach_thread_init(&state, 1234), KOCRASH_ENOTSUP);
    kernel.flavor = ARM_THREAD_STATE64;
    kernel.result = KERN_INVALID_ARGUMENT;
    EXPECT_EQ(kocrash_async_thread_state_mach_thread_init(&state, 1234), KOCRASH_EINTERNAL);
}
