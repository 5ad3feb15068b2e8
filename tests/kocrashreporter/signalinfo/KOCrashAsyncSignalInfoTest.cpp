// The signal and signal-code names crash logs show, and the signal derived from a Mach
// exception.
#include "KOCrashAsyncSignalInfo.h"
#include "KOCrashAsyncMachExceptionInfo.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string nameOr(const char* name, const char* none = "<none>") {
    return name != nullptr ? name : none;
}

} // namespace

TEST(KOCrashAsyncSignalNames, EverySignalHasItsOriginalPlatformsNumber) {
    const char* names[] = {nullptr,   "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",   "SIGTRAP",
                           "SIGABRT", "SIGEMT",  "SIGFPE",    "SIGKILL", "SIGBUS",   "SIGSEGV",
                           "SIGSYS",  "SIGPIPE", "SIGALRM",   "SIGTERM", "SIGURG",   "SIGSTOP",
                           "SIGTSTP", "SIGCONT", "SIGCHLD",   "SIGTTIN", "SIGTTOU",  "SIGIO",
                           "SIGXCPU", "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGINFO",
                           "SIGUSR1", "SIGUSR2", nullptr};
    for (int signal = 0; signal <= 32; ++signal) {
        EXPECT_EQ(nameOr(kocrash_async_signal_signame(signal)), nameOr(names[signal])) << signal;
    }
    EXPECT_EQ(kocrash_async_signal_signame(-1), nullptr);
}

TEST(KOCrashAsyncSignalNames, CodesAreNamedPerSignal) {
    struct Row {
        int signal;
        int code;
        const char* name;
    };
    const Row rows[] = {
        {4, 0, "ILL_NOOP"},   {4, 1, "ILL_ILLOPC"},   {4, 2, "ILL_ILLTRP"},   {4, 3, "ILL_PRVOPC"},
        {4, 4, "ILL_ILLOPN"}, {4, 5, "ILL_ILLADR"},   {4, 6, "ILL_PRVREG"},   {4, 7, "ILL_COPROC"},
        {4, 8, "ILL_BADSTK"}, {4, 9, nullptr},        {8, 0, "FPE_NOOP"},     {8, 1, "FPE_FLTDIV"},
        {8, 2, "FPE_FLTOVF"}, {8, 3, "FPE_FLTUND"},   {8, 4, "FPE_FLTRES"},   {8, 5, "FPE_FLTINV"},
        {8, 6, "FPE_FLTSUB"}, {8, 7, "FPE_INTDIV"},   {8, 8, "FPE_INTOVF"},   {8, 9, nullptr},
        {11, 0, "SEGV_NOOP"}, {11, 1, "SEGV_MAPERR"}, {11, 2, "SEGV_ACCERR"}, {11, 3, nullptr},
        {10, 0, "BUS_NOOP"},  {10, 1, "BUS_ADRALN"},  {10, 2, "BUS_ADRERR"},  {10, 3, "BUS_OBJERR"},
        {10, 4, nullptr},     {5, 0, "#0"},           {5, 1, "TRAP_BRKPT"},   {5, 2, "TRAP_TRACE"},
        {5, 3, nullptr},      {6, 0, "#0"},           {6, 1, nullptr},        {7, 0, nullptr},
        {9, 0, nullptr},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(nameOr(kocrash_async_signal_sigcode(row.signal, row.code)), nameOr(row.name))
            << row.signal << "/" << row.code;
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
        {EXC_BAD_ACCESS, KERN_PROTECTION_FAILURE, 10, 2},
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
