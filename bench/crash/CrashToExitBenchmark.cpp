// Crash to exit: a forked process whose threads all stand 20 frames deep faults on its main
// thread, and the time from the fault to the moment its parent sees it gone is taken with the
// crash reporter enabled (as the error-tracking integration enables it: Mach mode, no symbols)
// and without. Prints the median of several crashes for 1 and 64 threads and the ratio of the
// two. Meant for the arm64 build, run under the emulator, where the reporter walks every
// thread's stack; on x86_64 the report carries no frames.
#include "report/KOCrashReport.h"
#include "reporter/KOCrashReporter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <pthread.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kDepth = 20;
constexpr int kCrashes = 5;
using Clock = std::chrono::steady_clock;

// What the crashing child tells its parent: the time just before its fault.
struct Shared {
    std::atomic<std::int64_t> faultNanoseconds;
    std::atomic<int> threadsReady;
};

std::int64_t nowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

extern "C" [[gnu::noinline]] void descend(int depth, void (*bottom)(Shared*), Shared* shared) {
    if (depth == 0) {
        bottom(shared);
    } else {
        descend(depth - 1, bottom, shared);
    }
    // Not a tail call: every level keeps its frame.
    asm volatile("" ::: "memory");
}

void waitForever(Shared* shared) {
    shared->threadsReady.fetch_add(1);
    for (;;) {
        pause();
    }
}

void fault(Shared* shared) {
    shared->faultNanoseconds.store(nowNanoseconds());
    // Through a variable, so the compiler neither sees nor drops the store to the first page.
    volatile std::uintptr_t address = 0x10;
    *reinterpret_cast<volatile int*>(address) = 1;
}

void* standDeep(void* shared) {
    descend(kDepth, waitForever, static_cast<Shared*>(shared));
    return nullptr;
}

KOCrashReporter reporterOver(const std::string& folder) {
    return KOCrashReporter("com.davaror.bench/crash", "1", "1",
                           KOCrashReporterConfig(KOCrashReporterSignalHandlerTypeMach,
                                                 KOCrashReporterSymbolicationStrategyNone, true,
                                                 folder, KOCrashReporterDefaultMaxReportBytes));
}

// The frames of the report the crash left, or 0 when it left none that decodes.
std::size_t framesReported(const std::string& folder) {
    const auto data = reporterOver(folder).loadPendingCrashReportDataAndReturnError(nullptr);
    const auto report = data ? KOCrashReport::initWithData(*data, nullptr) : std::nullopt;
    std::size_t frames = 0;
    if (report) {
        for (const KOCrashReportThreadInfo& thread : report->threads()) {
            frames += thread.stackFrames().size();
        }
    }
    return frames;
}

[[noreturn]] void crashingChild(int threads, const std::string* reportFolder, Shared* shared) {
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    if (reportFolder != nullptr) {
        static KOCrashReporter reporter = reporterOver(*reportFolder);
        if (!reporter.enableCrashReporter()) {
            _exit(3);
        }
    }
    for (int index = 1; index < threads; ++index) {
        pthread_t thread;
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, 256 * 1024);
        if (pthread_create(&thread, &attributes, standDeep, shared) != 0) {
            _exit(4);
        }
        pthread_attr_destroy(&attributes);
    }
    while (shared->threadsReady.load() < threads - 1) {
        usleep(1000);
    }
    descend(kDepth, fault, shared);
    _exit(5);
}

struct Measure {
    // Median seconds from the fault to the parent's waitpid; negative when a child did not die
    // of its fault.
    double seconds;
    // In the last crash's report.
    std::size_t frames;
};

Measure crashToExit(int threads, bool withReporter) {
    auto* shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (shared == MAP_FAILED) {
        return {-1, 0};
    }
    std::vector<double> seconds;
    std::size_t frames = 0;
    for (int crash = 0; crash < kCrashes; ++crash) {
        char folderTemplate[] = "/tmp/kocrash-exit-bench-XXXXXX";
        if (mkdtemp(folderTemplate) == nullptr) {
            return {-1, 0};
        }
        const std::string folder = folderTemplate;
        new (shared) Shared{};
        const pid_t child = fork();
        if (child == 0) {
            crashingChild(threads, withReporter ? &folder : nullptr, shared);
        }
        int status = 0;
        waitpid(child, &status, 0);
        const std::int64_t exited = nowNanoseconds();
        frames = withReporter ? framesReported(folder) : 0;
        std::filesystem::remove_all(folder);
        if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGSEGV) {
            std::fprintf(stderr, "child ended with status %#x\n", static_cast<unsigned>(status));
            return {-1, 0};
        }
        seconds.push_back(static_cast<double>(exited - shared->faultNanoseconds.load()) * 1e-9);
    }
    munmap(shared, sizeof(Shared));
    std::ranges::sort(seconds);
    return {seconds[seconds.size() / 2], frames};
}

} // namespace

int main() {
    std::printf("%8s %14s %14s %8s %16s\n", "threads", "without_ms", "with_ms", "ratio",
                "frames_reported");
    for (const int threads : {1, 64}) {
        const Measure without = crashToExit(threads, false);
        const Measure with = crashToExit(threads, true);
        if (without.seconds < 0 || with.seconds < 0) {
            return 1;
        }
        std::printf("%8d %14.1f %14.1f %8.1f %16zu\n", threads, without.seconds * 1e3,
                    with.seconds * 1e3, with.seconds / without.seconds, with.frames);
    }
    return 0;
}
