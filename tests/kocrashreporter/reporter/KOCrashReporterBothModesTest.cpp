// Crashes that Mach mode must report as signal mode does, each run in both modes in forked
// children: a fault in a forked child, many threads faulting at once, the signal and code the
// process ends with, and a crash after one the application's own handler survived (by returning
// or by siglongjmp).
#include "CrashingFunctions.h"
#include "ReporterTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace reportertest;

namespace {

constexpr KOCrashReporterSignalHandlerType kModes[] = {KOCrashReporterSignalHandlerTypeBSD,
                                                       KOCrashReporterSignalHandlerTypeMach};

std::string modeName(KOCrashReporterSignalHandlerType mode) {
    return mode == KOCrashReporterSignalHandlerTypeMach ? "Mach" : "BSD";
}

void enable(const ReportFolder& folder, KOCrashReporterSignalHandlerType mode) {
    if (!folder.reporter(folder.config(mode)).enableCrashReporter()) {
        _exit(2);
    }
}

class BothModes : public testing::TestWithParam<KOCrashReporterSignalHandlerType> {};

// The child's exit code is the signal that ended its own forked child. The report is the forked
// child's own: its pid and parent, read at the crash.
TEST_P(BothModes, AFaultInAForkedChildEndsItWithAReport) {
    ReportFolder folder;
    pid_t* pids = static_cast<pid_t*>(mmap(nullptr, 2 * sizeof(pid_t), PROT_READ | PROT_WRITE,
                                           MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pids, MAP_FAILED);
    const ChildEnd end = runChild([&] {
        enable(folder, GetParam());
        pids[0] = getpid();
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            alarm(20);
            pids[1] = getpid();
            kocrash_test_store_to(0x10);
        }
        int status = 0;
        waitpid(grandchild, &status, 0);
        _exit(WIFSIGNALED(status) ? WTERMSIG(status) : 100);
    });
    ASSERT_EQ(end.exitCode, SIGSEGV);
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name(), "SIGSEGV");
    EXPECT_EQ(report->signalInfo().address(), 0x10u);
    ASSERT_TRUE(report->processInfo());
    const KOCrashReportProcessInfo& process = *report->processInfo();
    EXPECT_TRUE(process.forkedChild());
    EXPECT_EQ(process.processID(), static_cast<std::uint64_t>(pids[1]));
    EXPECT_EQ(process.parentProcessID(), static_cast<std::uint64_t>(pids[0]));
    EXPECT_EQ(process.parentProcessName(), process.processName());
    munmap(pids, 2 * sizeof(pid_t));
}

void* repairablePage = nullptr;

// Any other fault runs again under the default action.
void repairPage(int, siginfo_t* info, void*) {
    if (info->si_addr != repairablePage) {
        signal(SIGSEGV, SIG_DFL);
        return;
    }
    mprotect(repairablePage, static_cast<std::size_t>(getpagesize()), PROT_READ | PROT_WRITE);
}

// Mach mode runs the application's handler after the report; the process goes on, and the next
// crash is the one reported.
TEST(MachMode, ACrashAfterOneTheApplicationSurvivedGetsItsOwnReport) {
    for (const bool thenAbort : {true, false}) {
        ReportFolder folder;
        const ChildEnd end = runChild([&] {
            struct sigaction repair {};
            repair.sa_sigaction = repairPage;
            repair.sa_flags = SA_SIGINFO;
            sigaction(SIGSEGV, &repair, nullptr);
            enable(folder, KOCrashReporterSignalHandlerTypeMach);
            repairablePage = mmap(nullptr, static_cast<std::size_t>(getpagesize()), PROT_READ,
                                  MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            kocrash_test_store_to(reinterpret_cast<std::uintptr_t>(repairablePage));
            std::thread(thenAbort ? kocrash_test_abort : [] {
                kocrash_test_store_to(0x10);
            }).join();
        });
        ASSERT_EQ(end.signal, thenAbort ? SIGABRT : SIGSEGV) << "exit code " << end.exitCode;
        const auto report = folder.loadPendingReport();
        ASSERT_TRUE(report);
        EXPECT_EQ(report->signalInfo().name(), thenAbort ? "SIGABRT" : "SIGSEGV");
        EXPECT_EQ(report->signalInfo().address(), thenAbort ? 0u : 0x10u);
    }
}

sigjmp_buf survivedFault;
std::atomic<int> faultsSeen{0};

// The application's handler leaves its first fault by siglongjmp and lets any later one end the
// process.
void leaveFirstFaultByLongJump(int, siginfo_t*, void*) {
    if (faultsSeen.fetch_add(1) == 0) {
        siglongjmp(survivedFault, 1);
    }
    signal(SIGSEGV, SIG_DFL);
}

struct LaterCrash {
    const char* name;
    bool onTheSameThread;
    void (*crash)();
    int signal;
    std::uint64_t address;
};

const LaterCrash kLaterCrashes[] = {
    {"abort_elsewhere", false, kocrash_test_abort, SIGABRT, 0},
    {"fault_elsewhere", false, [] { kocrash_test_store_to(0x20); }, SIGSEGV, 0x20},
    {"abort_on_the_same_thread", true, kocrash_test_abort, SIGABRT, 0},
    {"fault_on_the_same_thread", true, [] { kocrash_test_store_to(0x20); }, SIGSEGV, 0x20},
};

// The report of the survived fault keeps no guard: a later crash anywhere is reported and ends
// the process, with no wait for a handler that will never return. One on another thread cannot
// know that the handler was left: its report goes beside the first, which stays whole.
TEST(MachMode, ACrashAfterAFaultLeftBySiglongjmpGetsItsOwnReport) {
    for (const LaterCrash& later : kLaterCrashes) {
        SCOPED_TRACE(later.name);
        ReportFolder folder;
        const ChildEnd end = runChild([&] {
            struct sigaction leave {};
            leave.sa_sigaction = leaveFirstFaultByLongJump;
            leave.sa_flags = SA_SIGINFO;
            sigaction(SIGSEGV, &leave, nullptr);
            enable(folder, KOCrashReporterSignalHandlerTypeMach);
            if (sigsetjmp(survivedFault, 1) == 0) {
                kocrash_test_store_to(0x10);
            }
            if (later.onTheSameThread) {
                later.crash();
            } else {
                std::thread(later.crash).join();
            }
        });
        ASSERT_EQ(end.signal, later.signal) << "exit code " << end.exitCode;
        const auto report = folder.loadPendingReport();
        ASSERT_TRUE(report);
        const auto laterReport = later.onTheSameThread ? report : folder.loadLaterReport();
        ASSERT_TRUE(laterReport);
        EXPECT_EQ(laterReport->signalInfo().name(),
                  later.signal == SIGABRT ? "SIGABRT" : "SIGSEGV");
        EXPECT_EQ(laterReport->signalInfo().address(), later.address);
        if (!later.onTheSameThread) {
            EXPECT_EQ(report->signalInfo().address(), 0x10u);
        }
    }
}

// The application's own fault handler, installed before enable, recovers faults on several
// threads at once: in Mach mode each fault is reported and then reaches that handler, as it
// would without the reporter, whether the handler returns or leaves by siglongjmp.
thread_local sigjmp_buf* recoveryPoint = nullptr;

void repairFaultingPage(int, siginfo_t* info, void*) {
    const auto page = reinterpret_cast<std::uintptr_t>(info->si_addr) &
                      ~static_cast<std::uintptr_t>(getpagesize() - 1);
    if (mprotect(reinterpret_cast<void*>(page), static_cast<std::size_t>(getpagesize()),
                 PROT_READ | PROT_WRITE) != 0) {
        _exit(4);
    }
}

void leaveFaultByLongJump(int, siginfo_t*, void*) {
    if (recoveryPoint == nullptr) {
        _exit(5);
    }
    siglongjmp(*recoveryPoint, 1);
}

struct Recovery {
    const char* name;
    void (*handler)(int, siginfo_t*, void*);
    int threads;
};

class RecoveredFaults : public testing::TestWithParam<Recovery> {};

TEST_P(RecoveredFaults, ReachTheApplicationsHandlerOnEveryThreadAtOnce) {
    const Recovery& kind = GetParam();
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        struct sigaction recover {};
        recover.sa_sigaction = kind.handler;
        recover.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &recover, nullptr);
        enable(folder, KOCrashReporterSignalHandlerTypeMach);
        const auto pageSize = static_cast<std::size_t>(getpagesize());
        std::atomic<int> arrived{0};
        std::vector<std::thread> threads;
        for (int index = 0; index < kind.threads; ++index) {
            void* page = mmap(nullptr, pageSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            threads.emplace_back([&, page] {
                sigjmp_buf point;
                recoveryPoint = &point;
                arrived.fetch_add(1);
                while (arrived.load() < kind.threads) {
                    sched_yield();
                }
                if (sigsetjmp(point, 1) == 0) {
                    kocrash_test_store_to(reinterpret_cast<std::uintptr_t>(page));
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    });
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.exitCode, 0);
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().name(), "SIGSEGV");
}

INSTANTIATE_TEST_SUITE_P(Handlers, RecoveredFaults,
                         testing::Values(Recovery{"returns2", repairFaultingPage, 2},
                                         Recovery{"returns4", repairFaultingPage, 4},
                                         Recovery{"siglongjmp2", leaveFaultByLongJump, 2},
                                         Recovery{"siglongjmp4", leaveFaultByLongJump, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ManyThreads {
    KOCrashReporterSignalHandlerType mode;
    int threads;
};

class ManyFaultingThreads : public testing::TestWithParam<ManyThreads> {};

TEST_P(ManyFaultingThreads, LeaveOneWholeReport) {
    const ManyThreads& kind = GetParam();
    ReportFolder folder;
    const ChildEnd end = runChild([&] {
        enable(folder, kind.mode);
        std::atomic<int> arrived{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int index = 0; index < kind.threads; ++index) {
            threads.emplace_back([&] {
                if (arrived.fetch_add(1) == kind.threads - 1) {
                    folder.recordThreadCount();
                    go.store(true);
                }
                while (!go.load()) {
                    sched_yield();
                }
                kocrash_test_store_to(0x10);
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    });
    ASSERT_EQ(end.signal, SIGSEGV) << "exit code " << end.exitCode;
    const auto report = folder.loadPendingReport();
    ASSERT_TRUE(report);
    EXPECT_EQ(report->signalInfo().address(), 0x10u);
    EXPECT_EQ(report->threads().size(), folder.recordedThreadCount());
}

INSTANTIATE_TEST_SUITE_P(Counts, ManyFaultingThreads,
                         testing::Values(ManyThreads{KOCrashReporterSignalHandlerTypeBSD, 64},
                                         ManyThreads{KOCrashReporterSignalHandlerTypeMach, 64},
                                         ManyThreads{KOCrashReporterSignalHandlerTypeMach, 256}),
                         [](const auto& info) {
                             return modeName(info.param.mode) + std::to_string(info.param.threads);
                         });

// Never reached; the compiler cannot know.
volatile int unreachableDepth = -1;

[[gnu::noinline]] int overflowStack(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    return depth == unreachableDepth ? 0 : overflowStack(depth + 1) + frame[0];
}

void overflowOnThreadWithItsOwnAlternateStack() {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t thread;
    pthread_create(
        &thread, &attributes,
        [](void*) -> void* {
            static std::uint8_t alternate[64 * 1024];
            const stack_t stack{alternate, 0, sizeof alternate};
            sigaltstack(&stack, nullptr);
            return reinterpret_cast<void*>(overflowStack(0));
        },
        nullptr);
    pthread_join(thread, nullptr);
}

struct Access {
    const char* name;
    void (*crash)();
};

const Access kAccesses[] = {
    {"store_to_read_only_page",
     [] {
         void* page = mmap(nullptr, static_cast<std::size_t>(getpagesize()), PROT_READ,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
         kocrash_test_store_to(reinterpret_cast<std::uintptr_t>(page));
     }},
    {"stack_overflow", [] { overflowStack(0); }},
    {"stack_overflow_on_thread_with_its_own_alternate_stack",
     overflowOnThreadWithItsOwnAlternateStack},
};

class BadAccess : public testing::TestWithParam<Access> {};

// Signal mode takes the signal and code from the kernel's own signal information.
TEST_P(BadAccess, IsReportedInMachModeWithTheKernelsSignalAndCode) {
    std::string codes[2];
    for (const KOCrashReporterSignalHandlerType mode : kModes) {
        ReportFolder folder;
        const ChildEnd end = runChild([&] {
            enable(folder, mode);
            GetParam().crash();
        });
        ASSERT_EQ(end.signal, SIGSEGV) << modeName(mode);
        const auto report = folder.loadPendingReport();
        ASSERT_TRUE(report);
        EXPECT_EQ(report->signalInfo().name(), "SIGSEGV") << modeName(mode);
        codes[mode == KOCrashReporterSignalHandlerTypeMach] = report->signalInfo().code();
    }
    EXPECT_EQ(codes[1], codes[0]);
    if (std::string(GetParam().name) != "stack_overflow") {
        EXPECT_EQ(codes[1], "SEGV_ACCERR");
    }
}

// The emulator ignores RLIMIT_AS (and such a child would fill the machine's memory), and the
// sanitizers reserve more address space than any limit here allows.
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// The address space the process holds now, so that the limit leaves nothing more to map.
rlim_t addressSpaceInUse() {
    std::size_t pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr || std::fscanf(statm, "%zu", &pages) != 1) {
        _exit(3);
    }
    std::fclose(statm);
    return pages * static_cast<rlim_t>(getpagesize());
}

void* volatile keptAllocation = nullptr;

// No more address space, and the heap full down to its smallest blocks.
void exhaustMemory() {
    const rlim_t inUse = addressSpaceInUse();
    const rlimit limit{inUse, inUse};
    if (setrlimit(RLIMIT_AS, &limit) != 0) {
        _exit(3);
    }
    for (std::size_t size = 1 << 20; size >= 16; size /= 2) {
        for (void* block = std::malloc(size); block != nullptr; block = std::malloc(size)) {
            keptAllocation = block;
        }
    }
}

struct OutOfMemory {
    const char* name;
    void (*crash)();
    int signal;
};

const OutOfMemory kOutOfMemory[] = {
    {"fault", [] { kocrash_test_store_to(0x10); }, SIGSEGV},
    {"uncaught_bad_alloc",
     []() noexcept {
         // Escaping a noexcept function, the exception reaches the terminate handler.
         keptAllocation = ::operator new (std::size_t{1} << 30);
     },
     SIGABRT},
};

class OutOfMemoryCrash : public testing::TestWithParam<OutOfMemory> {};

// The crash path maps nothing, so a process that used up its memory still lists its threads.
TEST_P(OutOfMemoryCrash, LeavesAReportThatDecodes) {
    for (const KOCrashReporterSignalHandlerType mode : kModes) {
        SCOPED_TRACE(modeName(mode));
        ReportFolder folder;
        const ChildEnd end = runChild([&] {
            enable(folder, mode);
            folder.recordThreadCount();
            exhaustMemory();
            GetParam().crash();
        });
        ASSERT_EQ(end.signal, GetParam().signal) << "exit code " << end.exitCode;
        const auto report = folder.loadPendingReport();
        ASSERT_TRUE(report);
        EXPECT_EQ(report->signalInfo().name(),
                  GetParam().signal == SIGABRT ? "SIGABRT" : "SIGSEGV");
        EXPECT_EQ(report->threads().size(), folder.recordedThreadCount());
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, OutOfMemoryCrash, testing::ValuesIn(kOutOfMemory),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

INSTANTIATE_TEST_SUITE_P(Kinds, BadAccess, testing::ValuesIn(kAccesses),
                         [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Modes, BothModes, testing::ValuesIn(kModes),
                         [](const auto& info) { return modeName(info.param); });

} // namespace
