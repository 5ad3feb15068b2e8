// The signal and signal-code names crash logs show, and the signal derived from a Mach
// exception.
#include "info/KOCrashAsyncSignalInfo.h"
#include "info/KOCrashAsyncMachExceptionInfo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

std::string nameOr(const char* name, const char* none = "<none>") {
    return name != nullptr ? name : none;
}

} // namespace

TEST(KOCrashAsyncSignalNames, SignalsAndCodesCarryTheOriginalPlatformsNumbers) {
    struct Row {
        int signal;
        int code;
        const char* signalName;
        const char* codeName;
    };
    const Row rows[] = {
        {10, 2, "SIGBUS", "BUS_ADRERR"}, {11, 1, "SIGSEGV", "SEGV_MAPERR"},
        {8, 7, "SIGFPE", "FPE_INTDIV"},  {4, 8, "SIGILL", "ILL_BADSTK"},
        {5, 0, "SIGTRAP", "#0"},         {6, 0, "SIGABRT", "#0"},
        {29, 0, "SIGINFO", nullptr},     {31, 0, "SIGUSR2", nullptr},
        {11, 3, "SIGSEGV", nullptr},     {4, 9, "SIGILL", nullptr},
        {0, 0, nullptr, nullptr},        {32, 0, nullptr, nullptr},
        {-1, 0, nullptr, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.signal << "/" << row.code);
        EXPECT_EQ(nameOr(kocrash_async_signal_signame(row.signal)), nameOr(row.signalName));
        EXPECT_EQ(nameOr(kocrash_async_signal_sigcode(row.signal, row.code)), nameOr(row.codeName));
    }
}

TEST(KOCrashAsyncMachException, ExceptionsMapToTheSignalsTheKernelWouldSend) {
    struct Case {
        exception_type_t type;
        mach_exception_data_type_t code0;
        int signal;
        int code;
    };
    const Case cases[] = {
        {EXC_BAD_ACCESS, KERN_INVALID_ADDRESS, 11, 1},
        {EXC_BAD_ACCESS, KERN_PROTECTION_FAILURE, 11, 2},
        {EXC_BAD_ACCESS, KERN_MEMORY_ERROR, 10, 2},
        {EXC_BAD_ACCESS, 0x101, 10, 2},
        {EXC_BAD_INSTRUCTION, 1, 4, 0},
        {EXC_ARITHMETIC, 1, 8, 0},
        {EXC_EMULATION, 1, 7, 0},
        {EXC_SOFTWARE, 0x10000, 12, 0},
        {EXC_SOFTWARE, 0x10001, 13, 0},
        {EXC_SOFTWARE, 0x10002, 6, 0},
        {EXC_SOFTWARE, 0x10003, 9, 0},
        {EXC_SOFTWARE, 0x20000, 6, 0},
        {EXC_SOFTWARE, 0xFFFF, 6, 0},
        // Subtracting the first code must not overflow below the most negative value.
        {EXC_SOFTWARE, INT64_MIN, 6, 0},
        {EXC_BREAKPOINT, 1, 5, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << "/" << c.code0);
        const mach_exception_data_type_t codes[2] = {c.code0, 0x10};
        kocrash_async_signal_info info{};
        ASSERT_TRUE(
            kocrash_async_mach_exception_get_siginfo(c.type, codes, 2, CPU_TYPE_ARM64, &info));
        EXPECT_EQ(info.signo, c.signal);
        EXPECT_EQ(info.code, c.code);
        EXPECT_EQ(info.address, 0x10u);
        kocrash_async_signal_info again{};
        ASSERT_TRUE(
            kocrash_async_mach_exception_get_siginfo(c.type, codes, 2, CPU_TYPE_X86_64, &again));
        EXPECT_EQ(again.signo, info.signo) << "the CPU type changes nothing";
    }
}

TEST(KOCrashAsyncMachException, OtherExceptionsAndShortCodeListsDoNotMap) {
    const mach_exception_data_type_t codes[2] = {
        KERN_INVALID_ADDRESS, static_cast<mach_exception_data_type_t>(0xFFFFFFFFFFFFFFF0ull)};
    kocrash_async_signal_info info{7, 7, 7};
    EXPECT_FALSE(
        kocrash_async_mach_exception_get_siginfo(EXC_CRASH, codes, 2, CPU_TYPE_ARM64, &info));
    EXPECT_FALSE(
        kocrash_async_mach_exception_get_siginfo(EXC_GUARD, codes, 2, CPU_TYPE_ARM64, &info));
    EXPECT_FALSE(
        kocrash_async_mach_exception_get_siginfo(EXC_BAD_ACCESS, codes, 1, CPU_TYPE_ARM64, &info));
    EXPECT_EQ(info.signo, 7) << "nothing is written for an exception that does not map";
    ASSERT_TRUE(
        kocrash_async_mach_exception_get_siginfo(EXC_BAD_ACCESS, codes, 2, CPU_TYPE_ARM64, &info));
    EXPECT_EQ(info.address, 0xFFFFFFFFFFFFFFF0ull) << "the whole 64-bit address";
}
