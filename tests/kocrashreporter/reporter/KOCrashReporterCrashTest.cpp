// Real crashes in forked children, read back at the "next launch" in the parent. Frames and
// registers exist only in the arm64 build (under the emulator); the host build checks the
// signal, the threads, the images, the exception and the custom data.
#include "BusyThreads.h"
#include "CrashingFunctions.h"
#include "KOCrashReportTextFormatter.h"
#include "NoReturnCall.h"
#include "ReporterTestSupport.h"
#include "platform/core/LogSink.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

using namespace reportertest;
namespace fs = std::filesystem;

namespace {

constexpr int kBusyThreads = 2;
const KOCrashReportData kCustomData{'c', 't', 'x', 0, 1};

struct FatalKind {
    const char* name;
    void (*crash)();
    int hostSignal;
    const char* signal;
    // Alternatives separated by "|".
    const char* code;
    // Where the crashed thread's innermost frame lies; null when it lies in the C library.
    const char* faultingFunction;
    std::optional<std::uint64_t> address;
};

#if defined(__x86_64__)
constexpr const char* kArithmeticCode = "FPE_INTDIV";
constexpr const char* kIllegalCode = "ILL_ILLOPN";
constexpr const char* kBreakpointCode = "#0";
constexpr const char* kArithmeticFunction = "kocrash_test_arithmetic_error";
constexpr std::optional<std::uint64_t> kArithmeticAddress{};
#else
constexpr const char* kArithmeticCode = "FPE_NOOP";
// The processor reports an undefined instruction as an illegal opcode, the emulator as an
// illegal operand.
constexpr const char* kIllegalCode = "ILL_ILLOPC|ILL_ILLOPN";
constexpr const char* kBreakpointCode = "TRAP_BRKPT";
constexpr const char* kArithmeticFunction = nullptr;
// Raised: a sent signal has no fault address.
constexpr std::optional<std::uint64_t> kArithmeticAddress = 0;
#endif

const FatalKind kFatalKinds[] = {
    {"null", [] { kocrash_test_store_to(0); }, SIGSEGV, "SIGSEGV", "SEGV_MAPERR",
     "kocrash_test_store_to", 0},
    {"address_0x10", [] { kocrash_test_store_to(0x10); }, SIGSEGV, "SIGSEGV", "SEGV_MAPERR",
     "kocrash_test_store_to", 0x10},
    {"bus", kocrash_test_bus_error, SIGBUS, "SIGBUS", "BUS_ADRERR", "kocrash_test_bus_error", {}},
    {"arithmetic", kocrash_test_arithmetic_error, SIGFPE, "SIGFPE", kArithmeticCode,
     kArithmeticFunction, kArithmeticAddress},
    {"illegal",
     kocrash_test_illegal_instruction,
     SIGILL,
     "SIGILL",
     kIllegalCode,
     "kocrash_test_illegal_instruction",
     {}},
    {"breakpoint",
     kocrash_test_breakpoint,
     SIGTRAP,
     "SIGTRAP",
     kBreakpointCode,
     "kocrash_test_breakpoint",
     {}},
    {"abort", kocrash_test_abort, SIGABRT, "SIGABRT", "#0", nullptr, 0},
    {"sent_by_kill", kocrash_test_kill_self_segv, SIGSEGV, "SIGSEGV", "SEGV_NOOP", nullptr, 0},
    // Escaping a noexcept function, the exception reaches the terminate handler unwound.
    {"uncaught_exception", []() noexcept { kocrash_test_throw_runtime_error(); }, SIGABRT,
     "SIGABRT", "#0", nullptr, 0},
};

[[maybe_unused]] bool namesFunction(const KOCrashReportStackFrameInfo& frame,
                                    const std::string& function) {
    return frame.symbolInfo() &&
           frame.symbolInfo()->symbolName().find(function) != std::string::npos;
}

const KOCrashReportThreadInfo& onlyCrashedThread(const KOCrashReport& report) {
    const KOCrashReportThreadInfo* crashed = nullptr;
    for (const auto& thread : report.threads()) {
        if (thread.crashed()) {
            EXPECT_EQ(crashed, nullptr) << "a second crashed thread";
            crashed = &thread;
        }
    }
    EXPECT_NE(crashed, nullptr);
    return crashed != nullptr ? *crashed : report.threads().front();
}

class FatalSignal : public testing::TestWithParam<FatalKind> {};

TEST_P(FatalSignal, LeavesOneWholeReportForTheNextLaunch) {
    const FatalKind& kind = GetParam();
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        KOCrashReporter reporter = folder.reporter();
        reporter.setCustomData(kCustomData);
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        BusyThreads busy(kBusyThreads);
        folder.recordThreadCount();
        kind.crash();
    });
    ASSERT_EQ(end.signal, kind.hostSignal) << "exit code " << end.exitCode;

    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name(), kind.signal);
    EXPECT_NE(("|" + std::string(kind.code) + "|").find("|" + report->signalInfo().code() + "|"),
              std::string::npos)
        << report->signalInfo().code();
    if (kind.address) {
        EXPECT_EQ(report->signalInfo().address(), *kind.address);
    }
    EXPECT_EQ(report->threads().size(), folder.recordedThreadCount());
    EXPECT_EQ(report->customData(), kCustomData);
    EXPECT_EQ(report->applicationInfo().applicationIdentifier(), "com.davaror.tests/crash");
    if (std::string(kind.name) == "uncaught_exception") {
        ASSERT_TRUE(report->exceptionInfo());
        EXPECT_EQ(report->exceptionInfo()->exceptionName(), "std::runtime_error");
        EXPECT_EQ(report->exceptionInfo()->exceptionReason(), "the disk is full");
    } else {
        EXPECT_FALSE(report->exceptionInfo());
    }
    const KOCrashReportThreadInfo& crashed = onlyCrashedThread(*report);
#if defined(__aarch64__)
    ASSERT_FALSE(crashed.stackFrames().empty());
    EXPECT_FALSE(crashed.registers().empty());
    if (kind.faultingFunction != nullptr) {
        EXPECT_TRUE(namesFunction(crashed.stackFrames().front(), kind.faultingFunction))
            << "innermost frame at 0x" << std::hex
            << crashed.stackFrames().front().instructionPointer();
    }
#else
    EXPECT_TRUE(crashed.registers().empty()) << "this machine has no thread-state layout";
#endif

    KOCrashReporter nextLaunch = folder.reporter();
    EXPECT_TRUE(nextLaunch.purgePendingCrashReport());
    EXPECT_FALSE(nextLaunch.hasPendingCrashReport());
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatalSignal, testing::ValuesIn(kFatalKinds),
                         [](const auto& info) { return std::string(info.param.name); });

// The call that faults is the last instruction of its caller: the caller's return address is
// the next function's first byte.
TEST(CallerFrames, AreNamedAfterTheFunctionThatMadeTheCall) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        KOCrashReporter reporter = folder.reporter();
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        kocrash_fixture_call_last(kocrash_test_store_to, 0x10);
    });
    ASSERT_EQ(end.signal, SIGSEGV);
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    const KOCrashReportThreadInfo& crashed = onlyCrashedThread(*report);
#if defined(__aarch64__)
    const auto& frames = crashed.stackFrames();
    ASSERT_GE(frames.size(), 3u);
    EXPECT_TRUE(namesFunction(frames[0], "kocrash_test_store_to"));
    EXPECT_EQ(frames[1].instructionPointer(),
              reinterpret_cast<std::uintptr_t>(&kocrash_fixture_after_call))
        << "the written address stays the return address";
    ASSERT_TRUE(frames[1].symbolInfo());
    EXPECT_TRUE(namesFunction(frames[1], "kocrash_fixture_call_last"))
        << frames[1].symbolInfo()->symbolName();
    EXPECT_EQ(frames[1].symbolInfo()->startAddress(),
              reinterpret_cast<std::uintptr_t>(&kocrash_fixture_call_last));
#else
    EXPECT_TRUE(crashed.stackFrames().empty()) << "stacks are walked on 64-bit ARM only";
#endif
}

// A call through a pointer into no image faults before the callee stores a frame record: frame 0
// is where the call went, frame 1 the caller, found at the link register.
TEST(CallerFrames, ACallThroughABadPointerNamesTheCaller) {
    const std::pair<const char*, std::uintptr_t (*)()> targets[] = {
        {"null", [] { return std::uintptr_t{0}; }},
        {"non_executable_page",
         [] {
             return reinterpret_cast<std::uintptr_t>(
                 mmap(nullptr, static_cast<std::size_t>(getpagesize()), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
         }},
    };
    for (const auto mode :
         {KOCrashReporterSignalHandlerTypeBSD, KOCrashReporterSignalHandlerTypeMach}) {
        for (const auto& [name, target] : targets) {
            SCOPED_TRACE(std::string(name) + (mode == KOCrashReporterSignalHandlerTypeMach
                                                  ? " in Mach mode"
                                                  : " in signal mode"));
            ReportFolder folder;
            const ChildEnd end = runChild([&] {
                KOCrashReporter reporter = folder.reporter(folder.config(mode));
                if (!reporter.enableCrashReporter()) {
                    _exit(2);
                }
                kocrash_test_call_address(target());
            });
            ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;
            const auto report = folder.loadPendingReport();
            ASSERT_TRUE(report);
            const KOCrashReportThreadInfo& crashed = onlyCrashedThread(*report);
#if defined(__aarch64__)
            const auto& frames = crashed.stackFrames();
            ASSERT_GE(frames.size(), 3u);
            EXPECT_TRUE(namesFunction(frames[1], "kocrash_test_call_address"));
            const std::string log = KOCrashReportTextFormatter::stringValueForCrashReport(
                *report, KOCrashReportTextFormat::Standard);
            const std::size_t block = log.find(" Crashed:\n");
            ASSERT_NE(block, std::string::npos) << log;
            const std::size_t callerLine = log.find("\n1 ", block);
            ASSERT_NE(callerLine, std::string::npos) << log;
            EXPECT_NE(log.substr(callerLine, log.find('\n', callerLine + 1) - callerLine)
                          .find("kocrash_test_call_address + "),
                      std::string::npos)
                << log;
#else
            EXPECT_TRUE(crashed.stackFrames().empty()) << "stacks are walked on 64-bit ARM only";
#endif
        }
    }
}

constexpr int kFaulting = 8;

TEST(CrashGuard, EightThreadsFaultingAtOnceLeaveOneWholeReport) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        KOCrashReporter reporter = folder.reporter();
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        std::atomic<int> arrived{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int index = 0; index < kFaulting; ++index) {
            threads.emplace_back([&] {
                if (arrived.fetch_add(1) == kFaulting - 1) {
                    folder.recordThreadCount();
                    go.store(true);
                }
                while (!go.load()) {
                }
                kocrash_test_store_to(0x10);
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    });
    ASSERT_EQ(end.signal, SIGSEGV);
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().address(), 0x10u);
    EXPECT_EQ(report->threads().size(), folder.recordedThreadCount());
    onlyCrashedThread(*report);
}

// Captured at crash time only when the report was written.
void markCallback(siginfo_t* info, ucontext_t*, void* context) {
    const int fd = open(static_cast<const char*>(context), O_WRONLY | O_CREAT, 0644);
    const char signal = static_cast<char>(info->si_signo);
    (void)!write(fd, &signal, 1);
    close(fd);
}

TEST(CrashCallback, RunsAfterAWrittenReportOnly) {
    for (const bool reportWritable : {true, false}) {
        ReportFolder folder;
        testsupport::TemporaryDirectory markers;
        const std::string marker = (markers.path() / "called").string();
        const ChildEnd end = runChild([&] {
            KOCrashReporter reporter = folder.reporter();
            const KOCrashReporterCallbacks callbacks{0, const_cast<char*>(marker.c_str()),
                                                     markCallback};
            reporter.setCrashCallbacks(&callbacks);
            if (!reporter.enableCrashReporter()) {
                _exit(2);
            }
            if (!reportWritable) {
                // A folder where the report file belongs: the crash cannot open it.
                std::filesystem::create_directory(reporter.crashReportPath());
            }
            kocrash_test_store_to(0x10);
        });
        ASSERT_EQ(end.signal, SIGSEGV);
        EXPECT_EQ(std::filesystem::exists(marker), reportWritable) << reportWritable;
        if (reportWritable) {
            EXPECT_EQ(testsupport::readFile(marker), std::string(1, char(SIGSEGV)));
        }
    }
}

struct CrashInCallback {
    const char* name;
    KOCrashReporterSignalHandlerType type;
    void (*crash)();
    KOCrashReporterPostCrashSignalCallback callback;
    const char* reportedSignal;
    // The later signal's default action ends the process.
    int endingSignal;
};

const CrashInCallback kCrashesInCallbacks[] = {
    {"fault_then_trap", KOCrashReporterSignalHandlerTypeBSD, [] { kocrash_test_store_to(0x10); },
     [](siginfo_t*, ucontext_t*, void*) { kocrash_test_breakpoint(); }, "SIGSEGV", SIGTRAP},
    {"abort_then_fault", KOCrashReporterSignalHandlerTypeBSD, kocrash_test_abort,
     [](siginfo_t*, ucontext_t*, void*) { kocrash_test_store_to(0x10); }, "SIGABRT", SIGSEGV},
    // The callback runs on the exception server's thread.
    {"mach_fault_then_trap", KOCrashReporterSignalHandlerTypeMach,
     [] { kocrash_test_store_to(0x10); },
     [](siginfo_t*, ucontext_t*, void*) { kocrash_test_breakpoint(); }, "SIGSEGV", SIGTRAP},
    // The abort is a signal, written on the aborting thread; its callback's fault reaches the
    // exception server.
    {"mach_abort_then_fault", KOCrashReporterSignalHandlerTypeMach, kocrash_test_abort,
     [](siginfo_t*, ucontext_t*, void*) { kocrash_test_store_to(0x10); }, "SIGABRT", SIGSEGV},
};

class CrashInCrashCallback : public testing::TestWithParam<CrashInCallback> {};

TEST_P(CrashInCrashCallback, EndsTheProcessAfterAWholeReport) {
    const CrashInCallback& kind = GetParam();
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        KOCrashReporter reporter = folder.reporter(folder.config(kind.type));
        const KOCrashReporterCallbacks callbacks{0, nullptr, kind.callback};
        reporter.setCrashCallbacks(&callbacks);
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        BusyThreads busy(kBusyThreads);
        folder.recordThreadCount();
        kind.crash();
    });
    ASSERT_EQ(end.signal, kind.endingSignal) << "exit code " << end.exitCode;
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name(), kind.reportedSignal);
    EXPECT_EQ(report->threads().size(), folder.recordedThreadCount());
    onlyCrashedThread(*report);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashInCrashCallback, testing::ValuesIn(kCrashesInCallbacks),
                         [](const auto& info) { return std::string(info.param.name); });

// The whole time, though the writer's parking of the thread interrupts the sleep.
void sleepThreeSeconds(siginfo_t*, ucontext_t*, void*) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += 3;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// A crash on another thread while the first crash's callback runs long takes over only once the
// first report is whole, and writes its own beside it: the first report, the root cause, stays
// whole and is the one the next launch finds.
TEST(CrashCallback, ALaterCrashElsewhereLeavesTheFirstReportWhole) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        KOCrashReporter reporter = folder.reporter();
        const KOCrashReporterCallbacks callbacks{0, nullptr, sleepThreeSeconds};
        reporter.setCrashCallbacks(&callbacks);
        if (!reporter.enableCrashReporter()) {
            _exit(2);
        }
        std::thread([] {
            usleep(100'000);
            kocrash_test_store_to(0x20);
        }).detach();
        kocrash_test_store_to(0x10);
    });
    ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().address(), 0x10u);
    const auto later = folder.loadLaterReport();
    ASSERT_TRUE(later);
    EXPECT_EQ(later->signalInfo().address(), 0x20u);
}

sigjmp_buf leftCallback;

std::atomic<bool> callbackLeft{false};

// Leaves the first crash's callback by siglongjmp; any later one returns.
void leaveByLongJump(siginfo_t*, ucontext_t*, void*) {
    if (!callbackLeft.exchange(true)) {
        siglongjmp(leftCallback, 1);
    }
}

// A callback that leaves by siglongjmp leaves the process with crash reporting: a later crash on
// another thread is reported beside the first report, and a different one on the same thread in
// its place.
TEST(CrashCallback, LeftBySiglongjmpLeavesCrashReportingOn) {
    for (const bool sameThread : {false, true}) {
        SCOPED_TRACE(sameThread ? "same thread" : "another thread");
        ReportFolder folder;
        const ChildEnd end = runChild([&] {
            KOCrashReporter reporter = folder.reporter();
            const KOCrashReporterCallbacks callbacks{0, nullptr, leaveByLongJump};
            reporter.setCrashCallbacks(&callbacks);
            if (!reporter.enableCrashReporter()) {
                _exit(2);
            }
            if (sigsetjmp(leftCallback, 1) == 0) {
                kocrash_test_store_to(0x10);
            }
            if (sameThread) {
                kocrash_test_abort();
            }
            std::thread([] { kocrash_test_store_to(0x20); }).join();
        });
        ASSERT_EQ(end.signal, sameThread ? SIGABRT : SIGSEGV) << "exit code " << end.exitCode;
        const auto report = folder.loadPendingReport();
        ASSERT_TRUE(report);
        if (sameThread) {
            EXPECT_EQ(report->signalInfo().name(), "SIGABRT");
            continue;
        }
        EXPECT_EQ(report->signalInfo().address(), 0x10u);
        const auto later = folder.loadLaterReport();
        ASSERT_TRUE(later);
        EXPECT_EQ(later->signalInfo().address(), 0x20u);
    }
}

// Custom data larger than the file may grow: the limit cuts the report, and a cut report cannot
// be decoded, so none is left. SIGXFSZ, whose default action would end the process, is left as
// the application had it. The reporter sets no cap of its own here.
TEST(FileSizeLimit, RemovesTheReportItCutsAndTheCrashEndsTheProcess) {
    constexpr rlim_t kFileLimit = 1 << 20;
    for (const auto mode :
         {KOCrashReporterSignalHandlerTypeBSD, KOCrashReporterSignalHandlerTypeMach}) {
        ReportFolder folder;
        testsupport::TemporaryDirectory markers;
        const std::string marker = (markers.path() / "called").string();
        const ChildEnd end = runChild([&] {
            KOCrashReporter reporter = folder.reporter(
                folder.config(mode, KOCrashReporterSymbolicationStrategySymbolTable, 0));
            const KOCrashReporterCallbacks callbacks{0, const_cast<char*>(marker.c_str()),
                                                     markCallback};
            reporter.setCrashCallbacks(&callbacks);
            reporter.setCustomData(KOCrashReportData(2 * kFileLimit, 'x'));
            if (!reporter.enableCrashReporter()) {
                _exit(2);
            }
            const rlimit fileLimit{kFileLimit, kFileLimit};
            setrlimit(RLIMIT_FSIZE, &fileLimit);
            kocrash_test_store_to(0x10);
        });
        ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;
        EXPECT_FALSE(folder.reporter().hasPendingCrashReport());
        EXPECT_FALSE(std::filesystem::exists(marker)) << "no report, no callback";
    }
}

// Enable clears away what stands at the report path and is no regular file, saying so, and the
// crash then writes its report there. What is put there after enable is left alone: the crash
// follows no link, creates no missing file a link names, and is not held up by a FIFO.
TEST(ReportPath, ACrashWritesOnlyARegularFileOfItsOwn) {
    using Plant = void (*)(const fs::path& report, const fs::path& outside);
    const Plant plantHardLink = [](const fs::path& report, const fs::path& outside) {
        testsupport::writeFile(outside, "kept");
        fs::create_hard_link(outside, report);
    };
    const std::tuple<const char*, bool, Plant> cases[] = {
        {"folder", true, [](auto& report, auto&) { fs::create_directories(report / "in"); }},
        {"link", false,
         [](auto& report, auto& outside) {
             testsupport::writeFile(outside, "kept");
             fs::create_symlink(outside, report);
         }},
        {"dangling_link", false,
         [](auto& report, auto& outside) { fs::create_symlink(outside, report); }},
        {"fifo", false, [](auto& report, auto&) { mkfifo(report.c_str(), 0644); }},
        {"hard_link", true, plantHardLink},
        {"hard_link_after_enable", false, plantHardLink},
    };
    for (const auto& [name, beforeEnable, plant] : cases) {
        SCOPED_TRACE(name);
        ReportFolder folder;
        testsupport::TemporaryDirectory elsewhere;
        const fs::path outside = elsewhere.path() / "target";
        const fs::path report = folder.reporter().crashReportPath();
        const ChildEnd end = runChild([&] {
            KOCrashReporter reporter = folder.reporter();
            // More than a pipe holds: a FIFO that took the report would block the crash.
            reporter.setCustomData(KOCrashReportData(1 << 17, 'x'));
            fs::create_directories(reporter.crashReportDirectory());
            if (beforeEnable) {
                plant(report, outside);
            }
            platform::log::ScopedCapture log;
            if (!reporter.enableCrashReporter() ||
                beforeEnable != log.contains("[KOCrashReporter] Removed " + report.string())) {
                _exit(2);
            }
            if (!beforeEnable) {
                plant(report, outside);
            }
            kocrash_test_store_to(0x10);
        });
        ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;
        // A hard link is a regular file: what counts is that the crash left it as it was.
        EXPECT_EQ(fs::is_regular_file(fs::symlink_status(report)),
                  beforeEnable || std::string_view(name) == "hard_link_after_enable");
        if (beforeEnable) {
            EXPECT_TRUE(folder.loadPendingReport());
        }
        if (fs::exists(outside)) {
            EXPECT_EQ(testsupport::readFile(outside), "kept");
        }
    }
}

// Enabling a reporter puts its own custom data, or none, in the crash context: what another
// reporter set before is not the enabled one's.
TEST(CrashContext, CarriesTheEnabledReportersOwnCustomData) {
    for (const std::optional<KOCrashReportData>& own :
         {std::optional<KOCrashReportData>(kCustomData), std::optional<KOCrashReportData>()}) {
        SCOPED_TRACE(own ? "own data" : "no data");
        ReportFolder folder;
        const ChildEnd end = runChild([&] {
            KOCrashReporter enabled = folder.reporter();
            enabled.setCustomData(own);
            KOCrashReporter other = folder.reporter();
            other.setCustomData(KOCrashReportData{'o', 't', 'h', 'e', 'r'});
            if (!enabled.enableCrashReporter()) {
                _exit(2);
            }
            kocrash_test_store_to(0x10);
        });
        ASSERT_EQ(end.signal, SIGSEGV);
        const auto report = folder.loadPendingReport();
        ASSERT_TRUE(report);
        EXPECT_EQ(report->customData(), own);
    }
}

TEST(CrashContext, OutlivesTheReporterAndTheProcessDescriptors) {
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        const rlimit fewDescriptors{64, 64};
        setrlimit(RLIMIT_NOFILE, &fewDescriptors);
        {
            KOCrashReporter reporter = folder.reporter();
            if (!reporter.enableCrashReporter()) {
                _exit(2);
            }
        }
        folder.recordThreadCount();
        while (open("/dev/null", O_RDONLY) >= 0) {
        }
        kocrash_test_store_to(0x10);
    });
    ASSERT_EQ(end.signal, SIGSEGV);
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name(), "SIGSEGV");
    EXPECT_EQ(report->threads().size(), folder.recordedThreadCount());
}

// The folders removed while the process runs, the crash makes them again for its report.
TEST(ReportPath, AFolderRemovedWhileRunningIsMadeAgainByTheCrash) {
    for (const auto mode :
         {KOCrashReporterSignalHandlerTypeBSD, KOCrashReporterSignalHandlerTypeMach}) {
        SCOPED_TRACE(mode);
        ReportFolder folder;
        const ChildEnd end = runChild([&] {
            KOCrashReporter reporter = folder.reporter(folder.config(mode));
            if (!reporter.enableCrashReporter()) {
                _exit(2);
            }
            fs::remove_all(reporter.crashReportDirectory().parent_path());
            kocrash_test_store_to(0x10);
        });
        ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;
        const auto report = folder.loadPendingReport();
        ASSERT_TRUE(report);
        EXPECT_EQ(report->signalInfo().address(), 0x10u);
    }
}

} // namespace
