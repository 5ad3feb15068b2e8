// The callback chain and the previous actions, in forked children: each child installs
// handlers for real and ends by exit code or by signal.
#include "handlers/KOCrashSignalHandler.h"

#include "ForkedChild.h"
#include "platform/core/LogSink.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>

namespace {

siginfo_t* seenInfo = nullptr;
ucontext_t* seenContext = nullptr;
int chainCalls = 0;

bool recordAndDecline(int signo, siginfo_t* info, ucontext_t* uap, void*,
                      KOCrashSignalHandlerCallback* next) {
    seenInfo = info;
    seenContext = uap;
    ++chainCalls;
    errno = EBADF;
    return KOCrashSignalHandlerForward(next, signo, info, uap);
}

bool handle(int, siginfo_t*, ucontext_t*, void*, KOCrashSignalHandlerCallback*) {
    ++chainCalls;
    return true;
}

// A second call means the signal came back around the chain.
bool declineOnce(int signo, siginfo_t* info, ucontext_t* uap, void*,
                 KOCrashSignalHandlerCallback* next) {
    if (++chainCalls > 1) {
        _exit(45);
    }
    return KOCrashSignalHandlerForward(next, signo, info, uap);
}

void previousWithInfo(int, siginfo_t* info, void* uap) {
    _exit(info == seenInfo && uap == seenContext ? 42 : 43);
}

void previousPlain(int) {
    _exit(44);
}

void installPrevious(int signo, void (*plain)(int), void (*withInfo)(int, siginfo_t*, void*)) {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    if (withInfo != nullptr) {
        action.sa_sigaction = withInfo;
        action.sa_flags = SA_SIGINFO;
    } else {
        action.sa_handler = plain;
    }
    sigaction(signo, &action, nullptr);
}

void segfault() {
    volatile std::uintptr_t unmapped = 0x18;
    *reinterpret_cast<volatile int*>(unmapped) = 1;
}

struct ChainCase {
    const char* name;
    void (*previousPlain)(int);
    void (*previousWithInfo)(int, siginfo_t*, void*);
    KOCrashSignalHandlerCallbackFunc head;
    // Exit code 0 when the child went on after the signal.
    int exitCode;
    int terminatingSignal;
};

TEST(KOCrashSignalHandler, ChainEndsInThePreviousAction) {
    const ChainCase cases[] = {
        {"three-argument previous gets the same siginfo and context", nullptr, previousWithInfo,
         recordAndDecline, 42, 0},
        {"one-argument previous is called", previousPlain, nullptr, recordAndDecline, 44, 0},
        {"previous ignore counts as handled", SIG_IGN, nullptr, recordAndDecline, 0, 0},
        {"previous default ends the process", SIG_DFL, nullptr, recordAndDecline, 0, SIGUSR1},
        {"a handling callback stops the chain", previousPlain, nullptr, handle, 0, 0},
    };
    for (const ChainCase& test : cases) {
        int status = runInForkedChild([&] {
            installPrevious(SIGUSR1, test.previousPlain, test.previousWithInfo);
            KOCrashSignalHandler* handler = KOCrashSignalHandler::sharedHandler();
            std::optional<KOError> error;
            if (!handler->registerHandlerForSignal(SIGUSR1, recordAndDecline, nullptr, &error) ||
                !handler->registerHandlerForSignal(SIGUSR1, test.head, nullptr, &error)) {
                _exit(1);
            }
            errno = EDOM;
            raise(SIGUSR1);
            _exit(errno == EDOM ? 0 : 2);
        });
        if (test.terminatingSignal != 0) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == test.terminatingSignal)
                << test.name << ": status " << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == test.exitCode)
                << test.name << ": status " << status;
        }
    }
}

TEST(KOCrashSignalHandler, RealFaultReachesThePreviousHandlerWhenTheCallbackDeclines) {
    int status = runInForkedChild([] {
        installPrevious(SIGSEGV, previousPlain, nullptr);
        std::optional<KOError> error;
        KOCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGSEGV, recordAndDecline,
                                                                        nullptr, &error);
        segfault();
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 44) << status;
}

TEST(KOCrashSignalHandler, AfterResetAFaultEndsTheProcessWithItsSignal) {
    int status = runInForkedChild(
        [] {
            std::optional<KOError> error;
            KOCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGSEGV, handle,
                                                                            nullptr, &error);
            KOCrashSignalHandler::resetHandlers();
            segfault();
        },
        1);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
}

TEST(KOCrashSignalHandler, RegisteringAgainAfterResetHandsTheSignalToTheDefaultActionOnce) {
    int status = runInForkedChild(
        [] {
            installPrevious(SIGSEGV, previousPlain, nullptr);
            KOCrashSignalHandler* handler = KOCrashSignalHandler::sharedHandler();
            std::optional<KOError> error;
            handler->registerHandlerForSignal(SIGSEGV, declineOnce, nullptr, &error);
            KOCrashSignalHandler::resetHandlers();
            if (!handler->registerHandlerForSignal(SIGSEGV, declineOnce, nullptr, &error)) {
                _exit(1);
            }
            segfault();
        },
        10);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
}

// Never reached; the compiler cannot know.
volatile int unreachableDepth = -1;

[[gnu::noinline]] int overflowStack(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    return depth == unreachableDepth ? 0 : overflowStack(depth + 1) + frame[0];
}

constexpr int kRanOnTheApplicationsStack = 50;
constexpr int kRanElsewhere = 51;
std::uint8_t* applicationStack = nullptr;
std::size_t applicationStackSize = 0;

bool exitByWhereItRuns(int, siginfo_t*, ucontext_t*, void*, KOCrashSignalHandlerCallback*) {
    volatile std::uint8_t local = 0;
    const auto* address = const_cast<const std::uint8_t*>(&local);
    const bool onIt =
        address >= applicationStack && address < applicationStack + applicationStackSize;
    _exit(onIt ? kRanOnTheApplicationsStack : kRanElsewhere);
}

// The application sets its own alternate stack, the reporter registers, and the main thread's
// stack overflows. Exit codes 2 and up tell what went wrong before the overflow.
int overflowWithApplicationStack(std::size_t size, bool keptExpected) {
    return runInForkedChild([=] {
        applicationStack = new std::uint8_t[size];
        applicationStackSize = size;
        const stack_t own{applicationStack, 0, size};
        if (sigaltstack(&own, nullptr) != 0) {
            _exit(2);
        }
        platform::log::ScopedCapture log;
        std::optional<KOError> error;
        if (!KOCrashSignalHandler::sharedHandler()->registerHandlerForSignal(
                SIGSEGV, exitByWhereItRuns, nullptr, &error)) {
            _exit(3);
        }
        stack_t current{};
        sigaltstack(nullptr, &current);
        const bool kept = current.ss_sp == applicationStack && current.ss_size == size;
        const bool logged =
            log.contains("[KOCrashReporter] Replaced the alternate signal stack of " +
                         std::to_string(size) + " bytes with one of 65536 bytes");
        if (kept != keptExpected || logged == keptExpected) {
            _exit(4);
        }
        overflowStack(0);
    });
}

} // namespace

TEST(KOCrashSignalHandler, AnAlternateStackAsLargeAsTheReportersIsKeptASmallerOneReplaced) {
    const int large = overflowWithApplicationStack(256 * 1024, true);
    EXPECT_TRUE(WIFEXITED(large) && WEXITSTATUS(large) == kRanOnTheApplicationsStack) << large;
    const int small = overflowWithApplicationStack(16 * 1024, false);
    EXPECT_TRUE(WIFEXITED(small) && WEXITSTATUS(small) == kRanElsewhere) << small;
}
